#include "W_MSI3360.h"

int TMSI3360Bal::Poll(int32_t, uint32_t) {
    return 1;
}
