#include <exprkit/lexer.hpp>

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "test_support.hpp"

namespace exprkit {
namespace {

using testing::describe;
using testing::invalid_argument_of;

struct TokenizeCase {
    std::string text;
    std::string tokens;  // "text:type" pairs
    friend std::ostream& operator<<(std::ostream& out, const TokenizeCase& c) { return out << c.text; }
};

class Tokenize : public ::testing::TestWithParam<TokenizeCase> {};

TEST_P(Tokenize, SplitsTextIntoClassifiedTokens) {
    Lexer lexer(GetParam().text);
    EXPECT_TRUE(lexer.is_valid());
    EXPECT_EQ(describe(lexer.tokenize()), GetParam().tokens);
}

INSTANTIATE_TEST_SUITE_P(Lexer, Tokenize, ::testing::Values(
    TokenizeCase{"sin(x)", "sin:1 (:4 x:0 ):4"},
    TokenizeCase{"2^x", "2:0 ^:10 x:0"},
    TokenizeCase{"3x+y", "3:0 x:0 +:2 y:0"},
    TokenizeCase{"x1", "x:0 1:0"},
    TokenizeCase{".5", "0.5:0"},
    TokenizeCase{"5.", "5.0:0"},
    TokenizeCase{".", "0.:0"},
    TokenizeCase{".5.", "0.5.:0"},
    TokenizeCase{"1..2", "1..2:0"},
    TokenizeCase{"1.2.3", "1.2.3:0"},
    TokenizeCase{"2-3", "2:0 -:2 3:0"},
    TokenizeCase{"Sin(x)", "Sin:1 (:4 x:0 ):4"},
    TokenizeCase{"", ""},
    TokenizeCase{"**", "*:2 *:2"},
    TokenizeCase{"ab2cd(", "ab:0 2:0 cd:1 (:4"},
    TokenizeCase{"x(", "x:1 (:4"},
    TokenizeCase{"2.5sin(x)", "2.5:0 sin:1 (:4 x:0 ):4"},
    TokenizeCase{")(", "):4 (:4"}));

TEST(Lexer, SpacePassesTheCheckButStopsTheTokenizer) {
    Lexer lexer("sin (x)");
    EXPECT_TRUE(lexer.is_valid());
    EXPECT_EQ(invalid_argument_of([&] { lexer.tokenize(); }), "Invalid charater detected:  ");
}

TEST(Lexer, ReportsTheOffendingByteItself) {
    for (const char* text : {"1%2", "x_y", "a,b"}) {
        Lexer lexer(text);
        EXPECT_FALSE(lexer.is_valid());
        const std::string message = invalid_argument_of([&] { lexer.tokenize(); });
        EXPECT_EQ(message, std::string("Invalid charater detected: ") + std::string(text).substr(1, 1));
    }
}

TEST(Lexer, AcceptsExactlyTheExpressionAlphabetAndSpace) {
    const std::string symbols = "().+-*/^ ";
    for (int byte = 0; byte < 256; ++byte) {
        const char c = static_cast<char>(byte);
        const bool admissible = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                                (byte >= '0' && byte <= '9') || symbols.find(c) != std::string::npos;
        SCOPED_TRACE(byte);
        EXPECT_EQ(Lexer(std::string(1, c)).is_valid(), admissible);
        EXPECT_EQ(Lexer(std::string("x+") + c + "y").is_valid(), admissible);
        if (!admissible) {
            Lexer lexer(std::string("x+") + c);
            // what() is a C string, so a NUL byte ends the message early.
            const std::string expected = std::string("Invalid charater detected: ") + c;
            EXPECT_EQ(invalid_argument_of([&] { lexer.tokenize(); }), expected.c_str());
        }
    }
}

TEST(Lexer, OperatorCharactersAreTheFiveBinaryOperators) {
    std::string found;
    for (int byte = 0; byte < 256; ++byte) {
        if (Lexer::is_operator_char(static_cast<char>(byte))) found += static_cast<char>(byte);
    }
    EXPECT_EQ(found, "*+-/^");
}

TEST(Lexer, TokenizesTenMillionBytes) {
    std::string text;
    text.reserve(10'000'000);
    while (text.size() < 10'000'000 - 2) text += "x+";
    text += "1";
    Lexer lexer(text);
    ASSERT_TRUE(lexer.is_valid());
    const auto tokens = lexer.tokenize();
    ASSERT_EQ(tokens.size(), text.size());
    EXPECT_EQ(tokens.back().text, "1");
    EXPECT_EQ(tokens[tokens.size() - 2].type, TokenType::Operator);
}

}  // namespace
}  // namespace exprkit
