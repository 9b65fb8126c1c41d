// Expression: one parsed formula with its tree, its operator and function tables and its variable table.
// Takes an expression text; parse runs the lexer and the postfix converter and builds the tree.
// Parse errors and evaluation errors are std::invalid_argument with the messages of errors.hpp;
// a variable without a value is std::out_of_range; callables' own exceptions pass through unchanged.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <iostream>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "function_tables.hpp"
#include "lexer.hpp"
#include "nodes.hpp"
#include "postfix.hpp"
#include "token.hpp"

namespace exprkit {

namespace detail {

struct ExpressionAccess;  // lets the engine's own tests look at the private state

// Reads the longest beginning of `text` of the form digits [ "." digits ] as the nearest value, without
// regard to the locale. The rest is ignored (1.2.3 reads as 1.2). Beyond the range of T the value is
// infinity; below the smallest subnormal it is 0.
template <typename T>
T read_number(std::string_view text) {
    T value{};
    const char* begin = text.data();
    const char* end = begin + text.size();
    const auto [stop, error] = std::from_chars(begin, end, value, std::chars_format::fixed);
    if (error == std::errc::result_out_of_range) {
        const std::string_view numeral(begin, static_cast<std::size_t>(stop - begin));
        const std::string_view whole_part = numeral.substr(0, numeral.find('.'));
        const bool overflow = whole_part.find_first_not_of('0') != std::string_view::npos;
        return overflow ? std::numeric_limits<T>::infinity() : T(0);
    }
    return value;
}

}  // namespace detail

template <typename T>
class Expression {
public:
    using Values = VariableTable<T>;

    explicit Expression(const std::string& expression_text) {
        fill_binary_ops(binary_ops);
        fill_unary_funcs(unary_funcs);
        init(expression_text);
    }

    // The constant 0, with the built-in tables and no variables; `text` stays empty.
    Expression() {
        *this = Expression("0");
        valid_flag = true;
    }

    // Takes the other's validity, a deep copy of its tree and copies of its tables; keeps its own text
    // and variable table.
    Expression& operator=(const Expression& other) {
        valid_flag = other.valid_flag;
        install(other.root ? other.root->clone() : nullptr);
        if (this != &other) {
            binary_ops = other.binary_ops;
            unary_funcs = other.unary_funcs;
        }
        return *this;
    }

    Expression(const Expression&) = delete;

    // Parses `expression_text` into this object. On an error the previous tree stays in place; what else
    // was already changed (text, variable table) stays changed.
    void init(const std::string& expression_text) { valid_flag = parse(expression_text); }

    bool valid() const { return valid_flag; }

    const Values& vars() const { return variable_table; }

    // Evaluates with no variable values at all: a tree with a variable fails at its lookup.
    T eval() const {
        if (!valid_flag || !root) throw std::invalid_argument(messages::invalid_expression);
        const EvaluationScope scope(*this);
        const Values no_values;
        return root->evaluate(no_values);
    }

    // Stores each variable's value from `values` (names the expression lacks are ignored), then evaluates.
    T eval(const Values& values) {
        for (auto& [name, value] : variable_table) {
            const T* given = detail::find_name(values, name);
            if (given == nullptr) {
                throw std::invalid_argument(std::string(messages::unspecified_variable_prefix) + messages::missing_key);
            }
            value = *given;
        }
        if (!valid_flag || !root) throw std::invalid_argument(messages::invalid_expression);
        const EvaluationScope scope(*this);
        return root->evaluate();
    }

    // Inserts or replaces a function; trees built before keep the callables they copied.
    void add_func(const std::string& name, UnaryFunction<T> fn) { unary_funcs.insert_or_assign(name, std::move(fn)); }

    const UnaryFunctionTable<T>& avail_funcs() const { return unary_funcs; }

private:
    friend struct detail::ExpressionAccess;

    bool valid_flag = false;
    std::unique_ptr<AstNode<T>> root;
    std::string text;
    BinaryOperatorTable<T> binary_ops;
    UnaryFunctionTable<T> unary_funcs;
    Values variable_table;

    // A callable may re-parse or reassign this object while its tree is being evaluated. The tree it
    // replaces is then kept here until the outermost evaluation has finished with it.
    mutable std::size_t evaluations_in_progress = 0;
    mutable std::vector<std::unique_ptr<AstNode<T>>> retired_trees;

