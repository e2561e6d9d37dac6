// tarvel-read: reads indicators through the Tarvel6 library and prints what each poll gives.
//
//   tarvel-read --ip 192.168.0.50 --channel A --model 5817 [--polls 3] [--nomotion MS]
//   tarvel-read --com 1 --model ohaus
//   tarvel-read --ip 192.168.0.50 --inputs            (converter's digital inputs)
//
// Models: 5817, 5817c, krt, ohaus, msi3360, msi6260. Several --channel/--model pairs may be
// given; each --model applies to the --channel (or --com) just before it.
#include "tarvel6.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Target {
    std::string letter; // TCP channel letter, or empty
    int com = 0;        // serial port number, or 0
    std::string model = "5817";
};

void Usage() {
    std::puts("usage: tarvel-read [--ip ADDRESS] (--channel A..D | --com N) --model MODEL ...\n"
              "                   [--polls N] [--nomotion MS] [--stable SECONDS] [--inputs]\n"
              "models: 5817 5817c krt ohaus msi3360 msi6260");
}

int32_t Create(const Target& t, int32_t ip) {
    const std::string& m = t.model;
    const char* l = t.letter.c_str();
    if (t.com > 0) {
        if (m == "5817") return W5817Serial(t.com);
        if (m == "5817c") return W5817SerialC(t.com);
        if (m == "krt") return WKRTSerial(t.com);
        if (m == "ohaus") return WOhausSerial(t.com);
        if (m == "msi3360") return WMSI3360Serial(t.com);
        if (m == "msi6260") return WMSI6260Serial(t.com);
        return -1;
    }
    if (m == "5817") return W5817(ip, l);
    if (m == "5817c") return W5817C(ip, l);
    if (m == "krt") return WKRT(ip, l);
    if (m == "ohaus") return WOhaus(ip, l);
    if (m == "msi3360") return WMSI3360(ip, l);
    if (m == "msi6260") return WMSI6260(ip, l);
    return -1;
}

} // namespace

int main(int argc, char** argv) {
    std::string ip;
    std::vector<Target> targets;
    int polls = 1;
    int noMotion = -1;
    int stableSeconds = 0;
    bool inputs = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--ip")
            ip = next();
        else if (a == "--channel")
            targets.push_back({next(), 0, "5817"});
        else if (a == "--com")
            targets.push_back({"", std::atoi(next().c_str()), "5817"});
        else if (a == "--model" && !targets.empty())
            targets.back().model = next();
        else if (a == "--polls")
            polls = std::atoi(next().c_str());
        else if (a == "--nomotion")
            noMotion = std::atoi(next().c_str());
        else if (a == "--stable")
            stableSeconds = std::atoi(next().c_str());
        else if (a == "--inputs")
            inputs = true;
        else {
            Usage();
            return a == "--help" ? 0 : 2;
        }
    }
    if (targets.empty() && !inputs) {
        Usage();
        return 2;
    }
    const int32_t ipIndex = ip.empty() ? -1 : Seta_Ip(ip.c_str());
    int failures = 0;
    if (inputs) {
        const char* bits = DIO_InPortStr(ipIndex);
        std::printf("inputs %s: %d %s\n", ip.c_str(), DIO_InPort(ipIndex), bits);
    }
    for (const Target& t : targets) {
        const int32_t ch = Create(t, ipIndex);
        const std::string where = t.com > 0 ? "COM" + std::to_string(t.com) : ip + "/" + t.letter;
        if (ch < 0) {
            std::printf("%s %s: cannot create the channel\n", where.c_str(), t.model.c_str());
            ++failures;
            continue;
        }
        if (Select_Canal(ch) != 1) {
            std::printf("%s %s: not connected: %s\n", where.c_str(), t.model.c_str(),
                        Display_Erro(ch));
            ++failures;
        } else {
            for (int p = 0; p < polls; ++p) {
                const int32_t r = stableSeconds > 0 ? LePesoConsecutivo(ch, stableSeconds, 3)
                                  : noMotion >= 0   ? Update_NoMotion(ch, noMotion)
                                                    : Update_Canal(ch);
                std::printf("%s %s: result %d gross [%s] net [%s] tare [%s] total [%s] "
                            "counter [%s] status [%s] motion [%s] net=%.4f\n",
                            where.c_str(), t.model.c_str(), r, Gross_Canal(ch), Net_Canal(ch),
                            Tare_Canal(ch), Total_Canal(ch), Contadora_Canal(ch), Estado_Canal(ch),
                            Estado_EmMovimento(ch), Net_Canal_Float(ch));
                if (r != 0 && r != 3) ++failures;
            }
        }
        Close_Canal(ch);
        Deleta_Canal(ch);
    }
    std::fflush(stdout);
    return failures == 0 ? 0 : 1;
}
