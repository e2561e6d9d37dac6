#include "W_Ohaus.h"

int TOhausBal::Poll(int32_t, uint32_t) {
    return 1;
}
