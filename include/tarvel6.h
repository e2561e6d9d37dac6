/*
 * Tarvel6: reads weights from scale indicators behind a network converter's serial
 * channels ("A".."D", TCP ports 8881-8884) or on a local serial port, and drives the
 * converter's digital inputs and outputs (TCP port 8880).
 *
 * Every function is exported under its plain name with the standard-call convention on
 * 32-bit Windows (Tarvel6.dll) and the C convention elsewhere (libTarvel6.so). Integers are
 * 32-bit signed; texts are zero-terminated single-byte (Windows-1252) strings.
 *
 * Calling order for one indicator:
 *
 *     int32_t ip = Seta_Ip("192.168.0.50");     // once per converter address
 *     int32_t ch = W5817(ip, "A");              // or WKRT, WOhausSerial(3), ...: -1 on failure
 *     if (Select_Canal(ch) == 1) {              // connects a TCP channel (up to 10 s)
 *         if (Update_Canal(ch) == 0)            // waits for the next frame
 *             printf("%s\n", Net_Canal(ch));    // copy the text before the next poll
 *     }
 *     Close_Canal(ch);                          // releases the connection or port
 *     Deleta_Canal(ch);                         // frees the channel; delete all before unloading
 *
 * Texts: returned texts belong to the library. A channel's value texts stay valid until the
 * channel's next poll or its deletion; Display_Erro's until its next call for that channel;
 * DIO_InPortStr's until its next call; FirVer's and "EEEEEEEEEE" as long as the library is
 * loaded. Copy them.
 *
 * Waiting: the library has no thread of its own. Select_Canal, the polls and
 * LePesoConsecutivo wait on the calling thread and process that thread's pending messages
 * (Windows) or the library's sockets and ports (Linux) meanwhile, so a host timer may call
 * the library again during a wait: a nested poll of the channel being polled returns 1. The
 * digital I/O functions block the thread for their exchange (about 10 s when the converter
 * does not answer) without processing messages. Call the library from one thread.
 *
 * Failures are return values, never exceptions or crashes: -1 from constructors, digital I/O
 * and buffer commands; 0 from Select_Canal; 1 (or a driver code) from polls; "EEEEEEEEEE" or
 * 0.0 from value functions. Channel and IP indices are trusted: pass only indices the
 * library returned, and do not use a channel after Deleta_Canal.
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

/* ---- result codes ----
   The values every function below returns, by name. Each value is fixed: hosts that compare
   the plain numbers keep working. */

/* Update_Canal, Update_NoMotion (and the failure codes LePesoConsecutivo passes on). */
enum tarvel_poll_result {
    TARVEL_POLL_OK = 0,           /* a frame was read: the value functions give its values */
    TARVEL_POLL_NO_FRAME = 1,     /* none in time; also a refused call (closed, nested poll) */
    TARVEL_POLL_MOTION = 2,       /* none without motion within Update_NoMotion's time-out */
    TARVEL_POLL_OUT_OF_RANGE = 3, /* the indicator reports out of range (5817, KRT) */
    TARVEL_POLL_NO_PORT = 4       /* the serial port did not open in time */
};

/* LePesoConsecutivo; when the time runs out after a failed poll it returns that poll's
   code (TARVEL_POLL_NO_FRAME .. TARVEL_POLL_NO_PORT) instead. */
enum tarvel_stable_result {
    TARVEL_STABLE_NO_CHANNEL = -1, /* the channel was -1 */
    TARVEL_STABLE_OK = 0,          /* the net weight repeated `count` times */
    TARVEL_STABLE_TIMEOUT = 7      /* time up while the polls succeeded: it did not settle */
};

/* Select_Canal. */
enum tarvel_select_result {
    TARVEL_SELECT_FAILED = 0, /* bad index, refused or not connected within 10 s */
    TARVEL_SELECT_OK = 1      /* connected, already connected, or a serial or closed channel */
};

/* Seta_Ip, the constructors, the digital I/O functions, ClrBufRx and ClrBufTx. */
enum tarvel_common_result {
    TARVEL_FAILED = -1, /* see each function for the cases */
    TARVEL_DONE = 0     /* DIO_Out*, ClrBufRx, ClrBufTx: the command was sent on a connection
                           to the converter (its reply is not examined) */
};

