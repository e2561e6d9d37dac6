// The converter's digital inputs and outputs against a real IO port on 127.0.0.x:8880.
#include "helpers.h"

#include <ostream>
#include <string>
#include <vector>

using namespace t6test;

namespace {

class DigitalIo : public LibraryTest {};

} // namespace

TEST_F(DigitalIo, InputPortValueBitsAndTexts) {
    tsim::Converter conv(Ip(160));
    const int32_t ip = Seta_Ip(Ip(160).c_str());

    // "IN0", "12 O", "K LF CR": one reply in three pieces.
    conv.Io().SetInput(12);
    conv.Io().SetReplyPieces({3, 7});
    EXPECT_EQ(DIO_InPort(ip), 12);
    EXPECT_EQ(conv.Io().Commands(), std::vector<std::string>{"IN"});
    conv.Io().SetReplyPieces({});

    conv.Io().SetInput(5);
    const char* text = DIO_InPortStr(ip);
    EXPECT_STREQ(text, "SNSNNNNN");
    // The text stays readable across other calls, until DIO_InPortStr runs again.
    EXPECT_EQ(DIO_InPort(ip), 5);
    EXPECT_STREQ(text, "SNSNNNNN");
    EXPECT_EQ(DIO_InBit(ip, 34), 1); // bit 34 is bit 2
    EXPECT_EQ(DIO_InBitStr(ip, 2), 'S');
    EXPECT_EQ(DIO_InBitStr(ip, 1), 'N');
    // How any other reply reads (fewer digits, no "IN", blanks, a sign): fuzz_io_reply.cpp.

    // A zero byte drops the rest of the read it came in: "IN0" + "12 OK" joins to 12.
    conv.Io().SetCustomReply(std::string("IN0\0"
                                         "55"
                                         "12 OK\n\r",
                                         13));
    conv.Io().SetReplyPieces({6}, tsim::Ms{400});
    EXPECT_EQ(DIO_InPort(ip), 12);
}

TEST_F(DigitalIo, OutputCommandsAreSentExactly) {
    tsim::Converter conv(Ip(161));
    const int32_t ip = Seta_Ip(Ip(161).c_str());

    EXPECT_EQ(DIO_OutPortStr(ip, "SNS"), 0);
    EXPECT_EQ(conv.Io().OutputText(), "SNSNNNNN");
    EXPECT_EQ(DIO_OutPortStr(ip, "sns"), 0); // only an upper-case S sets a bit
    EXPECT_EQ(DIO_OutPortStr(ip, nullptr), 0);
    EXPECT_EQ(DIO_OutBit(ip, 3, 1), 0);
    EXPECT_EQ(DIO_OutBitStr(ip, 12, "N"), 0);
    EXPECT_EQ(DIO_OutBitStr(ip, 2, "S"), 0);
    EXPECT_EQ(DIO_OutBitStr(ip, 4, "s"), 0);
    EXPECT_EQ(DIO_OutPort(ip, -7), 0);
    EXPECT_EQ(DIO_OutPort(ip, 200), 0);
    // Position 32 is bit 31; positions past it add nothing.
    EXPECT_EQ(DIO_OutPortStr(ip, (std::string(31, 'N') + "SSS").c_str()), 0);
    EXPECT_EQ(conv.Io().Commands(),
              (std::vector<std::string>{"OP5", "OP0", "OP0", "OB13", "OB012", "OB12", "OB04",
                                        "OP-7", "OP200", "OP-2147483648"}));
    EXPECT_EQ(conv.Io().Connections(), 10); // one connection per command

    // The reply of an output command is not examined.
    conv.Io().SetCustomReply("ERR OK\n\r");
    EXPECT_EQ(DIO_OutPort(ip, 1), 0);
}

TEST_F(DigitalIo, RejectedIndexFailsBeforeConnecting) {
    tsim::Converter conv(Ip(162));
    LastError.clear();
    EXPECT_EQ(DIO_InPort(0), -1); // nothing registered yet
    EXPECT_FALSE(LastError.empty());
    const int32_t ip = Seta_Ip(Ip(162).c_str());
    for (int32_t bad : {-1, ip + 1}) {
        LastError.clear();
        EXPECT_EQ(DIO_OutPort(bad, 1), -1);
        EXPECT_FALSE(LastError.empty());
        EXPECT_EQ(DIO_OutPortStr(bad, "S"), -1);
        EXPECT_EQ(DIO_OutBit(bad, 1, 1), -1);
        EXPECT_EQ(DIO_OutBitStr(bad, 1, "S"), -1);
        EXPECT_EQ(DIO_InPort(bad), -1);
        EXPECT_EQ(DIO_InBit(bad, 1), -1);
        EXPECT_EQ(DIO_InBitStr(bad, 1), 'E');
        EXPECT_STREQ(DIO_InPortStr(bad), "EEEEEEEE");
    }
    EXPECT_EQ(conv.Io().Connections(), 0);
}

