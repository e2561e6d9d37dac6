// Constructors, table numbering, Select_Canal, Close_Canal and Deleta_Canal.
#include "helpers.h"

#include "Exports.h"

using namespace t6test;

// Every family of the table, over TCP and over a serial port: the channel made for converter
// channel "c" connects to the converter's port 8883 and reads what its indicator sends, the
// serial channel reads it from its port. (The channel's fields, the validation messages and
// the numbering of the slots, reused only once the table is empty, are checked against a model
// for any input by fuzz/fuzz_registry.cpp.)
TEST_F(LibraryTest, EveryFamilysChannelsReadTheirIndicator) {
    tsim::Converter conv(Ip(20), false);
    tsim::Indicator& ind = conv.Channel('C');
    const int32_t ip = Seta_Ip(Ip(20).c_str());
    long weight = 101;
    for (const Family* f : Families()) {
        SCOPED_TRACE(f->model);
        const std::string frame = FrameOf(*f, ++weight);
        f->Asks() ? ind.OnRequest(frame) : ind.Stream(frame, Every(50));
        tsim::PtyIndicator pty;
        MapCom(20, pty.Path());
        f->Asks() ? pty.Ind().OnRequest(frame) : pty.Ind().Stream(frame, Every(50));
        const int32_t tcp = ChannelOf(*f, ip, "c"), serial = SerialChannelOf(*f, 20);
        ASSERT_GE(tcp, 0);
        ASSERT_GE(serial, 0);
        ASSERT_EQ(Select_Canal(tcp), TARVEL_SELECT_OK);
        for (const int32_t ch : {tcp, serial}) {
            EXPECT_EQ(Update_Canal(ch), TARVEL_POLL_OK);
            if (f->suppliesWeights)
                EXPECT_DOUBLE_EQ(Net_Canal_Float(ch), static_cast<double>(weight) / 10);
            else
                EXPECT_EQ(std::string(Contadora_Canal(ch)), frame.substr(1, frame.size() - 2));
        }
        Close_Canal(tcp);
        Deleta_Canal(serial);
        EXPECT_TRUE(PumpUntil([&] { return ind.Clients() == 0; }));
    }
}

TEST_F(LibraryTest, ConstructorValidationOrderAndRollBack) {
    EXPECT_EQ(W5817(0, "A"), -1); // no address registered yet
    Seta_Ip(Ip(21).c_str());
    EXPECT_EQ(WKRT(1, "E"), -1); // both wrong: the address is checked first
    EXPECT_EQ(LastError.rfind("O n\xFAmero de IP registrado (1)", 0), 0u);
    EXPECT_EQ(WMSI6260(0, nullptr), -1);
    EXPECT_EQ(LastError.rfind("O canal ()", 0), 0u);
    EXPECT_TRUE(ChannelTable.empty());

    // A failure while the new channel is filled in removes its slot again.
    ASSERT_EQ(W5817(0, "A"), 0);
    Family broken = *FamilyOfModel("5817");
    broken.decoder = []() -> std::unique_ptr<TDecoder> { throw std::runtime_error("no decoder"); };
    EXPECT_EQ(NewTcpChannel(0, "B", broken), -1);
    EXPECT_EQ(ChannelTable.size(), 1u);
    EXPECT_EQ(W5817(0, "B"), 1);
}

TEST_F(LibraryTest, SelectCanalConnectsOnceAndReportsFailures) {
    tsim::RawPeer peer(Ip(22), 8881);
    ASSERT_EQ(Seta_Ip(Ip(22).c_str()), 0);
    const int32_t ch = W5817(0, "A");
    EXPECT_EQ(Select_Canal(ch), TARVEL_SELECT_OK);
    EXPECT_TRUE(Chan(ch).TcpModule->SocLeitura->Active());
    ASSERT_TRUE(peer.WaitClient(tsim::Ms{2000}));
    EXPECT_EQ(Select_Canal(ch), TARVEL_SELECT_OK); // already connected: no new connection
    EXPECT_EQ(peer.Accepted(), 1);

    EXPECT_EQ(Select_Canal(W5817Serial(4)), TARVEL_SELECT_OK); // serial channel: nothing to connect
    Deleta_Canal(1);
    EXPECT_EQ(Select_Canal(1), TARVEL_SELECT_FAILED);
    EXPECT_EQ(LastError.rfind("O n\xFAmero de Canal registrado (1) n\xE3o est\xE1", 0), 0u);
    EXPECT_EQ(Select_Canal(9), TARVEL_SELECT_FAILED);
    EXPECT_EQ(LastError.rfind("O n\xFAmero de Canal registrado (9) est\xE1 errado", 0), 0u);

    // The converter closes the connection: the next Select_Canal connects again.
    peer.CloseClient();
    ASSERT_TRUE(PumpUntil([&] {
        uint8_t b;
        Chan(ch).TcpModule->SocLeitura->Receive(&b, 1);
        return !Chan(ch).TcpModule->SocLeitura->Active();
    }));
    EXPECT_EQ(Select_Canal(ch), TARVEL_SELECT_OK);
    EXPECT_TRUE(peer.WaitClient(tsim::Ms{2000}));
    EXPECT_EQ(peer.Accepted(), 2);
}

