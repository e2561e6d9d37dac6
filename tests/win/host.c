/* A Windows host program (built 32-bit and 64-bit), written the way an application uses the
   library: it loads Tarvel6.dll at run time, resolves every export by name and reads weights.

   usage: host.exe DLL IP COM
     DLL  path of Tarvel6.dll (a Unix path is taken as drive Z:)
     IP   converter address: channel A streams weight 1234, tare 100, two decimals; channel B
          the same weight with one frame every 1.5 s
     COM  COM port whose device streams weight 500 with one decimal

   Checks, in order: every function resolves by its plain name (that the export table holds
   exactly these names is check_dll.cmake's test); the road of one reading over TCP; a host
   timer that calls Update_Canal on the channel being polled (refused with 1 while the outer
   poll still returns its frame); the road of one reading on the COM port. Exit code 0 when
   every check passed. */
#include <windows.h>

#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef int32_t(__stdcall* FnI)(int32_t);
typedef int32_t(__stdcall* FnS)(const char*);
typedef int32_t(__stdcall* FnIS)(int32_t, const char*);
typedef int32_t(__stdcall* FnII)(int32_t, int32_t);
typedef void(__stdcall* FnV)(int32_t);
typedef const char*(__stdcall* FnT)(int32_t);
typedef double(__stdcall* FnD)(int32_t);
typedef void(__stdcall* FnVer)(const char**, const char**, const char**, const char**,
                               const char**);

/* clang-format off */
static const char* const kExports[] = {
    "Seta_Ip", "Display_Erro", "W5817", "W5817C", "W5817Serial", "W5817SerialC", "WKRT",
    "WKRTSerial", "WOhaus", "WOhausSerial", "WMSI3360", "WMSI3360Serial", "WMSI6260",
    "WMSI6260Serial", "Select_Canal", "Close_Canal", "Deleta_Canal", "Update_Canal",
    "Update_NoMotion", "Gross_Canal", "Net_Canal", "Tare_Canal", "Total_Canal", "Contadora_Canal",
    "Estado_Canal", "Estado_EmMovimento", "Gross_Canal_Float", "Net_Canal_Float",
    "Tare_Canal_Float", "LePesoConsecutivo", "DIO_InPort", "DIO_InPortStr", "DIO_InBit",
    "DIO_InBitStr", "DIO_OutPort", "DIO_OutPortStr", "DIO_OutBit", "DIO_OutBitStr", "ProgSerial",
    "ClrBufRx", "ClrBufTx", "FirVer"};
/* clang-format on */
#define EXPORT_COUNT ((int)(sizeof kExports / sizeof kExports[0]))

static FARPROC g_fn[EXPORT_COUNT];
static int g_passed = 0, g_failed = 0;

static void Check(int ok, const char* what) {
    printf("%s: %s\n", ok ? "ok  " : "FAIL", what);
    fflush(stdout);
    if (ok)
        ++g_passed;
    else
        ++g_failed;
}

static FARPROC Fn(const char* name) {
    for (int i = 0; i < EXPORT_COUNT; ++i)
        if (strcmp(kExports[i], name) == 0) return g_fn[i];
    return NULL;
}

/* Calls through the resolved pointers; the casts go through void* as GetProcAddress's
   result has no useful type. */
#define CALL(type, name) ((type)(void*)Fn(name))

static int Near(double a, double b) {
    return fabs(a - b) < 1e-6;
}

/* ---- a host timer that re-enters the library during a poll ---- */

static int32_t g_polled = -1;
static int32_t g_nestedResult = -100;
static int g_timerRuns = 0;

static void CALLBACK NestedPoll(HWND hwnd, UINT msg, UINT_PTR id, DWORD time) {
    (void)hwnd;
    (void)msg;
    (void)time;
    KillTimer(NULL, id);
    ++g_timerRuns;
    g_nestedResult = CALL(FnI, "Update_Canal")(g_polled);
}

/* ---- the roads of one reading ---- */

