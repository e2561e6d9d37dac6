// Converter address registry, validators and their messages, Display_Erro.
#include "helpers.h"

#include "Exports.h"

using namespace t6test;

namespace {
const std::string kBreak = "\n\r";
}

TEST_F(LibraryTest, SetaIpFindsOrAddsByExactText) {
    EXPECT_EQ(Seta_Ip("127.0.0.10"), 0);
    EXPECT_EQ(Seta_Ip("127.0.0.10"), 0);
    EXPECT_EQ(Seta_Ip("127.0.0.11"), 1);
    // The text, not the number, identifies a converter.
    EXPECT_EQ(Seta_Ip("127.0.0.010"), 2);
    // Sixteen characters are kept whole, with no terminator, and found again.
    EXPECT_EQ(Seta_Ip("1234567890123456"), 3);
    EXPECT_EQ(Seta_Ip("1234567890123456"), 3);
    EXPECT_EQ(IpTable[3].Text(), "1234567890123456");
    EXPECT_EQ(std::string(IpTable[0].IpAddress.data(), 16),
              std::string("127.0.0.10\0\0\0\0\0\0", 16));
    ASSERT_EQ(IpTable.size(), 4u);
}

TEST_F(LibraryTest, SetaIpRejectsNullAndOverlongTexts) {
    LastError.clear();
    EXPECT_EQ(Seta_Ip(nullptr), -1);
    EXPECT_NE(LastError.find("16 caracteres !\n\r"), std::string::npos);
    EXPECT_EQ(Seta_Ip("12345678901234567"), -1);
    EXPECT_TRUE(IpTable.empty());
    // Both rejections leave the table as it was: the next address gets index 0.
    EXPECT_EQ(Seta_Ip("127.0.0.12"), 0);
}

TEST_F(LibraryTest, ValidatorMessagesAreExactBytes) {
    EXPECT_FALSE(Valida_Ip(0));
    EXPECT_EQ(LastError,
              "N\xE3o existe IP registrado !" + kBreak + "Utilize a fun\xE7\xE3o Seta_Ip.");
    Seta_Ip("127.0.0.13");
    Seta_Ip("127.0.0.14");
    EXPECT_TRUE(Valida_Ip(1));
    EXPECT_FALSE(Valida_Ip(2));
    EXPECT_EQ(LastError, "O n\xFAmero de IP registrado (2) est\xE1 errado !" + kBreak +
                             "Temos 2 IP registrado(s).");
    EXPECT_FALSE(Valida_Ip(-1));
    EXPECT_EQ(LastError, "O n\xFAmero de IP registrado (-1) est\xE1 errado !" + kBreak +
                             "Temos 2 IP registrado(s).");

    EXPECT_FALSE(Valida_Canal(0));
    EXPECT_EQ(LastError, "N\xE3o existe Canal registrado !" + kBreak +
                             "Utilize a fun\xE7\xE3o de acordo com o dispositivo (W5817,W2946, "
                             "etc.).");
    ASSERT_EQ(W5817Serial(1), 0);
    ASSERT_EQ(W5817Serial(1), 1);
    EXPECT_FALSE(Valida_Canal(2));
    EXPECT_EQ(LastError, "O n\xFAmero de Canal registrado (2) est\xE1 errado !" + kBreak +
                             "Temos 2 Canal(is) registrado(s).");
    Deleta_Canal(0);
    EXPECT_FALSE(Valida_Canal(0));
    EXPECT_EQ(LastError,
              "O n\xFAmero de Canal registrado (0) n\xE3o est\xE1 inicializado !" + kBreak);

    EXPECT_TRUE(Valida_CanalSerial("C"));
    for (const char* bad : {"E", "AB", ""}) {
        EXPECT_FALSE(Valida_CanalSerial(bad));
        EXPECT_EQ(LastError, std::string("O canal (") + bad + ") n\xE3o existe !" + kBreak +
                                 "Utilize os canais seriais A,B,C ou D.");
    }
    // Success leaves the last message alone.
    EXPECT_TRUE(Valida_CanalSerial("A"));
    EXPECT_EQ(LastError.rfind("O canal () n\xE3o existe !", 0), 0u);
}

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

    // A refused connection is recorded for the channel and handed out once.
    ASSERT_EQ(Seta_Ip(Ip(15).c_str()), 0);
    const int32_t tcp = W5817(0, "B");
    EXPECT_EQ(Select_Canal(tcp), TARVEL_SELECT_FAILED);
    const std::string first = Display_Erro(tcp);
    EXPECT_NE(first.find(Ip(15)), std::string::npos);
    EXPECT_NE(first.find("8882"), std::string::npos);
    EXPECT_STREQ(Display_Erro(tcp), "");
}
