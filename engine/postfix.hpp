// PostfixConverter: marks unary minus and inserts implicit "*" in the lexer's tokens, then reorders them into
// postfix for the tree builder (shunting-yard, no recursion). Throws ParseError "Expected '('" and "Unhandled
// token" at the token; an operator missing from the precedence table throws std::out_of_range.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "language.hpp"
#include "token.hpp"

namespace exprkit {

// Operator text to precedence: a handful of entries, searched in order, cheaper to make than a hash map.
using PrecedenceTable = std::vector<std::pair<std::string, std::int32_t>>;

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
        for_each_variable([&names](const Token& name) { names.push_back(name); });
        return names;
    }

    // Calls `visit` with each token that variables() copies, for a caller that needs no copies.
    template <typename Visit>
    void for_each_variable(Visit&& visit) const {
        for (const Token& token : tokens) if (token.is_name()) visit(token);
    }

    // A "-" first, after "(" or after a binary operator becomes a unary minus (a Function), left to right: in
    // "--" the second minus sees a Function and stays binary. The last token is never marked.
    void mark_unary_minus() {
        for (std::size_t i = 0; i + 1 < tokens.size(); ++i) {
            Token& token = tokens[i];
            if (token.is_binary_operator() && token.text.size() == 1 && token.text[0] == '-' &&
                (i == 0 || tokens[i - 1].is_open_paren() || tokens[i - 1].is_binary_operator())) {
                token.type = TokenType::Function;
            }
        }
    }

    // Inserts "*" after a number followed by a function, a name or "(" (2x, 2sin(x), 2(x+1)): counts the
    // insertions, then moves every token to its place from the back, in place.
    PostfixConverter& insert_implicit_multiplication() {
        const std::size_t count = tokens.size();
        std::size_t write = count;
        for (std::size_t i = 0; i + 1 < count; ++i) write += tokens[i].is_number() && starts_factor(tokens[i + 1]);
        if (write == count) return *this;
        tokens.resize(write, Token("*", TokenType::Operator));  // each "*" takes the offset of the factor after it
        bool factor_follows = false;  // whether the token after `read` starts a factor, seen before it moved
        for (std::size_t read = count; read-- > 0;) {
            const bool product = factor_follows && tokens[read].is_number();
            factor_follows = starts_factor(tokens[read]);
            if (product) {
                const std::size_t factor = tokens[write].position;  // the token after `read`, moved to its place
                tokens[--write] = Token("*", TokenType::Operator, factor);
            }
            if (--write != read) tokens[write] = std::move(tokens[read]);
        }
        return *this;
    }

    // The postfix sequence, as a new one; `tokens` stays as it was.
    std::vector<Token> to_postfix() {
        std::vector<Token> output;
        std::vector<Token> operators;  // a stack, its top at the back
        output.reserve(tokens.size());
        operators.reserve(tokens.size());
        const auto pop_into_output = [&] {
            output.push_back(std::move(operators.back()));
            operators.pop_back();
        };
        for (const Token& token : tokens) {
            if (token.is_open_paren() || token.type == TokenType::Function) {
                operators.push_back(token);
            } else if (token.is_close_paren()) {
                while (!operators.empty() && !operators.back().is_open_paren()) pop_into_output();
                if (operators.empty()) throw ParseError(messages::expected_open_paren, token.position);
                operators.pop_back();
                if (!operators.empty() && operators.back().type == TokenType::Function) pop_into_output();
            } else if (token.type == TokenType::Operand) {
                output.push_back(token);
            } else if (token.is_binary_operator()) {
                // Pops what binds at least as tightly ("^", right-associative, only what binds tighter).
                const std::int32_t incoming = precedence_of(token);
                while (!operators.empty() && !operators.back().is_open_paren()) {
                    const std::int32_t top = precedence_of(operators.back());
                    if (top < incoming || (top == incoming && token.is_right_assoc())) break;
                    pop_into_output();
                }
                operators.push_back(token);
            } else {
                throw ParseError(messages::unhandled_token, token.position);
            }
        }
        while (!operators.empty()) pop_into_output();
        return output;
    }

private:
    std::vector<Token> tokens;
    PrecedenceTable precedence;

    static bool starts_factor(const Token& token) {
        return token.type == TokenType::Function || token.is_name() || token.is_open_paren();
    }

    std::int32_t precedence_of(const Token& token) const {
        if (token.type == TokenType::Function && token.text[0] == '-') return detail::unary_minus_precedence;
        if (!token.is_binary_operator()) return 1;
        for (const auto& [text, value] : precedence) {
            std::size_t same = 0;  // compared in place: a library call costs more than a byte or two
            while (same < text.size() && same < token.text.size() && text[same] == token.text[same]) ++same;
            if (same == text.size() && same == token.text.size()) return value;
        }
        throw std::out_of_range(messages::missing_key);
    }
};

}  // namespace exprkit
