// PostfixConverter: rewrites a token sequence for unary minus and implicit multiplication and reorders it
// from infix to postfix by precedence and associativity (shunting-yard, no recursion).
// Takes the lexer's tokens and the precedence table; hands on the postfix sequence to the tree builder.
// Throws std::invalid_argument "Expected '('" and "Unhandled token"; an operator missing from the
// precedence table throws std::out_of_range.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stack>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "language.hpp"
#include "token.hpp"

namespace exprkit {

// Operator text to precedence. A handful of entries, searched in order: a list costs a parse less to
// make than a hash map.
using PrecedenceTable = std::vector<std::pair<std::string, std::int32_t>>;

// The binary operators and how tightly each binds, from the rows of the language.
inline PrecedenceTable make_precedence_table() {
    PrecedenceTable table;
    table.reserve(detail::operator_rows.size());
    for (const auto& row : detail::operator_rows) table.emplace_back(std::string(1, row.symbol), row.precedence);
    return table;
}

class PostfixConverter {
public:
    PostfixConverter(std::vector<Token> infix, PrecedenceTable table)
        : tokens(std::move(infix)), precedence(std::move(table)) {}

    // The variable names in the sequence, in order, repeats included; numbers are left out.
    std::vector<Token> variables() const {
        std::vector<Token> names;
        names.reserve(tokens.size());  // untouched capacity costs no memory; growing would copy every name again
        for (const Token& token : tokens) {
            if (token.is_name()) names.push_back(token);
        }
        return names;
    }

    // A "-" that starts the sequence or follows "(" or a binary operator becomes a unary minus (type
    // Function). Works left to right in place, so in "--" the second minus sees a Function and stays
    // binary. The last token is never marked.
    void mark_unary_minus() {
        for (std::size_t i = 0; i + 1 < tokens.size(); ++i) mark_unary_minus_at(i);
    }

    // Inserts "*" after a number that is followed by a function, a name or "(": 2x, 2sin(x), 2(x+1).
    // Counts the insertions first and then moves every token to its final place from the back, so the
    // work stays linear and needs no second sequence.
    PostfixConverter& insert_implicit_multiplication() {
        std::size_t insertions = 0;
        for (std::size_t i = 0; i + 1 < tokens.size(); ++i) insertions += needs_product(i) ? 1 : 0;
        return insert_products(insertions);
    }

    // The postfix sequence, as a new sequence; `tokens` is left as it was. Shunting-yard: operands go
    // to the output, operators wait on the stack until one that binds no tighter arrives.
    std::vector<Token> to_postfix() {
        std::vector<Token> output;
        output.reserve(tokens.size());
        std::vector<Token> waiting;
        waiting.reserve(tokens.size());
        operators = decltype(operators)(std::move(waiting));
        for (const Token& token : tokens) {
            if (token.is_open_paren() || token.type == TokenType::Function) {
                operators.push(token);
            } else if (token.is_close_paren()) {
                close_paren(output);
            } else if (token.type == TokenType::Operand) {
                output.push_back(token);
            } else if (token.is_binary_operator()) {
                push_operator(token, output);
            } else {
                operators = {};
                throw std::invalid_argument(messages::unhandled_token);
            }
        }
        while (!operators.empty()) pop_operator_into(output);
        return output;
    }

private:
    std::vector<Token> tokens;
    std::stack<Token, std::vector<Token>> operators;  // empty outside to_postfix
    PrecedenceTable precedence;

    void mark_unary_minus_at(std::size_t i) {
        Token& token = tokens[i];
        if (!token.is_binary_operator() || !token.is_text('-')) return;
        if (i == 0 || tokens[i - 1].is_open_paren() || tokens[i - 1].is_binary_operator()) {
            token.type = TokenType::Function;
        }
    }

    // Makes room for `insertions` products and moves every token to its place, from the back.
    PostfixConverter& insert_products(std::size_t insertions) {
        const std::size_t count = tokens.size();
        if (insertions == 0) return *this;
        tokens.resize(count + insertions, Token("*", TokenType::Operator));
        std::size_t write = count + insertions;
        bool factor_follows = false;  // classifies the token after `read` before it was moved away
        for (std::size_t read = count; read-- > 0;) {
            const bool product = factor_follows && tokens[read].is_number();
            factor_follows = starts_factor(tokens[read]);
            if (product) tokens[--write] = Token("*", TokenType::Operator);
            if (--write != read) tokens[write] = std::move(tokens[read]);
        }
        return *this;
    }

    static bool starts_factor(const Token& token) {
        return token.type == TokenType::Function || token.is_name() || token.is_open_paren();
    }

    // Whether the token at `i` is a number followed by something it multiplies implicitly.
    bool needs_product(std::size_t i) const { return tokens[i].is_number() && starts_factor(tokens[i + 1]); }

    std::int32_t precedence_of(const Token& token) const {
        if (token.is_binary_operator()) {
            for (const auto& [text, value] : precedence) {
                if (detail::same_text(text, token.text)) return value;
            }
            throw std::out_of_range(messages::missing_key);
        }
        if (token.type == TokenType::Function && !token.text.empty() && token.text.front() == '-') {
            return detail::unary_minus_precedence;
        }
        return 1;
    }

    void pop_operator_into(std::vector<Token>& output) {
        output.push_back(std::move(operators.top()));
        operators.pop();
    }

    void close_paren(std::vector<Token>& output) {
        while (!operators.empty() && !operators.top().is_open_paren()) pop_operator_into(output);
        if (operators.empty()) throw std::invalid_argument(messages::expected_open_paren);
        operators.pop();
        if (!operators.empty() && operators.top().type == TokenType::Function) pop_operator_into(output);
    }

    // Pops operators that bind at least as tightly as the incoming one ("^" only strictly tighter,
    // being right-associative), then pushes it.
    void push_operator(const Token& incoming, std::vector<Token>& output) {
        const std::int32_t incoming_precedence = precedence_of(incoming);
        while (!operators.empty() && !operators.top().is_open_paren()) {
            const std::int32_t top_precedence = precedence_of(operators.top());
            const bool pops = top_precedence > incoming_precedence ||
                              (top_precedence == incoming_precedence && !incoming.is_right_assoc());
            if (!pops) break;
            pop_operator_into(output);
        }
        operators.push(incoming);
    }
};

}  // namespace exprkit
