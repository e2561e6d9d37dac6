#include "W_MSI6260.h"

int TMSI6260Bal::Poll(int32_t, uint32_t) {
    return 1;
}
