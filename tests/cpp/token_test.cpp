#include <exprkit/token.hpp>

#include <gtest/gtest.h>

#include <string>

#include "test_support.hpp"

namespace exprkit {
namespace {

using testing::invalid_argument_of;

struct NormaliseCase {
    std::string text;
    TokenType type;
    std::string expected;
};

TEST(Token, NormalisesNumberTextsOfOperandsOnly) {
    const NormaliseCase cases[] = {
        {".5", TokenType::Operand, "0.5"},   {"5.", TokenType::Operand, "5.0"},
        {".", TokenType::Operand, "0."},     {".5.", TokenType::Operand, "0.5."},
        {"1..2", TokenType::Operand, "1..2"}, {"1.2.3", TokenType::Operand, "1.2.3"},
        {"12", TokenType::Operand, "12"},    {"x", TokenType::Operand, "x"},
        {"", TokenType::Operand, ""},        {".5", TokenType::Function, ".5"},
        {"5.", TokenType::Paren, "5."},      {"a.", TokenType::Operand, "a."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(Token(c.text, c.type).text, c.expected);
    }
}

TEST(Token, CaretCarriesRightAssocWhateverTypeItIsGiven) {
    for (const TokenType type : {TokenType::Operand, TokenType::Function, TokenType::Operator, TokenType::Paren}) {
        const Token token("^", type);
        EXPECT_EQ(static_cast<int>(token.type), static_cast<int>(type) | 8);
    }
    EXPECT_EQ(Token("^^", TokenType::Operator).type, TokenType::Operator);
    EXPECT_EQ(Token("-", TokenType::Operator).type, TokenType::Operator);
}

TEST(Token, RejectsEveryByteOutsideTheExpressionAlphabet) {
    const std::string alphabet = "().+-*/^";
    for (int byte = 0; byte < 256; ++byte) {
        const char c = static_cast<char>(byte);
        const bool admissible = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                                (byte >= '0' && byte <= '9') || alphabet.find(c) != std::string::npos;
        SCOPED_TRACE(byte);
        const std::string message = invalid_argument_of([&] { Token(std::string("x") + c, TokenType::Operand); });
        EXPECT_EQ(message, admissible ? "<no error>" : "Tried creating Token with illegal character");
    }
}

TEST(Token, ClassifiesParenthesesOperatorsAndOperandsByTypeAndText) {
    EXPECT_TRUE(Token("(", TokenType::Paren).is_open_paren());
    EXPECT_FALSE(Token("(", TokenType::Operator).is_open_paren());
    EXPECT_TRUE(Token(")", TokenType::Paren).is_close_paren());
    EXPECT_TRUE(Token("^", TokenType::Operator).is_binary_operator());
    EXPECT_FALSE(Token("-", TokenType::Function).is_binary_operator());
    EXPECT_TRUE(Token("1.5", TokenType::Operand).is_number());
    EXPECT_FALSE(Token("x1", TokenType::Operand).is_name());
}

}  // namespace
}  // namespace exprkit
