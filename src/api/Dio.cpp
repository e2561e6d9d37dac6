// The converter's digital inputs and outputs over its IO command connection (port 8880).
#include "tarvel6.h"

#include "Definir.h"

extern "C" {

int32_t TARVEL_CALL DIO_InPort(int32_t) {
    return -1;
}
const char* TARVEL_CALL DIO_InPortStr(int32_t) {
    return "EEEEEEEE";
}
int32_t TARVEL_CALL DIO_InBit(int32_t, int32_t) {
    return -1;
}
int32_t TARVEL_CALL DIO_InBitStr(int32_t, int32_t) {
    return 'E';
}
int32_t TARVEL_CALL DIO_OutPort(int32_t, int32_t) {
    return -1;
}
int32_t TARVEL_CALL DIO_OutPortStr(int32_t, const char*) {
    return -1;
}
int32_t TARVEL_CALL DIO_OutBit(int32_t, int32_t, int32_t) {
    return -1;
}
int32_t TARVEL_CALL DIO_OutBitStr(int32_t, int32_t, const char*) {
    return -1;
}

} // extern "C"
