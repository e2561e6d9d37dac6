/* Links against Tarvel6.dll through its import library and tarvel6.h, as a C host that does
   not load the DLL by hand: every function must resolve at link time (on 32-bit Windows the
   decorated standard-call names, _Seta_Ip@4) and at load time (the DLL's plain names).

   usage: implib.exe [IP]
     IP  a converter whose channel A streams weight 1234, tare 100, two decimals: one weight
         is read from it through the linked functions as well.
   Exit code 0 when everything resolved (and the weight was read). */
#include "tarvel6.h"

#include <math.h>
#include <stdio.h>

typedef void (*AnyFn)(void);

/* One reading over TCP; 1 when it gave the expected net weight. */
static int ReadWeight(const char* address) {
    const int32_t ch = W5817(Seta_Ip(address), "A");
    const int ok = ch >= 0 && Select_Canal(ch) == TARVEL_SELECT_OK &&
                   Update_Canal(ch) == TARVEL_POLL_OK && fabs(Net_Canal_Float(ch) - 12.34) < 1e-6;
    printf("%s: net \"%s\" read from %s channel A\n", ok ? "ok" : "FAIL",
           ch >= 0 ? Net_Canal(ch) : "-", address);
    if (ch >= 0) {
        Close_Canal(ch);
        Deleta_Canal(ch);
    }
    return ok;
}

int main(int argc, char** argv) {
    /* Taking each address makes the linker resolve it. */
    const AnyFn all[] = {(AnyFn)(void*)Seta_Ip,
                         (AnyFn)(void*)Display_Erro,
                         (AnyFn)(void*)W5817,
                         (AnyFn)(void*)W5817C,
                         (AnyFn)(void*)W5817Serial,
                         (AnyFn)(void*)W5817SerialC,
                         (AnyFn)(void*)WKRT,
                         (AnyFn)(void*)WKRTSerial,
                         (AnyFn)(void*)WOhaus,
                         (AnyFn)(void*)WOhausSerial,
                         (AnyFn)(void*)WMSI3360,
                         (AnyFn)(void*)WMSI3360Serial,
                         (AnyFn)(void*)WMSI6260,
                         (AnyFn)(void*)WMSI6260Serial,
                         (AnyFn)(void*)Select_Canal,
                         (AnyFn)(void*)Close_Canal,
                         (AnyFn)(void*)Deleta_Canal,
                         (AnyFn)(void*)Update_Canal,
                         (AnyFn)(void*)Update_NoMotion,
                         (AnyFn)(void*)Gross_Canal,
                         (AnyFn)(void*)Net_Canal,
                         (AnyFn)(void*)Tare_Canal,
                         (AnyFn)(void*)Total_Canal,
                         (AnyFn)(void*)Contadora_Canal,
                         (AnyFn)(void*)Estado_Canal,
                         (AnyFn)(void*)Estado_EmMovimento,
                         (AnyFn)(void*)Gross_Canal_Float,
                         (AnyFn)(void*)Net_Canal_Float,
                         (AnyFn)(void*)Tare_Canal_Float,
                         (AnyFn)(void*)LePesoConsecutivo,
                         (AnyFn)(void*)DIO_InPort,
                         (AnyFn)(void*)DIO_InPortStr,
                         (AnyFn)(void*)DIO_InBit,
                         (AnyFn)(void*)DIO_InBitStr,
                         (AnyFn)(void*)DIO_OutPort,
                         (AnyFn)(void*)DIO_OutPortStr,
                         (AnyFn)(void*)DIO_OutBit,
                         (AnyFn)(void*)DIO_OutBitStr,
                         (AnyFn)(void*)ProgSerial,
                         (AnyFn)(void*)ClrBufRx,
                         (AnyFn)(void*)ClrBufTx,
                         (AnyFn)(void*)FirVer};
    int missing = 0;
    for (size_t i = 0; i < sizeof all / sizeof all[0]; ++i)
        if (all[i] == NULL) ++missing;
    const char *product = NULL, *version = NULL, *p3 = NULL, *p4 = NULL, *name = NULL;
    FirVer(&product, &version, &p3, &p4, &name);
    const int ok = missing == 0 && version != NULL && Seta_Ip("127.0.0.1") == 0;
    printf("%s: %d functions linked through the import library, version %s\n", ok ? "ok" : "FAIL",
           (int)(sizeof all / sizeof all[0]), version ? version : "?");
    return ok && (argc < 2 || ReadWeight(argv[1])) ? 0 : 1;
}
