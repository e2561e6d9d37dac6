#include "W_KRT.h"

int TKRTBal::Poll(int32_t, uint32_t) {
    return 1;
}
