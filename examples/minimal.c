/* Reads one weight from a 5817 indicator on a converter channel:  minimal 192.168.0.50 A */
#include <stdio.h>

#include "tarvel6.h"

int main(int argc, char** argv) {
    if (argc != 3) return 64;
    int32_t ch = W5817(Seta_Ip(argv[1]), argv[2]);
    if (ch < 0) return 6;
    int32_t r = TARVEL_POLL_NO_FRAME;
    if (Select_Canal(ch) == TARVEL_SELECT_OK) r = Update_Canal(ch);
    if (r == TARVEL_POLL_OK) printf("net %s status %s\n", Net_Canal(ch), Estado_Canal(ch));
    Close_Canal(ch);
    Deleta_Canal(ch);
    return r;
}
