// Builds an expression tree from a postfix token sequence with an operand stack: a number or a name
// becomes a leaf, a function takes the operand on top, an operator the two on top. Throws the builder's
// std::invalid_argument messages; when operands are left over, it first writes their count to standard
// output. An operator missing from the operator table is std::out_of_range.
#pragma once

#include <array>
#include <charconv>
#include <clocale>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#if __has_include(<xlocale.h>)
#include <xlocale.h>
#endif

#include "errors.hpp"
#include "function_tables.hpp"
#include "nodes.hpp"
#include "token.hpp"

namespace exprkit {
namespace detail {

// The value of a numeral through the C library, in the "C" locale whatever the process's locale is:
// correctly rounded, infinity beyond the range of T and 0 below its smallest subnormal.
template <typename T>
T read_number_in_c_locale(std::string_view numeral) {
    static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", locale_t{});
    const std::string terminated(numeral);
    if constexpr (std::is_same_v<T, float>) {
        return strtof_l(terminated.c_str(), nullptr, c_locale);
    } else if constexpr (std::is_same_v<T, double>) {
        return strtod_l(terminated.c_str(), nullptr, c_locale);
    } else {
        return static_cast<T>(strtold_l(terminated.c_str(), nullptr, c_locale));
    }
}

// Reads the longest beginning of `text` of the form digits [ "." digits ] as the nearest value (1.2.3
// reads as 1.2), by std::from_chars where the standard library has it for T, and through the C library
// where it has not or where the value lies beyond the range of T.
template <typename T>
T read_number(std::string_view text) {
    std::size_t length = 0;
    while (length < text.size() && is_digit(static_cast<unsigned char>(text[length]))) ++length;
    if (length < text.size() && text[length] == '.') {
        ++length;
        while (length < text.size() && is_digit(static_cast<unsigned char>(text[length]))) ++length;
    }
    const std::string_view numeral = text.substr(0, length);
#if defined(__cpp_lib_to_chars)
    T value{};
    const auto [end, error] = std::from_chars(numeral.data(), numeral.data() + numeral.size(), value, std::chars_format::fixed);
    if (error == std::errc()) return value;
#endif
    return read_number_in_c_locale<T>(numeral);
}

}  // namespace detail

template <typename T>
class TreeBuilder {
public:
    TreeBuilder(const BinaryOperatorTable<T>& operators, const UnaryFunctionTable<T>& functions,
                const VariableTable<T>& variables)
        : binary_ops(operators), unary_funcs(functions), variable_table(variables) {}

    using Operands = std::vector<std::unique_ptr<AstNode<T>>>;

    std::unique_ptr<AstNode<T>> build(const std::vector<Token>& postfix) const {
        Operands operands = operands_of(postfix);
        if (operands.size() != 1) {
            std::cout << operands.size() << std::flush;
            throw std::invalid_argument(messages::unbalanced_equation);
        }
        return std::move(operands.front());
    }

    // The subtrees that `postfix` leaves, a well-formed sequence one. A tree `in_front` takes the place
    // of the sequence's first token, the operand that stands for it.
    Operands operands_of(const std::vector<Token>& postfix, std::unique_ptr<AstNode<T>> in_front = nullptr) const {
        Operands operands;
        operands.reserve(postfix.size());  // untouched capacity costs no memory
        auto token = postfix.begin();
        if (in_front && token != postfix.end()) {
            operands.push_back(std::move(in_front));
            ++token;
        }
        for (; token != postfix.end(); ++token) {
            if (token->is_name()) {
                operands.push_back(std::make_unique<VariableNode<T>>(token->text, &variable_table));
            } else if (token->is_number()) {
                operands.push_back(std::make_unique<ValueNode<T>>(detail::read_number<T>(token->text)));
            } else if (token->type == TokenType::Function) {
                apply_function(*token, operands);
            } else if (token->is_binary_operator()) {
                apply_operator(*token, operands);
            }
        }
        return operands;
    }

private:
    const BinaryOperatorTable<T>& binary_ops;
    const UnaryFunctionTable<T>& unary_funcs;
    const VariableTable<T>& variable_table;
    // The operators looked up so far, by their row: a long text names the same few again and again, and
    // the table does not change while a tree is built.
    mutable std::array<const BinaryFunction<T>*, detail::operator_rows.size()> operators_found{};

    const BinaryFunction<T>& operator_named(const std::string& text) const {
        const detail::OperatorRow* row = text.size() == 1 ? detail::operator_row(static_cast<unsigned char>(text[0])) : nullptr;
        if (row == nullptr) return detail::lookup(binary_ops, text);
        const BinaryFunction<T>*& found = operators_found[static_cast<std::size_t>(row - detail::operator_rows.data())];
        if (found == nullptr) found = &detail::lookup(binary_ops, text);
        return *found;
    }

    void apply_function(const Token& token, Operands& operands) const {
        if (operands.empty()) throw std::invalid_argument(messages::unary_argument_prefix + token.text + "'");
        const auto found = unary_funcs.find(token.text);
        if (found == unary_funcs.end()) throw std::invalid_argument(messages::unknown_function_prefix + token.text);
        operands.back() = std::make_unique<UnaryNode<T>>(found->second, std::move(operands.back()));
    }

    void apply_operator(const Token& token, Operands& operands) const {
        if (operands.size() < 2) throw std::invalid_argument(messages::binary_argument_prefix + token.text + "'");
        const BinaryFunction<T>& fn = operator_named(token.text);
        auto right = std::move(operands.back());
        operands.pop_back();
        operands.back() = BinaryNode<T>::make(fn, std::move(operands.back()), std::move(right));
    }
};

}  // namespace exprkit
