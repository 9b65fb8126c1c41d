// Expression: one parsed formula with its tree, its compiled program, its operator and function tables
// and its variable table. Takes an expression text; a parse runs the lexer, the postfix converter and the
// tree builder, and compiles the tree. Parse and evaluation errors are std::invalid_argument with the
// messages of errors.hpp; a variable without a value is std::out_of_range; callables' own exceptions
// pass through unchanged.
//
// Threads: eval() is const and may run on several threads at once; eval(values), init, add_func and
// assignment need the object to themselves.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "evaluation.hpp"
#include "function_tables.hpp"
#include "lexer.hpp"
#include "nodes.hpp"
#include "postfix.hpp"
#include "program.hpp"
#include "token.hpp"
#include "tree_builder.hpp"
#include "version.hpp"

namespace exprkit {
namespace detail {

struct ExpressionAccess;  // lets the engine's own tests look at the private state

// A tree with the program compiled from it, and how many evaluations are running it.
template <typename T>
struct CompiledTree {
    std::unique_ptr<AstNode<T>> tree;
    Program<T> program;
    std::atomic<std::size_t> evaluations{0};

    CompiledTree(std::unique_ptr<AstNode<T>> root, const VariableTable<T>& table, std::size_t size_hint = 0)
        : tree(std::move(root)), program(*tree, table, size_hint) {}
};

}  // namespace detail

template <typename T>
class Expression {
public:
    using Values = VariableTable<T>;

    explicit Expression(const std::string& expression_text)
        : binary_ops(builtin_binary_ops<T>()), unary_funcs(builtin_unary_funcs<T>()) {
        init(expression_text);
    }

    // The constant 0, with the built-in tables and no variables; `text` stays empty.
    Expression() {
        *this = Expression("0");
        valid_flag = true;
    }

    Expression(const Expression&) = delete;

    // Takes the other's validity, a deep copy of its tree and copies of its tables. Keeps its own text
    // and variable table, which the copied tree reads.
    Expression& operator=(const Expression& other) {
        auto tree = other.root ? compiled(detail::TreeWalk<T>::clone(*other.root->tree, &variable_table)) : nullptr;
        BinaryOperatorTable<T> operators;
        UnaryFunctionTable<T> functions;
        if (this != &other) {
            operators = other.binary_ops;
            functions = other.unary_funcs;
            binary_ops.swap(operators);
            unary_funcs.swap(functions);
        }
        valid_flag = other.valid_flag;
        install(std::move(tree));
        return *this;  // the replaced tables go last, once the object is whole
    }

    // Parses `expression_text` into this object. On an error the previous tree stays in place; what else
    // was already changed (text, variable table) stays changed.
    void init(const std::string& expression_text) {
        auto tree = parse(expression_text);
        valid_flag = tree->program.binds_every_variable;  // what is_valid() on the new tree answers
        install(std::move(tree));
    }

    bool valid() const { return valid_flag; }

    const Values& vars() const { return variable_table; }

    // Evaluates with no variable values at all: a tree with a variable fails at the first one met.
    T eval() const {
        if (!valid_flag || !root) throw std::invalid_argument(messages::invalid_expression);
        return evaluate<false>(*root);
    }

    // Stores each variable's value from `values` (names the expression lacks are ignored), then evaluates.
    T eval(const Values& values) {
        return eval_with([&values](const std::string& name) -> const T* {
            const auto found = values.find(name);
            return found == values.end() ? nullptr : &found->second;
        });
    }

    // eval(values) with the values that `value_of(name)` points at (null: none given), asked for each
    // variable in the table's iteration order until one has none.
    template <typename ValueOf>
    T eval_with(const ValueOf& value_of) {
        for (auto& [name, value] : variable_table) {
            const T* given = value_of(name);
            if (given == nullptr) {
                throw std::invalid_argument(std::string(messages::unspecified_variable_prefix) + messages::missing_key);
            }
            value = *given;
        }
        if (!valid_flag || !root) throw std::invalid_argument(messages::invalid_expression);
        return evaluate<true>(*root);
    }

    // Inserts or replaces a function; trees built before keep the callables they copied.
    void add_func(const std::string& name, UnaryFunction<T> fn) {
        auto [entry, inserted] = unary_funcs.try_emplace(name);
        std::swap(entry->second, fn);  // a replaced callable goes when the table is whole again
    }