/* The one-letter flags of Estado_Canal, Estado_EmMovimento and DIO_InBitStr. */
enum tarvel_flag {
    TARVEL_FLAG_YES = 'S',    /* "S": set, on */
    TARVEL_FLAG_NO = 'N',     /* "N": clear, off */
    TARVEL_FLAG_UNKNOWN = 'E' /* "E": the indicator does not tell; DIO_InBitStr: failure */
};

/* ---- converter addresses and errors ---- */
/* Registers a converter's IPv4 address text (at most 16 characters); returns its IP index,
   the same index for the same text. -1 for a null or too long text. */
TARVEL_API int32_t TARVEL_CALL Seta_Ip(const char* address);
/* The channel's error not yet fetched (handed out once), else an empty text. */
TARVEL_API const char* TARVEL_CALL Display_Erro(int32_t channel);

/* ---- constructors: return the new channel index, or -1 ---- */
/* TCP forms: IP index from Seta_Ip and the converter's channel letter "A".."D" (any case);
   -1 for an unknown IP index or another letter. Serial forms: COM port number (low 16 bits;
   1 is COM1; on Linux COM n is the device in TARVEL_COM<n>, else /dev/ttyS<n-1>); they
   validate nothing, and the port is opened by each poll, so a port that does not exist shows
   as poll result 4. Each model's serial line settings are fixed:
     5817, 5817 raw (C), KRT   4800 baud, 7 data bits, even parity, 1 stop bit
     Ohaus                     9600 baud, 7 data bits, even parity, 2 stop bits
     MSI 3360                  9600 baud, 8 data bits, no parity,   1 stop bit
     MSI 6260                  1200 baud, 7 data bits, mark parity, 1 stop bit
   (ProgSerial changes them for one channel.) The "C" forms read the 5817 frame raw: its
   characters go to Contadora_Canal, the weights stay "0". Indices are never reused until
   every channel was deleted. */
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
   serial/closed channel; 0 for a bad index, a refused or timed-out connection (Display_Erro
   then tells which). Calling it again reconnects a channel whose connection dropped.
   Close_Canal releases the connection or port (value functions then give "EEEEEEEEEE");
   Deleta_Canal frees the channel. Do not call either for a channel from inside its own
   poll's wait (a host timer); that poll then ends with 1. Either one called from another
   thread than the one that created the channel is refused: the channel stays as it is and
   Display_Erro tells why. */
TARVEL_API int32_t TARVEL_CALL Select_Canal(int32_t channel);
TARVEL_API void TARVEL_CALL Close_Canal(int32_t channel);
TARVEL_API void TARVEL_CALL Deleta_Canal(int32_t channel);

/* ---- polling ----
   Update_Canal waits for the indicator's next frame (10 s for 5817 and KRT, 5 s for the
   others; the Ohaus driver asks for it). Update_NoMotion waits up to timeoutMs for a frame
   without motion (-1: exactly Update_Canal). Results:
     0  a frame was read: the value functions give its values
     1  no frame in time; also a refused call (closed channel, nested poll of it)
     2  no frame without motion within timeoutMs (5817, KRT, Ohaus)
     3  the indicator reports out of range (5817, KRT; overrides 0..2)
     4  the serial port did not open (serial channels) */
TARVEL_API int32_t TARVEL_CALL Update_Canal(int32_t channel);
TARVEL_API int32_t TARVEL_CALL Update_NoMotion(int32_t channel, int32_t timeoutMs);

/* ---- values of the last poll ----
   Weight texts use the system locale's decimal separator; the 5817, KRT and Ohaus drivers
   right-align them in 10 characters, the MSI drivers keep the indicator's field
   ("EEEEEEE" for a field the line did not carry). Estado_Canal: 8 characters - increment
   ("1", "2", "5"), net mode, negative, out of range, motion (each "S" or "N"), the unit in
   two, print request; "E" where the indicator does not tell. Estado_EmMovimento: "S", "N"
   or "E". Each poll resets the weights when it starts, so after a failed poll they hold no
   reading. On a closed channel the texts are "EEEEEEEEEE" and the numbers 0.0; the _Float
   forms also give 0.0 for a text that is not a number. */
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
/* The unit the last frame or line named, as the indicator wrote it without the blanks around
   it: "kg" or "lb" (5817, KRT), the two characters of the frame (MSI 3360), "KG" or "LB"
   (MSI 6260), the word after the weight (Ohaus: "kg", "lb", "g", ...). "" before the first
   frame, when it named none (the raw 5817 variant names none), and on a closed channel. The
   text stays valid until the channel's next poll. */