#ifndef _WIN32
TEST_F(LibraryTest, SelectCanalGivesUpAfterTenSeconds) {
    Unanswered silent(Ip(23), 8881);
    Seta_Ip(Ip(23).c_str());
    const int32_t ch = W5817(0, "A");
    const uint64_t t0 = NowMs();
    EXPECT_EQ(Select_Canal(ch), TARVEL_SELECT_FAILED);
    const uint64_t took = NowMs() - t0;
    EXPECT_GE(took, 9500u);
    EXPECT_LT(took, 20000u);
    EXPECT_NE(std::string(Display_Erro(ch)).find("tempo esgotado"), std::string::npos);
}
#endif

TEST_F(LibraryTest, CloseCanalReleasesTransportAndDriver) {
    tsim::RawPeer peer(Ip(24), 8882);
    Seta_Ip(Ip(24).c_str());
    const int32_t ch = W5817(0, "B");
    ASSERT_EQ(Select_Canal(ch), TARVEL_SELECT_OK);
    ASSERT_TRUE(peer.WaitClient(tsim::Ms{2000}));
    Close_Canal(ch);
    EXPECT_EQ(Chan(ch).ChannelState, 1);
    EXPECT_FALSE(Chan(ch).TcpModule || Chan(ch).Driver);
    EXPECT_TRUE(peer.WaitClientClosed(tsim::Ms{2000}));
    // A closed channel cannot be reconnected; its values read as closed.
    EXPECT_EQ(Select_Canal(ch), TARVEL_SELECT_OK);
    EXPECT_EQ(peer.Accepted(), 1);
    EXPECT_STREQ(Gross_Canal(ch), "EEEEEEEEEE");
    EXPECT_EQ(Update_Canal(ch), TARVEL_POLL_NO_FRAME);
    Close_Canal(ch); // twice is harmless

    const int32_t s = W5817Serial(2);
    Close_Canal(s);
    EXPECT_EQ(Chan(s).ChannelState, 2);
    EXPECT_FALSE(Chan(s).SerialModule || Chan(s).Driver);
    EXPECT_STREQ(Net_Canal(s), "EEEEEEEEEE");
    EXPECT_EQ(Update_Canal(s), TARVEL_POLL_NO_FRAME);
    Close_Canal(-1); // indices outside the table are ignored
    Close_Canal(s + 1);
}

TEST_F(LibraryTest, ClosingFromInsideItsOwnPollIsDeferred) {
    tsim::Converter conv(Ip(25), false);
    conv.Channel('A').Silent();
    conv.Channel('B').Silent();
    Seta_Ip(Ip(25).c_str());
    const int32_t a = W5817(0, "A");
    const int32_t b = W5817(0, "B");
    ASSERT_EQ(Select_Canal(a), TARVEL_SELECT_OK);
    ASSERT_EQ(Select_Canal(b), TARVEL_SELECT_OK);

    plat::PostCallback(200, [&] { Close_Canal(a); });
    uint64_t t0 = NowMs();
    EXPECT_EQ(Update_Canal(a), TARVEL_POLL_NO_FRAME);
    EXPECT_LT(NowMs() - t0, 8000u); // the wait ended with the close, not after 10 s
    EXPECT_EQ(Chan(a).ChannelState, 1);
    EXPECT_FALSE(Chan(a).TcpModule || Chan(a).Driver);
    EXPECT_STREQ(Net_Canal(a), "EEEEEEEEEE");

    plat::PostCallback(200, [&] { Deleta_Canal(b); });
    t0 = NowMs();
    EXPECT_EQ(Update_Canal(b), TARVEL_POLL_NO_FRAME);
    EXPECT_LT(NowMs() - t0, 8000u);
    EXPECT_EQ(ChannelAt(b), nullptr);
    EXPECT_STREQ(Net_Canal(b), "EEEEEEEEEE");
    Deleta_Canal(a);
    EXPECT_TRUE(ChannelTable.empty());
}
