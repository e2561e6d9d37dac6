/*
 * Tarvel6: reads weights from scale indicators behind a network converter's serial
 * channels ("A".."D", TCP ports 8881-8884) or on a local serial port, and drives the
 * converter's digital inputs and outputs (TCP port 8880).
 *
 * Every function is exported under its plain name with the standard-call convention on
 * 32-bit Windows. Integers are 32-bit signed; texts are zero-terminated single-byte
 * (Windows-1252) strings. Returned texts belong to the library: copy them before the next
 * call that rewrites them (the channel's next poll, or its deletion).
 *
 * Failures are return values: -1 from constructors, digital I/O and buffer commands; 0 from
 * Select_Canal; 1 (or a driver code) from polls; "EEEEEEEEEE" or 0.0 from value functions.
 */
#ifndef TARVEL6_H
#define TARVEL6_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define TARVEL_CALL __stdcall
#else
#define TARVEL_CALL
#endif

#if defined(TARVEL6_BUILDING)
#if defined(_WIN32)
#define TARVEL_API __declspec(dllexport)
#else
#define TARVEL_API __attribute__((visibility("default")))
#endif
#else
#define TARVEL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- converter addresses and errors ---- */
/* Registers a converter's IPv4 address text (at most 16 characters); returns its IP index,
   the same index for the same text. -1 for a null or too long text. */
TARVEL_API int32_t TARVEL_CALL Seta_Ip(const char* address);
/* The channel's error not yet fetched (handed out once), else an empty text. */
TARVEL_API const char* TARVEL_CALL Display_Erro(int32_t channel);

/* ---- constructors: return the new channel index, or -1 ---- */
/* TCP forms: IP index from Seta_Ip and the converter's channel letter "A".."D" (any case).
   Serial forms: COM port number (low 16 bits; 1 is COM1). */
TARVEL_API int32_t TARVEL_CALL W5817(int32_t ipIndex, const char* letter);
TARVEL_API int32_t TARVEL_CALL W5817C(int32_t ipIndex, const char* letter);
TARVEL_API int32_t TARVEL_CALL W5817Serial(int32_t comNumber);
TARVEL_API int32_t TARVEL_CALL W5817SerialC(int32_t comNumber);
TARVEL_API int32_t TARVEL_CALL WKRT(int32_t ipIndex, const char* letter);
TARVEL_API int32_t TARVEL_CALL WKRTSerial(int32_t comNumber);
TARVEL_API int32_t TARVEL_CALL WOhaus(int32_t ipIndex, const char* letter);
TARVEL_API int32_t TARVEL_CALL WOhausSerial(int32_t comNumber);
TARVEL_API int32_t TARVEL_CALL WMSI3360(int32_t ipIndex, const char* letter);
TARVEL_API int32_t TARVEL_CALL WMSI3360Serial(int32_t comNumber);
TARVEL_API int32_t TARVEL_CALL WMSI6260(int32_t ipIndex, const char* letter);
TARVEL_API int32_t TARVEL_CALL WMSI6260Serial(int32_t comNumber);

/* ---- lifecycle ---- */
/* Connects a TCP channel (waits at most 10 s). 1 when connected, already connected, or a
   serial/closed channel; 0 for a bad index, a refused or timed-out connection. */
TARVEL_API int32_t TARVEL_CALL Select_Canal(int32_t channel);
TARVEL_API void TARVEL_CALL Close_Canal(int32_t channel);
TARVEL_API void TARVEL_CALL Deleta_Canal(int32_t channel);

/* ---- polling: 0 frame, 1 no frame/refused, 2 no stable frame, 3 out of range,
        4 serial port did not open ---- */
TARVEL_API int32_t TARVEL_CALL Update_Canal(int32_t channel);
TARVEL_API int32_t TARVEL_CALL Update_NoMotion(int32_t channel, int32_t timeoutMs);

/* ---- values of the last poll ---- */
TARVEL_API const char* TARVEL_CALL Gross_Canal(int32_t channel);
TARVEL_API const char* TARVEL_CALL Net_Canal(int32_t channel);
TARVEL_API const char* TARVEL_CALL Tare_Canal(int32_t channel);
TARVEL_API const char* TARVEL_CALL Total_Canal(int32_t channel);
TARVEL_API const char* TARVEL_CALL Contadora_Canal(int32_t channel);
TARVEL_API const char* TARVEL_CALL Estado_Canal(int32_t channel);
TARVEL_API const char* TARVEL_CALL Estado_EmMovimento(int32_t channel);
TARVEL_API double TARVEL_CALL Gross_Canal_Float(int32_t channel);
TARVEL_API double TARVEL_CALL Net_Canal_Float(int32_t channel);
TARVEL_API double TARVEL_CALL Tare_Canal_Float(int32_t channel);
/* Polls until the net weight was the same `count` times (0: 10) within `seconds` (0: 10).
   0 stable, 7 time up, -1 for channel -1, else the last poll's failure code. */
TARVEL_API int32_t TARVEL_CALL LePesoConsecutivo(int32_t channel, int32_t seconds, int32_t count);

/* ---- converter digital I/O (port 8880) ---- */
TARVEL_API int32_t TARVEL_CALL DIO_InPort(int32_t ipIndex);
TARVEL_API const char* TARVEL_CALL DIO_InPortStr(int32_t ipIndex);
TARVEL_API int32_t TARVEL_CALL DIO_InBit(int32_t ipIndex, int32_t bit);
TARVEL_API int32_t TARVEL_CALL DIO_InBitStr(int32_t ipIndex, int32_t bit);
TARVEL_API int32_t TARVEL_CALL DIO_OutPort(int32_t ipIndex, int32_t value);
TARVEL_API int32_t TARVEL_CALL DIO_OutPortStr(int32_t ipIndex, const char* bits);
TARVEL_API int32_t TARVEL_CALL DIO_OutBit(int32_t ipIndex, int32_t bit, int32_t state);
TARVEL_API int32_t TARVEL_CALL DIO_OutBitStr(int32_t ipIndex, int32_t bit, const char* state);

/* ---- serial settings, converter buffers, version ---- */
/* dataBits and stopBits: low 16 bits count. parity: 1 odd, 2 even, else none. */
TARVEL_API int32_t TARVEL_CALL ProgSerial(int32_t channel, int32_t baud, uint32_t dataBits,
                                          int32_t parity, uint32_t stopBits);
TARVEL_API int32_t TARVEL_CALL ClrBufRx(int32_t ipIndex, const char* letter);
TARVEL_API int32_t TARVEL_CALL ClrBufTx(int32_t ipIndex, const char* letter);
TARVEL_API void TARVEL_CALL FirVer(const char** product, const char** version, const char** p3,
                                   const char** p4, const char** name);

#ifdef __cplusplus
}
#endif

#endif /* TARVEL6_H */
