/* Links against Tarvel6.dll through its import library and tarvel6.h, as a C host that does
   not load the DLL by hand: every function must resolve at link time (decorated
   standard-call names) and at load time (the DLL's plain names). */
#include "tarvel6.h"

#include <stdio.h>

typedef void (*AnyFn)(void);

int main(void) {
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
    return ok ? 0 : 1;
}
