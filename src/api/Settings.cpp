// Serial settings of a channel, the converter's buffer commands and the version texts.
#include "tarvel6.h"

#include "Definir.h"

extern "C" {

int32_t TARVEL_CALL ProgSerial(int32_t, int32_t, uint32_t, int32_t, uint32_t) {
    return 0;
}
int32_t TARVEL_CALL ClrBufRx(int32_t, const char*) {
    return -1;
}
int32_t TARVEL_CALL ClrBufTx(int32_t, const char*) {
    return -1;
}

void TARVEL_CALL FirVer(const char** product, const char** version, const char** p3,
                        const char** p4, const char** name) {
    if (product != nullptr) *product = "TARVEL";
    if (version != nullptr) *version = "2.0.15";
    if (p3 != nullptr) *p3 = "";
    if (p4 != nullptr) *p4 = "";
    if (name != nullptr) *name = "Tarvel6";
}

} // extern "C"
