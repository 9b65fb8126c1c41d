// Builds a tree from a postfix token sequence with an operand stack, into the caller's arena. Throws ParseError
// with the builder's messages at the token at fault, or for "Unbalanced equation" after writing the count of
// operands left to standard output; an operator not of the language is std::out_of_range.
#pragma once

#include <charconv>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

#if __has_include(<xlocale.h>)
#include <xlocale.h>
#endif

#include "arena.hpp"
#include "errors.hpp"
#include "function_tables.hpp"
#include "nodes.hpp"
#include "token.hpp"

namespace exprkit {
namespace detail {

// A numeral's value by the C library in the "C" locale, whatever the process's: correctly rounded, infinity
// beyond T's range, 0 below its smallest subnormal.
template <typename T>
T read_number_in_c_locale(std::string_view numeral) {
    static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", locale_t{});
    const std::string terminated(numeral);
    if constexpr (std::is_same_v<T, float>) return strtof_l(terminated.c_str(), nullptr, c_locale);
    if constexpr (std::is_same_v<T, double>) return strtod_l(terminated.c_str(), nullptr, c_locale);
    return static_cast<T>(strtold_l(terminated.c_str(), nullptr, c_locale));
}

// The nearest value to the longest beginning of the form digits [ "." digits ] (1.2.3 reads as 1.2): by
// std::from_chars, or the C library where that cannot or is out of range. Both stop where that form does.
template <typename T>
T read_number(std::string_view text) {
#if defined(__cpp_lib_to_chars)
    T value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
    if (error == std::errc()) return value;
#endif
    return read_number_in_c_locale<T>(text);
}

}  // namespace detail

template <typename T>
class TreeBuilder {
public:
    using Operands = std::vector<AstNode<T>*>;

    TreeBuilder(const FunctionTable<T>& functions, const VariableTable<T>& variables)
        : unary_funcs(functions), variable_table(variables) {}

    AstNode<T>* build(const std::vector<Token>& postfix, detail::NodeArena<T>& arena) const {
        const Operands operands = operands_of(postfix, arena);
        if (operands.size() != 1) {
            std::printf("%zu", operands.size());
            std::fflush(stdout);
            throw ParseError(messages::unbalanced_equation);
        }
        return operands.front();
    }

    // The subtrees that `postfix` leaves, a well-formed sequence one. A node `in_front` stands for the
    // sequence's first token, an operand.
    Operands operands_of(const std::vector<Token>& postfix, detail::NodeArena<T>& arena,
                         AstNode<T>* in_front = nullptr) const {
        Operands operands;
        operands.reserve(postfix.size());  // untouched capacity costs no memory
        auto token = postfix.begin();
        if (in_front && token != postfix.end()) {
            operands.push_back(in_front);
            ++token;
        }
        for (; token != postfix.end(); ++token) {
            const std::string& text = token->text;
            if (token->is_name()) {
                operands.push_back(arena.template make<VariableNode<T>>(text, &variable_table));
            } else if (token->is_number()) {
                operands.push_back(arena.template make<ValueNode<T>>(detail::read_number<T>(text)));
            } else if (token->type == TokenType::Function) {
                if (operands.empty()) throw ParseError(messages::unary_argument_prefix + text + "'", token->position);
                const UnaryFunction<T>* found = unary_funcs.find(text);
                if (found == nullptr) throw ParseError(messages::unknown_function_prefix + text, token->position);
                if (const detail::Operation* builtin = unary_funcs.builtin(text)) {
                    operands.back() = arena.template make<UnaryNode<T>>(*builtin, operands.back());
                } else {
                    UnaryFunction<T> copy = *found;  // copied before the node takes its operand: see NodeArena::make
                    operands.back() = arena.template make<UnaryNode<T>>(std::move(copy), operands.back());
                }
            } else if (token->is_binary_operator()) {
                if (operands.size() < 2) {
                    throw ParseError(messages::binary_argument_prefix + text + "'", token->position);
                }
                const detail::OperatorRow* row =
                    text.size() == 1 ? detail::operator_row(static_cast<unsigned char>(text[0])) : nullptr;
                if (row == nullptr) throw std::out_of_range(messages::missing_key);
                AstNode<T>* right = operands.back();
                operands.pop_back();
                operands.back() = arena.template make<BinaryNode<T>>(row->operation, operands.back(), right);
            }
        }
        return operands;
    }

private:
    const FunctionTable<T>& unary_funcs;
    const VariableTable<T>& variable_table;
};

}  // namespace exprkit
