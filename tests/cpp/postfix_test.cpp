#include <exprkit/lexer.hpp>
#include <exprkit/postfix.hpp>

#include <gtest/gtest.h>

#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace exprkit {
namespace {

using testing::invalid_argument_of;
using testing::texts;

PostfixConverter converter_for(const std::string& text) {
    return PostfixConverter(Lexer(text).tokenize(), make_precedence_table());
}

// The converter's steps in the order the parser runs them.
std::vector<Token> postfix_of(const std::string& text) {
    PostfixConverter converter = converter_for(text);
    converter.mark_unary_minus();
    return converter.insert_implicit_multiplication().to_postfix();
}

struct PostfixCase {
    std::string infix;
    std::string postfix;
    friend std::ostream& operator<<(std::ostream& out, const PostfixCase& c) { return out << c.infix; }
};

class Postfix : public ::testing::TestWithParam<PostfixCase> {};

TEST_P(Postfix, OrdersByPrecedenceAndAssociativity) { EXPECT_EQ(texts(postfix_of(GetParam().infix)), GetParam().postfix); }

INSTANTIATE_TEST_SUITE_P(Precedence, Postfix, ::testing::Values(
    PostfixCase{"1+2*3", "1 2 3 * +"},
    PostfixCase{"8/2*4", "8 2 4 * /"},  // "*" binds tighter than "/"
    PostfixCase{"8*2/4", "8 2 * 4 /"},
    PostfixCase{"5-3-1", "5 3 - 1 -"},
    PostfixCase{"5-3+1", "5 3 - 1 +"},
    PostfixCase{"2^3^2", "2 3 2 ^ ^"},
    PostfixCase{"(2^3)^2", "2 3 ^ 2 ^"},
    PostfixCase{"sin(x)^2", "x sin 2 ^"},
    PostfixCase{"x2", "x 2"},
    PostfixCase{"(1)(2)", "1 2"}));

INSTANTIATE_TEST_SUITE_P(UnaryMinus, Postfix, ::testing::Values(
    PostfixCase{"-2^2", "2 -u 2 ^"},  // unary minus binds tighter than "^"
    PostfixCase{"2*-3", "2 3 -u *"},
    PostfixCase{"2^-1", "2 1 -u ^"},
    PostfixCase{"-(2+3)", "2 3 + -u"},
    PostfixCase{"--2", "-u 2 -"},
    PostfixCase{"-", "-"},
    PostfixCase{"2-", "2 -"},
    PostfixCase{"x-y", "x y -"},
    PostfixCase{"(-x)", "x -u"}));

INSTANTIATE_TEST_SUITE_P(ImplicitMultiplication, Postfix, ::testing::Values(
    PostfixCase{"2x", "2 x *"},
    PostfixCase{"2(x+1)", "2 x 1 + *"},
    PostfixCase{"2sin(x)", "2 x sin *"},
    PostfixCase{"3x^2", "3 x 2 ^ *"},
    PostfixCase{"x(2)", "2 x"},
    PostfixCase{"2x3y", "2 x 3 * y *"},
    PostfixCase{"2-x", "2 x -"},
    PostfixCase{"2*-x", "2 x -u *"},
    PostfixCase{"2-(x)", "2 x -"},
    PostfixCase{"-2x", "2 -u x *"},
    PostfixCase{"-2-3x", "2 -u 3 x * -"}));

TEST(Postfix, UnmatchedClosingParenthesisExpectsAnOpeningOne) {
    for (const char* text : {")(", "1+2)(3", ")"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(invalid_argument_of([&] { postfix_of(text); }), "Expected '('");
    }
}

TEST(Postfix, ParenTypeWithOtherTextIsUnhandled) {
    PostfixConverter converter({Token("1", TokenType::Operand), Token("x", TokenType::Paren)}, make_precedence_table());
    EXPECT_EQ(invalid_argument_of([&] { converter.to_postfix(); }), "Unhandled token");
}

TEST(Postfix, OperatorMissingFromThePrecedenceTableIsAnOutOfRangeLookup) {
    PrecedenceTable without_caret;
    for (const auto& entry : make_precedence_table()) {
        if (entry.first != "^") without_caret.push_back(entry);
    }
    PostfixConverter converter(Lexer("2^3").tokenize(), without_caret);
    try {
        converter.to_postfix();
        FAIL() << "expected std::out_of_range";
    } catch (const std::out_of_range& error) {
        EXPECT_STREQ(error.what(), "invalid unordered_map<K, T> key");
    }
}

TEST(Postfix, VariablesListsNamesInOrderWithRepeats) {
    EXPECT_EQ(texts(converter_for("x*y+x").variables()), "x y x");
    EXPECT_EQ(texts(converter_for("2+3").variables()), "");
    EXPECT_EQ(texts(converter_for("sin(ab)+2c").variables()), "ab c");
}

TEST(Postfix, KeepsTextAndTypeOfEveryTokenAndDropsParentheses) {
    const auto postfix = postfix_of("(a+b)^-(c)");
    EXPECT_EQ(testing::describe(postfix), "a:0 b:0 +:2 c:0 -:1 ^:10");
}

TEST(Postfix, ImplicitMultiplicationStaysLinearForManyProducts) {
    std::string text;
    const int products = 100'000;
    for (int i = 0; i < products; ++i) text += i == 0 ? "2x" : "+2x";
    PostfixConverter converter = converter_for(text);
    converter.insert_implicit_multiplication();
    const auto postfix = converter.to_postfix();
    EXPECT_EQ(postfix.size(), static_cast<std::size_t>(products * 3 + (products - 1)));
    EXPECT_EQ(texts({postfix.begin(), postfix.begin() + 6}), "2 x * 2 x *");
}

TEST(Postfix, HandlesAMillionNestedParentheses) {
    const std::size_t depth = 1'000'000;
    const std::string text = std::string(depth, '(') + "-x" + std::string(depth, ')');
    EXPECT_EQ(texts(postfix_of(text)), "x -u");
}

}  // namespace
}  // namespace exprkit