    const UnaryFunctionTable<T>& avail_funcs() const { return unary_funcs; }

private:
    friend struct detail::ExpressionAccess;
    using Compiled = detail::CompiledTree<T>;

    bool valid_flag = false;
    std::unique_ptr<Compiled> root;
    std::string text;
    BinaryOperatorTable<T> binary_ops;
    UnaryFunctionTable<T> unary_funcs;
    Values variable_table;
    // Trees replaced while an evaluation was running them, kept until it ends.
    mutable std::vector<std::unique_ptr<Compiled>> retired;

    std::unique_ptr<Compiled> compiled(std::unique_ptr<AstNode<T>> tree, std::size_t size_hint = 0) const {
        return std::make_unique<Compiled>(std::move(tree), variable_table, size_hint);
    }

    // Only a caller's callable can run code during an evaluation, and so replace the tree that is being
    // evaluated; an evaluation of a program that calls one counts itself in, so that a replaced tree is
    // kept until the evaluations running it are over.
    template <bool bound>
    T evaluate(Compiled& tree) const {
        if (!tree.program.calls_callers_code) return detail::run<bound>(tree.program);
        struct Running {
            const Expression& owner;
            Compiled& tree;
            ~Running() {
                if (tree.evaluations.fetch_sub(1, std::memory_order_acq_rel) == 1 && &tree != owner.root.get()) {
                    owner.drop_retired(tree);
                }
            }
        };
        tree.evaluations.fetch_add(1, std::memory_order_relaxed);
        const Running running{*this, tree};
        return detail::run<bound>(tree.program);
    }

    void drop_retired(const Compiled& tree) const {
        for (auto& kept : retired) {
            if (kept.get() != &tree) continue;
            auto last = std::move(kept);
            kept = std::move(retired.back());
            retired.pop_back();
            return;  // `last` goes here: destroying it may run a callable's code, which may use this object
        }
    }

    // Makes `tree` the current one. The replaced tree is kept while an evaluation runs it, and otherwise
    // destroyed last, when this object is whole again.
    void install(std::unique_ptr<Compiled> tree) {
        if (root && root->evaluations.load(std::memory_order_acquire) > 0) retired.reserve(retired.size() + 1);
        std::unique_ptr<Compiled> replaced = std::exchange(root, std::move(tree));
        if (replaced && replaced->evaluations.load(std::memory_order_acquire) > 0) retired.push_back(std::move(replaced));
    }

    std::unique_ptr<Compiled> parse(const std::string& expression_text) {
        if (expression_text.empty()) throw std::invalid_argument(messages::empty_expression);
        text = expression_text;
        Lexer lexer(text);
        check_parentheses(text);
        if (!lexer.is_valid()) throw std::invalid_argument(messages::invalid_character);
        std::size_t size_hint = 0;
        std::unique_ptr<AstNode<T>> tree = [&] {  // the tokens go before the program is made
            const std::vector<Token> postfix = [&] {
                PostfixConverter converter(lexer.tokenize(), make_precedence_table());
                collect_variables(converter);
                converter.mark_unary_minus();
                converter.insert_implicit_multiplication();
                return converter.to_postfix();
            }();
            size_hint = postfix.size();
            return TreeBuilder<T>(binary_ops, unary_funcs, variable_table).build(postfix);
        }();
        if (!tree) throw std::invalid_argument(messages::malformed_expression);
        return compiled(std::move(tree), size_hint);
    }

    // Refills the variable table with the text's names, each with the value 0. The programs that may
    // still run read the refilled table from now on: the current one, which stays if the parse fails,
    // and those kept for evaluations running them.
    void collect_variables(const PostfixConverter& converter) {
        variable_table.clear();
        converter.for_each_variable([this](const Token& name) { variable_table.try_emplace(name.text, T(0)); });
        if (root) root->program.bind(*root->tree, variable_table);
        for (const auto& kept : retired) kept->program.bind(*kept->tree, variable_table);
    }

    // Only the totals count here; a ")" before its "(" is caught by the converter.
    static void check_parentheses(std::string_view expression_text) {
        std::int64_t depth = 0;
        for (const char c : expression_text) depth += (c == '(') - (c == ')');
        if (depth != 0) throw std::invalid_argument(messages::mismatched_parentheses);
    }
};

}  // namespace exprkit