TEST_F(DigitalIo, RefusedHungUpAndFloodedConnections) {
    tsim::Converter conv(Ip(163));
    const int32_t ip = Seta_Ip(Ip(163).c_str());

    // Nothing listens: nothing can be sent, so every command fails, at once, and LastError
    // stays as it was (it holds validation messages only).
    conv.Io().SetMode(tsim::IoMode::Refuse);
    LastError = "untouched";
    uint64_t t0 = NowMs();
    EXPECT_EQ(DIO_OutPort(ip, 1), -1);
    EXPECT_EQ(DIO_OutPortStr(ip, "SNS"), -1);
    EXPECT_EQ(DIO_OutBit(ip, 3, 1), -1);
    EXPECT_EQ(DIO_OutBitStr(ip, 1, "S"), -1);
    EXPECT_EQ(ClrBufRx(ip, "A"), -1);
    EXPECT_EQ(ClrBufTx(ip, "b"), -1);
    EXPECT_EQ(LastError, "untouched");
    EXPECT_EQ(DIO_InPort(ip), -1);
    EXPECT_EQ(DIO_InBitStr(ip, 0), 'E');
    EXPECT_STREQ(DIO_InPortStr(ip), "EEEEEEEE");
    EXPECT_LT(NowMs() - t0, 5000u);

    // The converter resets the connection after the command: a receive failure.
    conv.Io().SetMode(tsim::IoMode::Hangup);
    EXPECT_EQ(DIO_OutPort(ip, 1), -1);
    EXPECT_EQ(DIO_InPort(ip), -1);

    // Endless bytes without the end marker: the reply is cut short and the exchange fails
    // long before its time-out, whichever function asked.
    conv.Io().SetFlood("IN001", 1 << 20);
    t0 = NowMs();
    EXPECT_EQ(DIO_InPort(ip), -1);
    EXPECT_EQ(DIO_OutPort(ip, 3), -1);
    EXPECT_LT(NowMs() - t0, 5000u);
    EXPECT_LT(conv.Io().FloodSent(), std::size_t{1} << 20);
    EXPECT_EQ(conv.Io().Commands().size(), 4u); // none while refused
}

#ifndef _WIN32
// A converter whose IO port takes no new connection (its accept queue is full): the connect
// itself gives up after the exchange's time-out instead of the system's much longer retry,
// and with no connection nothing was sent.
TEST_F(DigitalIo, UnansweredConnectEndsAfterTheTimeOut) {
    Unanswered peer(Ip(165), 8880);
    const int32_t ip = Seta_Ip(Ip(165).c_str());
    const uint64_t t0 = NowMs();
    EXPECT_EQ(DIO_InPort(ip), -1);
    EXPECT_EQ(DIO_OutBit(ip, 1, 1), -1);
    EXPECT_LT(NowMs() - t0, 60000u);
}
#endif

// The slow cases: a converter that never answers holds each call for about 10 s, across a
// wrap of the millisecond counter. The input functions then fail.
TEST_F(DigitalIo, SilentConverterEndsAfterTheTimeOut) {
    tsim::Converter conv(Ip(164));
    const int32_t ip = Seta_Ip(Ip(164).c_str());
    conv.Io().SetMode(tsim::IoMode::Silent);

    plat::SetTickCount(0xFFFFFFFFu - 3000);
    const uint64_t t0 = NowMs();
    EXPECT_EQ(DIO_InPort(ip), -1);
    const uint64_t took = NowMs() - t0;
    EXPECT_GE(took, 9500u);
    EXPECT_LT(took, 25000u);
    EXPECT_EQ(conv.Io().Commands(), std::vector<std::string>{"IN"});
}

// An output or buffer command that a silent converter took was sent: 0 after the time-out,
// as the reply is not examined. One test per function, so that they may run side by side.
struct SilentCase {
    const char* name;
    int ip;
    int32_t (*call)(int32_t ipIndex);
    const char* command;
};

// The case by its name in test output.
void PrintTo(const SilentCase& c, std::ostream* os) {
    *os << c.name;
}

class SilentConverter : public LibraryTest, public ::testing::WithParamInterface<SilentCase> {};

TEST_P(SilentConverter, TakesTheCommandAndReturnsZero) {
    const SilentCase& c = GetParam();
    tsim::Converter conv(Ip(c.ip));
    const int32_t ip = Seta_Ip(Ip(c.ip).c_str());
    conv.Io().SetMode(tsim::IoMode::Silent);
    const uint64_t t0 = NowMs();
    EXPECT_EQ(c.call(ip), 0);
    const uint64_t took = NowMs() - t0;
    EXPECT_GE(took, 9500u);
    EXPECT_LT(took, 25000u);
    EXPECT_EQ(conv.Io().Commands(), std::vector<std::string>{c.command});
}

INSTANTIATE_TEST_SUITE_P(
    DigitalIo, SilentConverter,
    ::testing::Values(
        SilentCase{"OutPort", 166, [](int32_t ip) { return DIO_OutPort(ip, 9); }, "OP9"},
        SilentCase{"OutBit", 167, [](int32_t ip) { return DIO_OutBit(ip, 3, 1); }, "OB13"},
        SilentCase{"ClrBufRx", 168, [](int32_t ip) { return ClrBufRx(ip, "c"); }, "RC"},
        SilentCase{"ClrBufTx", 169, [](int32_t ip) { return ClrBufTx(ip, "D"); }, "WD"}),
    [](const ::testing::TestParamInfo<SilentCase>& info) { return std::string(info.param.name); });
