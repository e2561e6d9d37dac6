#include "Messages.h"

#include "Channels.h"

#include <cctype>
#include <initializer_list>

namespace {

// The messages are single-byte (Windows-1252) texts; each has two lines separated by
// line feed then carriage return.
const char* const kLineBreak = "\n\r";

std::string Msg(std::initializer_list<std::string> parts) {
    std::string s;
    for (auto& p : parts)
        s += p;
    return s;
}

} // namespace

bool Valida_Ip(int32_t index) {
    if (IpTable.empty()) {
        LastError =
            Msg({"N\xE3o existe IP registrado !", kLineBreak, "Utilize a fun\xE7\xE3o Seta_Ip."});
        return false;
    }
    const int32_t n = static_cast<int32_t>(IpTable.size());
    if (index < 0 || index > n - 1) {
        LastError =
            Msg({"O n\xFAmero de IP registrado (", std::to_string(index), ") est\xE1 errado !",
                 kLineBreak, "Temos ", std::to_string(n), " IP registrado(s)."});
        return false;
    }
    return true;
}

bool Valida_Canal(int32_t index) {
    if (ChannelTable.empty()) {
        // The text is fixed (hosts compare it): its example names W2946, a model this
        // library has no constructor for.
        LastError = Msg({"N\xE3o existe Canal registrado !", kLineBreak,
                         "Utilize a fun\xE7\xE3o de acordo com o dispositivo "
                         "(W5817,W2946, etc.)."});
        return false;
    }
    const int32_t n = static_cast<int32_t>(ChannelTable.size());
    if (index < 0 || index > n - 1) {
        LastError =
            Msg({"O n\xFAmero de Canal registrado (", std::to_string(index), ") est\xE1 errado !",
                 kLineBreak, "Temos ", std::to_string(n), " Canal(is) registrado(s)."});
        return false;
    }
    if (!ChannelTable[static_cast<size_t>(index)]) {
        LastError = Msg({"O n\xFAmero de Canal registrado (", std::to_string(index),
                         ") n\xE3o est\xE1 inicializado !", kLineBreak});
        return false;
    }
    return true;
}

bool Valida_CanalSerial(const std::string& letter) {
    if (letter == "A" || letter == "B" || letter == "C" || letter == "D") return true;
    LastError = Msg({"O canal (", letter, ") n\xE3o existe !", kLineBreak,
                     "Utilize os canais seriais A,B,C ou D."});
    return false;
}

std::string SetaIpRejected() {
    return Msg({"O endere\xE7o de IP informado est\xE1 vazio ou tem mais de 16 caracteres !",
                kLineBreak, "Utilize um endere\xE7o IPv4 (ex.: 192.168.0.10)."});
}

std::string ForeignThreadRefused(int32_t index) {
    return Msg({"O Canal (", std::to_string(index),
                ") s\xF3 pode ser fechado ou apagado pela thread que o abriu !", kLineBreak,
                "Chame Close_Canal e Deleta_Canal na thread de Select_Canal e Update_Canal."});
}

std::string UpperText(const char* s) {
    std::string r = s != nullptr ? s : "";
    for (char& c : r)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return r;
}
