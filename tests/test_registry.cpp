// The errors a channel hands out with Display_Erro.
#include "helpers.h"

using namespace t6test;

// Seta_Ip's table and every validator message, byte for byte, are checked against a model
// of the tables by fuzz/fuzz_registry.cpp (its seeds replay the plain cases each run).

TEST_F(LibraryTest, DisplayErroHandsOutEachErrorOnce) {
    const int32_t ch = W5817Serial(3);
    const char* text = Display_Erro(ch);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "");
    // Indices that name no channel give an empty text too.
    EXPECT_STREQ(Display_Erro(-1), "");
    EXPECT_STREQ(Display_Erro(57), "");
    Deleta_Canal(ch);
    EXPECT_STREQ(Display_Erro(ch), "");

    // A refused connection gives 0 at once, leaves the reading connection inactive, and is
    // recorded for the channel (not as the validators' message) and handed out once.
    ASSERT_EQ(Seta_Ip(Ip(15).c_str()), 0);
    const int32_t tcp = W5817(0, "B");
    LastError.clear();
    const uint64_t t0 = NowMs();
    EXPECT_EQ(Select_Canal(tcp), TARVEL_SELECT_FAILED);
    EXPECT_LT(NowMs() - t0, 5000u);
    EXPECT_FALSE(ChannelAt(tcp)->TcpModule->SocLeitura->Active());
    EXPECT_TRUE(LastError.empty());
    const std::string first = Display_Erro(tcp);
    EXPECT_NE(first.find("recusada"), std::string::npos) << first;
    EXPECT_NE(first.find(Ip(15)), std::string::npos);
    EXPECT_NE(first.find("8882"), std::string::npos);
    EXPECT_STREQ(Display_Erro(tcp), "");
}
