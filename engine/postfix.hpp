// PostfixConverter: rewrites a token sequence for unary minus and implicit multiplication and reorders it
// from infix to postfix by precedence and associativity (shunting-yard, no recursion).
// Takes the lexer's tokens and the precedence table; hands on the postfix sequence to the tree builder.
// Throws std::invalid_argument "Expected '('" and "Unhandled token"; an operator missing from the
// precedence table throws std::out_of_range.
#pragma once

#include <cstdint>
#include <stack>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "token.hpp"

namespace exprkit {

using PrecedenceTable = std::unordered_map<std::string, std::int32_t>;

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
        for (const Token& token : tokens) {
            if (token.is_name()) names.push_back(token);
        }
        return names;
    }

    // A "-" that starts the sequence or follows "(" or a binary operator becomes a unary minus (type
    // Function). Works left to right in place, so in "--" the second minus sees a Function and stays
    // binary. The last token is never marked.
    void mark_unary_minus() {
        for (std::size_t i = 0; i + 1 < tokens.size(); ++i) {
            Token& token = tokens[i];
            if (!token.is_binary_operator() || token.text != "-") continue;
            if (i == 0 || tokens[i - 1].is_open_paren() || tokens[i - 1].is_binary_operator()) {
                token.type = TokenType::Function;
            }
        }
    }

    // Inserts "*" after a number that is followed by a function, a name or "(": 2x, 2sin(x), 2(x+1).
    // Builds the new sequence in one pass, so the work stays linear in the number of tokens.
    PostfixConverter& insert_implicit_multiplication() {
        std::vector<Token> result;
        result.reserve(tokens.size() + tokens.size() / 2);
        for (std::size_t i = 0; i < tokens.size(); ++i) {
            result.push_back(std::move(tokens[i]));
            if (i + 1 < tokens.size() && result.back().is_number() && starts_factor(tokens[i + 1])) {
                result.emplace_back("*", TokenType::Operator);
            }
        }
        tokens = std::move(result);
        return *this;
    }

    std::vector<Token> to_postfix() {
        std::vector<Token> output;
        output.reserve(tokens.size());
        for (auto it = tokens.rbegin(); it != tokens.rend(); ++it) input.push(*it);
        while (!input.empty()) {
            const Token& next = input.top();
            if (next.is_open_paren()) {
                operators.push(next);
            } else if (next.is_close_paren()) {
                close_paren(output);
            } else if (next.type == TokenType::Operand) {
                output.push_back(next);
            } else if (next.type == TokenType::Function) {
                operators.push(next);
            } else if (next.is_binary_operator()) {
                push_operator(output);
            } else {
                clear_stacks();
                throw std::invalid_argument(messages::unhandled_token);
            }
            input.pop();
        }
        while (!operators.empty()) pop_operator_into(output);
        return output;
    }

private:
    std::vector<Token> tokens;
    std::stack<Token, std::vector<Token>> operators;
    std::stack<Token, std::vector<Token>> input;
    PrecedenceTable precedence;

    static bool starts_factor(const Token& token) {
        return token.type == TokenType::Function || token.is_name() || token.is_open_paren();
    }

    std::int32_t precedence_of(const Token& token) const {
        if (token.is_binary_operator()) return detail::lookup(precedence, token.text);
        if (token.type == TokenType::Function && !token.text.empty() && token.text.front() == '-') return 6;
        return 1;
    }

    void pop_operator_into(std::vector<Token>& output) {
        output.push_back(std::move(operators.top()));
        operators.pop();
    }

    void clear_stacks() {
        operators = {};
        input = {};
    }

    void close_paren(std::vector<Token>& output) {
        while (!operators.empty() && !operators.top().is_open_paren()) pop_operator_into(output);
        if (operators.empty()) {
            clear_stacks();
            throw std::invalid_argument(messages::expected_open_paren);
        }
        operators.pop();
        if (!operators.empty() && operators.top().type == TokenType::Function) pop_operator_into(output);
    }

    // Pops operators that bind at least as tightly as the incoming one ("^" only strictly tighter,
    // being right-associative), then pushes it.
    void push_operator(std::vector<Token>& output) {
        const Token& incoming = input.top();
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