static void TcpRoad(const char* ip) {
    const int32_t ipIndex = CALL(FnS, "Seta_Ip")(ip);
    Check(ipIndex == 0, "Seta_Ip returns IP index 0");
    const int32_t ch = CALL(FnIS, "W5817")(ipIndex, "A");
    Check(ch == 0, "W5817(0, \"A\") returns channel 0");
    Check(CALL(FnI, "Select_Canal")(ch) == 1, "Select_Canal connects to port 8881");
    const DWORD t0 = GetTickCount();
    Check(CALL(FnI, "Update_Canal")(ch) == 0, "Update_Canal takes a frame");
    printf("      poll took %lu ms\n", (unsigned long)(GetTickCount() - t0));
    const char* net = CALL(FnT, "Net_Canal")(ch);
    printf("      net \"%s\" gross \"%s\" tare \"%s\" status \"%s\"\n", net,
           CALL(FnT, "Gross_Canal")(ch), CALL(FnT, "Tare_Canal")(ch),
           CALL(FnT, "Estado_Canal")(ch));
    Check(Near(CALL(FnD, "Net_Canal_Float")(ch), 12.34),
          "net weight 12.34 (the texts: the suites)");

    /* Channel B sends one frame every 1.5 s: the poll waits, and a host timer fires in the
       middle of it. */
    const int32_t slow = CALL(FnIS, "W5817")(ipIndex, "b");
    Check(slow == 1, "W5817(0, \"b\") returns channel 1");
    Check(CALL(FnI, "Select_Canal")(slow) == 1, "Select_Canal connects to port 8882");
    CALL(FnI, "Update_Canal")(slow); /* lines up with the stream */
    g_polled = slow;
    SetTimer(NULL, 0, 200, NestedPoll);
    const int32_t outer = CALL(FnI, "Update_Canal")(slow);
    Check(g_timerRuns == 1, "the host timer ran inside the poll's wait");
    Check(g_nestedResult == 1, "Update_Canal from the timer on the channel being polled gives 1");
    Check(outer == 0, "the outer poll still returns its frame");
    Check(Near(CALL(FnD, "Net_Canal_Float")(slow), 12.34), "and its net weight");

    CALL(FnV, "Close_Canal")(ch);
    CALL(FnV, "Close_Canal")(slow);
    Check(strcmp(CALL(FnT, "Net_Canal")(ch), "EEEEEEEEEE") == 0,
          "a closed channel's net weight reads EEEEEEEEEE");
    CALL(FnV, "Deleta_Canal")(slow);
    CALL(FnV, "Deleta_Canal")(ch);
}

static void SerialRoad(int com) {
    const int32_t ch = CALL(FnI, "W5817Serial")(com);
    Check(ch >= 0, "W5817Serial creates a channel");
    Check(CALL(FnI, "Select_Canal")(ch) == 1, "Select_Canal on a serial channel gives 1");
    Check(CALL(FnI, "Update_Canal")(ch) == 0, "Update_Canal takes a frame from the COM port");
    printf("      net \"%s\"\n", CALL(FnT, "Net_Canal")(ch));
    Check(Near(CALL(FnD, "Net_Canal_Float")(ch), 50.0), "net weight 50.0");
    Check(CALL(FnI, "Update_Canal")(ch) == 0, "a second poll reopens the port and takes a frame");
    CALL(FnV, "Close_Canal")(ch);
    CALL(FnV, "Deleta_Canal")(ch);

    const int32_t missing = CALL(FnI, "W5817Serial")(250);
    Check(CALL(FnI, "Update_Canal")(missing) == 4, "a COM port that does not exist gives 4");
    CALL(FnV, "Deleta_Canal")(missing);
}

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: host.exe DLL IP COM\n");
        return 2;
    }
    char path[MAX_PATH];
    if (argv[1][0] == '/') {
        snprintf(path, sizeof path, "Z:%s", argv[1]);
        for (char* p = path; *p; ++p)
            if (*p == '/') *p = '\\';
    } else {
        snprintf(path, sizeof path, "%s", argv[1]);
    }
    HMODULE dll = LoadLibraryA(path);
    if (dll == NULL) {
        printf("FAIL: LoadLibrary(%s): error %lu\n", path, (unsigned long)GetLastError());
        return 1;
    }
    int resolved = 0;
    for (int i = 0; i < EXPORT_COUNT; ++i) {
        g_fn[i] = GetProcAddress(dll, kExports[i]);
        if (g_fn[i] != NULL)
            ++resolved;
        else
            printf("      %s not found\n", kExports[i]);
    }
    Check(resolved == EXPORT_COUNT, "GetProcAddress finds every function by its plain name");
    if (resolved == EXPORT_COUNT) {
        const char *product = NULL, *version = NULL, *p3 = NULL, *p4 = NULL, *name = NULL;
        CALL(FnVer, "FirVer")(&product, &version, &p3, &p4, &name);
        Check(product != NULL && version != NULL && name != NULL, "FirVer hands out its texts");
        Check(CALL(FnIS, "W5817")(0, "A") == -1, "a constructor without a registered IP gives -1");
        TcpRoad(argv[2]);
        SerialRoad(atoi(argv[3]));
    }
    FreeLibrary(dll);
    printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
