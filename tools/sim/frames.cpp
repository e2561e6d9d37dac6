#include "tarvelsim.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace tsim {

namespace {

std::string SixDigits(long v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%06ld", std::labs(v) % 1000000);
    return buf;
}

// Right-aligns `s` in `width` characters, or keeps its first `width` characters.
std::string Fit(std::string_view s, std::size_t width) {
    if (s.size() >= width) return std::string(s.substr(0, width));
    return std::string(width - s.size(), ' ') + std::string(s);
}

} // namespace

std::string Status5817(const Ind5817& p) {
    std::string s(3, ' ');
    s[0] = static_cast<char>(0x20 | (p.decimalCode & 0x07) | (p.incrementBits & 0x18));
    int b = 0x20;
    if (p.netMode) b |= 0x01;
    if (p.negative || p.weight < 0) b |= 0x02;
    if (p.outOfRange) b |= 0x04;
    if (p.motion) b |= 0x08;
    if (p.kg) b |= 0x10;
    s[1] = static_cast<char>(b);
    s[2] = static_cast<char>(0x20 | (p.printRequest ? 0x08 : 0));
    return s;
}

std::string Body5817(const Ind5817& p) {
    return Status5817(p) + SixDigits(p.weight) + SixDigits(p.tare) + kCr;
}

char CheckChar5817(std::string_view bodyWithCr) {
    unsigned sum = static_cast<unsigned>(kStx);
    for (char c : bodyWithCr)
        sum += static_cast<unsigned char>(c) & 0x7Fu;
    return static_cast<char>(((~sum & 0x7Fu) + 1u) & 0x7Fu);
}

std::string Frame5817Raw(std::string_view body, bool badCheck) {
    std::string f;
    f += kStx;
    f += body;
    f += kCr;
    char check = CheckChar5817(std::string_view(f).substr(1));
    if (badCheck) check = static_cast<char>((check + 1) & 0x7F);
    f += check;
    return f;
}

std::string Frame5817(const Ind5817& p, bool badCheck) {
    std::string body = Body5817(p);
    body.pop_back(); // Frame5817Raw appends the CR
    return Frame5817Raw(body, badCheck);
}

std::string FrameKrtRaw(std::string_view body) {
    std::string f;
    f += kStx;
    f += body;
    f += kCr;
    return f;
}

std::string FrameKrt(const Ind5817& p) {
    std::string body = Body5817(p);
    body.pop_back();
    return FrameKrtRaw(body);
}

std::string FrameMsi3360Raw(std::string_view body) {
    std::string f;
    f += kStx;
    f += body;
    f += kEtx;
    return f;
}

std::string FrameMsi3360(std::string_view gross, std::string_view net, std::string_view tare,
                         std::string_view unit) {
    return FrameMsi3360Raw(Fit(gross, 8) + Fit(net, 8) + Fit(tare, 8) + Fit(unit, 2));
}

std::string Msi6260Line(std::string_view label, std::string_view value, std::string_view unit) {
    std::string s(label);
    s += ' ';
    s += value;
    s += ' ';
    s += unit;
    s += "\r\n";
    return s;
}

std::string Msi6260Text(std::string_view text) {
    return std::string(text) + "\r\n";
}

std::string Msi6260Ticket(std::string_view gross, std::string_view tare, std::string_view net,
                          std::string_view unit) {
    return Msi6260Text("  WEIGHT TICKET") + Msi6260Text("") + Msi6260Line(kMsiGross, gross, unit) +
           Msi6260Line(kMsiTare, tare, unit) + Msi6260Line(kMsiNet, net, unit) + Msi6260Text("");
}

std::string OhausLine(std::string_view weight, std::string_view unit, bool motion) {
    std::string s(weight);
    s += ' ';
    s += unit;
    if (motion) s += " ?";
    s += "\r\n";
    return s;
}

std::string OhausReading(double value, int decimals, std::string_view unit, bool motion) {
    if (decimals < 0) decimals = 0;
    if (decimals > 6) decimals = 6;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%c%7.*f", value < 0 ? '-' : ' ', decimals, std::fabs(value));
    return OhausLine(buf, unit, motion);
}

} // namespace tsim
