/* Prints the installed library's version texts and checks a refused channel letter. */
#include <stdio.h>
#include <string.h>

#include <tarvel6.h>

int main(void) {
    const char *product, *version, *p3, *p4, *name;
    FirVer(&product, &version, &p3, &p4, &name);
    printf("%s %s %s\n", product, version, name);
    return W5817(Seta_Ip("127.0.0.1"), "E") == TARVEL_FAILED ? 0 : 1;
}
