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
    /* clang-format off */
#define F(fn) (AnyFn)(void*)fn
    const AnyFn all[] = {
        F(Seta_Ip), F(Display_Erro), F(W5817), F(W5817C), F(W5817Serial), F(W5817SerialC), F(WKRT),
        F(WKRTSerial), F(WOhaus), F(WOhausSerial), F(WMSI3360), F(WMSI3360Serial), F(WMSI6260),
        F(WMSI6260Serial), F(Select_Canal), F(Close_Canal), F(Deleta_Canal), F(Update_Canal),
        F(Update_NoMotion), F(Gross_Canal), F(Net_Canal), F(Tare_Canal), F(Total_Canal),
        F(Contadora_Canal), F(Estado_Canal), F(Estado_EmMovimento), F(Unidade_Canal),
        F(Gross_Canal_Float),
        F(Net_Canal_Float), F(Tare_Canal_Float), F(LePesoConsecutivo), F(DIO_InPort),
        F(DIO_InPortStr), F(DIO_InBit), F(DIO_InBitStr), F(DIO_OutPort), F(DIO_OutPortStr),
        F(DIO_OutBit), F(DIO_OutBitStr), F(ProgSerial), F(ClrBufRx), F(ClrBufTx), F(FirVer)};
    /* clang-format on */
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