    class EvaluationScope {
    public:
        explicit EvaluationScope(const Expression& evaluated) : owner(evaluated) { ++owner.evaluations_in_progress; }
        ~EvaluationScope() {
            if (--owner.evaluations_in_progress == 0) owner.retired_trees.clear();
        }
        EvaluationScope(const EvaluationScope&) = delete;
        EvaluationScope& operator=(const EvaluationScope&) = delete;

    private:
        const Expression& owner;
    };

    // Installs a new tree; the old one is destroyed now, or retired while an evaluation still walks it.
    void install(std::unique_ptr<AstNode<T>> tree) {
        if (evaluations_in_progress > 0 && root) retired_trees.push_back(std::move(root));
        root = std::move(tree);
    }

    // Returns whether every variable of the new tree has an entry in the variable table: what the tree's
    // is_valid() would answer, found while building so that a large tree is not walked once more.
    bool parse(const std::string& expression_text) {
        if (expression_text.empty()) throw std::invalid_argument(messages::empty_expression);
        text = expression_text;
        Lexer lexer(text);
        check_parentheses(text);
        if (!lexer.is_valid()) throw std::invalid_argument(messages::invalid_character);
        PrecedenceTable precedence = make_precedence_table();
        std::vector<Token> tokens = lexer.tokenize();
        PostfixConverter converter(std::move(tokens), std::move(precedence));
        collect_variables(converter.variables());
        converter.mark_unary_minus();
        converter.insert_implicit_multiplication();
        const std::vector<Token> postfix = std::move(converter).to_postfix();
        bool bound = true;
        install(build_tree(postfix, bound));
        if (!root) throw std::invalid_argument(messages::malformed_expression);
        return bound;
    }

    // Only the totals count here; a ")" before its "(" is caught by the converter.
    static void check_parentheses(std::string_view expression_text) {
        std::int64_t depth = 0;
        for (const char c : expression_text) {
            if (c == '(') ++depth;
            if (c == ')') --depth;
        }
        if (depth != 0) throw std::invalid_argument(messages::mismatched_parentheses);
    }

    void collect_variables(const std::vector<Token>& names) {
        variable_table.clear();
        for (const Token& name : names) variable_table.try_emplace(name.text, T(0));
    }

    std::unique_ptr<AstNode<T>> build_tree(const std::vector<Token>& postfix, bool& bound) const {
        std::vector<std::unique_ptr<AstNode<T>>> operands;
        for (const Token& token : postfix) {
            if (token.type == TokenType::Operand && detail::is_name_text(token.text)) {
                bound = bound && detail::find_name(variable_table, token.text) != nullptr;
                operands.push_back(std::make_unique<VariableNode<T>>(token.text, &variable_table));
            } else if (token.type == TokenType::Operand && detail::is_number_text(token.text)) {
                operands.push_back(std::make_unique<ValueNode<T>>(detail::read_number<T>(token.text)));
            } else if (token.type == TokenType::Function) {
                apply_function(token, operands);
            } else if (token.is_binary_operator()) {
                apply_operator(token, operands);
            }
        }
        if (operands.size() != 1) {
            std::cout << operands.size() << std::flush;
            throw std::invalid_argument(messages::unbalanced_equation);
        }
        return std::move(operands.front());
    }

    void apply_function(const Token& token, std::vector<std::unique_ptr<AstNode<T>>>& operands) const {
        if (operands.empty()) {
            throw std::invalid_argument(std::string(messages::unary_argument_prefix) + token.text + "'");
        }
        const auto found = unary_funcs.find(token.text);
        if (found == unary_funcs.end()) {
            throw std::invalid_argument(std::string(messages::unknown_function_prefix) + token.text);
        }
        auto operand = std::move(operands.back());
        operands.back() = std::make_unique<UnaryNode<T>>(found->second, std::move(operand));
    }

    void apply_operator(const Token& token, std::vector<std::unique_ptr<AstNode<T>>>& operands) const {
        if (operands.size() < 2) {
            throw std::invalid_argument(std::string(messages::binary_argument_prefix) + token.text + "'");
        }
        const BinaryFunction<T>& fn = detail::lookup(binary_ops, token.text);
        auto right = std::move(operands.back());
        operands.pop_back();
        auto left = std::move(operands.back());
        operands.back().reset(new (*left) BinaryNode<T>(fn, std::move(left), std::move(right)));
    }
};

}  // namespace exprkit
