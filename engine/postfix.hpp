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
#include <unordered_map>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "name_map.hpp"
#include "token.hpp"

namespace exprkit {

using PrecedenceTable = NameMap<std::int32_t>;

// The binary operators and how tightly each binds. "*" binds tighter than "/", so 8/2*4 is 8/(2*4).
inline PrecedenceTable make_precedence_table() {
    return {{"+", 2}, {"-", 2}, {"/", 3}, {"*", 4}, {"^", 5}};
}

class PostfixConverter {
public:
    PostfixConverter(std::vector<Token> infix, PrecedenceTable table)
        : tokens(std::move(infix)), precedence(std::move(table)) {}

    // The variable names in the sequence, in order, repeats included; numbers are left out.
    std::vector<Token> variables() const {
        std::vector<Token> names;
        names.reserve(tokens.size());  // untouched capacity costs no memory; growing would copy every name again
        for_each_variable([&names](const Token& name) { names.push_back(name); });
        return names;
    }

    // Calls `visit` with each token that variables() copies, in the same order, for a caller that
    // needs no copies.
    template <typename Visit>
    void for_each_variable(Visit&& visit) const {
        for (const Token& token : tokens) {
            if (token.is_name()) visit(token);
        }
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

    // mark_unary_minus() and then insert_implicit_multiplication(), with the marking done in the walk
    // that counts the insertions: a long sequence is read once less. Each token is marked before the
    // insertion after the one before it is decided, as that decision looks at the token's type.
    PostfixConverter& mark_unary_minus_and_insert_implicit_multiplication() {
        const std::size_t count = tokens.size();
        if (count > 1) mark_unary_minus_at(0);
        std::size_t insertions = 0;
        for (std::size_t i = 0; i + 1 < count; ++i) {
            if (i + 2 < count) mark_unary_minus_at(i + 1);
            insertions += needs_product(i) ? 1 : 0;
        }
        return insert_products(insertions);
    }

    // The postfix sequence, as a new sequence; `tokens` is left as it was.
    std::vector<Token> to_postfix() & { return convert<false>(); }

    // The same sequence, written over the converter's own: the output never runs ahead of the input,
    // so a parse that is done with the infix sequence needs no second one.
    std::vector<Token> to_postfix() && { return convert<true>(); }

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
        if (token.is_binary_operator()) return detail::lookup(precedence, token.text);
        if (token.type == TokenType::Function && !token.text.empty() && token.text.front() == '-') return 6;
        return 1;
    }

    // Shunting-yard. In place, the token at `read` is moved out before anything is written, and
    // `written` never passes `read`, since every written token was read before.
    template <bool in_place>
    std::vector<Token> convert() {
        std::vector<Token> output;
        if constexpr (!in_place) output.reserve(tokens.size());
        std::size_t written = 0;
        const auto emit = [&](Token&& token) {
            if constexpr (in_place) {
                tokens[written++] = std::move(token);
            } else {
                output.push_back(std::move(token));
            }
        };
        // In place the token is moved out of the sequence; otherwise it is copied and `tokens` stays as it was.
        const auto take = [](Token& token) -> Token {
            if constexpr (in_place) {
                return std::move(token);
            } else {
                return token;
            }
        };
        const std::size_t count = tokens.size();
        for (std::size_t read = 0; read < count; ++read) {
            Token next = take(tokens[read]);
            if (next.is_open_paren()) {
                operators.push(std::move(next));
            } else if (next.is_close_paren()) {
                close_paren(emit);
            } else if (next.type == TokenType::Operand) {
                emit(std::move(next));
            } else if (next.type == TokenType::Function) {
                operators.push(std::move(next));
            } else if (next.is_binary_operator()) {
                push_operator(std::move(next), emit);
            } else {
                operators = {};
                throw std::invalid_argument(messages::unhandled_token);
            }
        }
        while (!operators.empty()) pop_operator_into(emit);
        if constexpr (in_place) {
            tokens.erase(tokens.begin() + static_cast<std::ptrdiff_t>(written), tokens.end());
            return std::move(tokens);
        } else {
            return output;
        }
    }

    template <typename Emit>
    void pop_operator_into(const Emit& emit) {
        emit(std::move(operators.top()));
        operators.pop();
    }

    template <typename Emit>
    void close_paren(const Emit& emit) {
        while (!operators.empty() && !operators.top().is_open_paren()) pop_operator_into(emit);
        if (operators.empty()) {
            throw std::invalid_argument(messages::expected_open_paren);
        }
        operators.pop();
        if (!operators.empty() && operators.top().type == TokenType::Function) pop_operator_into(emit);
    }

    // Pops operators that bind at least as tightly as the incoming one ("^" only strictly tighter,
    // being right-associative), then pushes it.
    template <typename Emit>
    void push_operator(Token&& incoming, const Emit& emit) {
        const std::int32_t incoming_precedence = precedence_of(incoming);
        while (!operators.empty() && !operators.top().is_open_paren()) {
            const std::int32_t top_precedence = precedence_of(operators.top());
            const bool pops = top_precedence > incoming_precedence ||
                              (top_precedence == incoming_precedence && !incoming.is_right_assoc());
            if (!pops) break;
            pop_operator_into(emit);
        }
        operators.push(std::move(incoming));
    }
};

}  // namespace exprkit