TARVEL_API const char* TARVEL_CALL Unidade_Canal(int32_t channel);
/* Polls until the net weight was the same `count` times (0: 10) within `seconds` (0: 10).
   Reconnects a dropped TCP channel on the way. 0 stable; 7 time up (the weight did not
   settle); -1 for channel -1; else the time ran out and this is the last poll's failure
   code (1..4).
   It compares net weights only: it does not look at the motion flag, nor at out of range,
   so it may answer 0 while the indicator reports motion (a weight that moves in steps
   repeats its net from frame to frame). For a weight that has come to rest, poll with
   Update_Canal and take `count` consecutive readings with result 0, Estado_EmMovimento not
   "S", out of range (Estado_Canal's 4th character) not "S" and the same net weight; this is
   what `tarvel stable`, the bindings' stable reads and tarvel-gateway's stable read do. */
TARVEL_API int32_t TARVEL_CALL LePesoConsecutivo(int32_t channel, int32_t seconds, int32_t count);

/* ---- converter digital I/O (port 8880) ----
   One connection per call, one command, one reply (about 10 s when nothing answers).
   Bit 0 is the first input/output; in texts "S" is on, "N" off, first character bit 0.
     DIO_InPort      the input port value, or -1 (unreachable, no valid reply, bad IP index)
     DIO_InPortStr   8 characters "S"/"N", or "EEEEEEEE"
     DIO_InBit       1 on, 0 off, -1 failure (bit taken modulo 32)
     DIO_InBitStr    'S', 'N' or 'E' as the 32-bit result
     DIO_OutPort / DIO_OutPortStr ("SNS" = 5) / DIO_OutBit (state 1 or 0) /
     DIO_OutBitStr (state "S" = on, anything else off):
       0   the connection to the converter was made and the command sent; its reply is not
           examined, so 0 also when it answered nothing (after about 10 s) or something else
       -1  nothing was sent: a bad IP index (LastError written), or no connection could be
           made (refused, unreachable, not made within 10 s); or a send or receive failed on
           the connection. */
TARVEL_API int32_t TARVEL_CALL DIO_InPort(int32_t ipIndex);
TARVEL_API const char* TARVEL_CALL DIO_InPortStr(int32_t ipIndex);
TARVEL_API int32_t TARVEL_CALL DIO_InBit(int32_t ipIndex, int32_t bit);
TARVEL_API int32_t TARVEL_CALL DIO_InBitStr(int32_t ipIndex, int32_t bit);
TARVEL_API int32_t TARVEL_CALL DIO_OutPort(int32_t ipIndex, int32_t value);
TARVEL_API int32_t TARVEL_CALL DIO_OutPortStr(int32_t ipIndex, const char* bits);
TARVEL_API int32_t TARVEL_CALL DIO_OutBit(int32_t ipIndex, int32_t bit, int32_t state);
TARVEL_API int32_t TARVEL_CALL DIO_OutBitStr(int32_t ipIndex, int32_t bit, const char* state);

/* ---- serial settings, converter buffers, version ---- */
/* ProgSerial: new line settings for a serial channel, used from its next poll; 1, or 0 when
   the channel has no serial port. dataBits and stopBits: low 16 bits count. parity: 1 odd,
   2 even, else none. ClrBufRx / ClrBufTx: clear the converter's
   receive / transmit buffer of channel letter over its IO port, as the DIO_Out functions
   send: 0 once the command was sent; -1 for a bad IP index or letter (LastError written),
   when no connection could be made (refused, unreachable, not made within 10 s), or a send
   or receive failed. FirVer: the product, version, two empty texts and the library name. */
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
