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
    void init(const std::string& expression_text) { install_parse(expression_text, piece_bytes); }

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

    // Calls `visit` with every one-argument callable this object holds, once for each copy it holds: the
    // function table's entries, then the copies in its tree and in trees kept for running evaluations.
    // For a binding that reports to a garbage collector what its callables keep alive; it never walks
    // a tree.
    template <typename Visit>
    void for_each_callable(Visit&& visit) const {
        for (const auto& entry : unary_funcs) visit(entry.second);
        const auto in_tree = [&visit](const Compiled& tree) {
            for (const UnaryFunction<T>* fn : tree.program.callers_callables) visit(*fn);
        };
        if (root) in_tree(*root);
        for (const auto& kept : retired) in_tree(*kept);
    }

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

    // A text twice this long or longer that is a sum or difference of terms is parsed in pieces of about
    // this many bytes (see parse_in_pieces).
    static constexpr std::size_t piece_bytes = std::size_t{1} << 14;

    void install_parse(const std::string& expression_text, std::size_t piece_size) {
        auto tree = parse(expression_text, piece_size);
        valid_flag = tree->program.binds_every_variable;  // what is_valid() on the new tree answers
        install(std::move(tree));
    }

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

    std::unique_ptr<Compiled> parse(const std::string& expression_text, std::size_t piece_size) {
        if (expression_text.empty()) throw std::invalid_argument(messages::empty_expression);
        text = expression_text;
        Lexer lexer(text);
        check_parentheses(text);
        if (!lexer.is_valid()) throw std::invalid_argument(messages::invalid_character);
        const TreeBuilder<T> builder(binary_ops, unary_funcs, variable_table);
        std::size_t size_hint = 0;
        bool replaces = false;
        // Whatever happens from here on, the programs that may still run read the table as it is left:
        // those kept for evaluations, and the current one unless the parse replaces it and no evaluation
        // runs it.
        struct Rebind {
            Expression& owner;
            const bool& replaces;
            ~Rebind() {
                const Compiled* current = owner.root.get();
                if (current && (!replaces || current->evaluations.load(std::memory_order_acquire) > 0)) {
                    owner.root->program.bind(*owner.root->tree, owner.variable_table);
                }
                for (const auto& kept : owner.retired) kept->program.bind(*kept->tree, owner.variable_table);
            }
        } rebind{*this, replaces};
        std::unique_ptr<AstNode<T>> tree = parse_in_pieces(piece_size, builder, size_hint);
        if (!tree) {
            std::vector<Token> tokens = lexer.tokenize();
            variable_table.clear();
            const std::vector<Token> postfix = to_postfix(std::move(tokens));
            size_hint = postfix.size();
            tree = builder.build(postfix);  // the tokens go before the program is made
        }
        if (!tree) throw std::invalid_argument(messages::malformed_expression);
        auto made = compiled(std::move(tree), size_hint);
        replaces = true;
        return made;
    }

    // The converter's passes over `tokens`, adding their variable names to the table on the way.
    std::vector<Token> to_postfix(std::vector<Token> tokens) {
        PostfixConverter converter(std::move(tokens), make_precedence_table());
        converter.for_each_variable([this](const Token& name) { variable_table.try_emplace(name.text, T(0)); });
        converter.mark_unary_minus();
        converter.insert_implicit_multiplication();
        return converter.to_postfix();
    }

    // A long sum or difference of terms is parsed a piece at a time, so that the tokens of a piece stay
    // in the cache through every pass over them and no token sequence is as long as the text. Pieces end
    // at an operator of the loosest precedence outside all parentheses, right after an operand. A parse
    // of the whole text has there reduced everything before to one operand, and the operator waits alone,
    // since nothing binds more loosely and it groups from the left: so each later piece is parsed behind
    // a "0" and that operator, and the tree of everything before takes the place of the "0". The names
    // are collected piece after piece, in the order of the text. Gives nothing for a text too short to
    // cut, and when a piece fails in any way: the whole text is then parsed at once, so that every error
    // is the one a parse of the whole text reports, and leaves what it leaves.
    std::unique_ptr<AstNode<T>> parse_in_pieces(std::size_t piece_size, const TreeBuilder<T>& builder, std::size_t& size_hint) {
        const std::vector<std::size_t> cuts = cuts_of(text, piece_size);
        if (cuts.empty()) return nullptr;
        variable_table.clear();
        std::unique_ptr<AstNode<T>> tree;
        try {
            std::size_t start = 0;
            for (std::size_t piece = 0; piece <= cuts.size(); ++piece) {
                const std::size_t end = piece < cuts.size() ? cuts[piece] : text.size();
                std::string piece_text = tree ? std::string{'0', text[start - 1]} : std::string();
                piece_text.append(text, start, end - start);
                const std::vector<Token> postfix = to_postfix(Lexer(std::move(piece_text)).tokenize());
                size_hint += postfix.size();
                auto operands = builder.operands_of(postfix, std::move(tree));
                if (operands.size() != 1) return nullptr;
                tree = std::move(operands.front());
                start = end + 1;
            }
        } catch (const std::invalid_argument&) {
            return nullptr;
        } catch (const std::out_of_range&) {
            return nullptr;
        }
        return tree;
    }

    // Where parse_in_pieces cuts `all`: at the first loosest operator outside all parentheses that follows
    // an operand (a number, a name or ")") from each multiple of `piece_size` bytes on. None for a text
    // shorter than two pieces, or one holding a space, which stops the tokenizer.
    static std::vector<std::size_t> cuts_of(std::string_view all, std::size_t piece_size) {
        std::vector<std::size_t> cuts;
        if (all.size() / 2 < piece_size || all.find(' ') != std::string_view::npos) return cuts;
        std::int64_t depth = 0;
        for (std::size_t at = 1, next_cut = piece_size; at + 1 < all.size(); ++at) {
            depth += (all[at - 1] == '(') - (all[at - 1] == ')');
            const auto c = static_cast<unsigned char>(all[at]);
            const auto before = static_cast<unsigned char>(all[at - 1]);
            const detail::OperatorRow* row = detail::operator_row(c);
            if (at >= next_cut && depth == 0 && row && row->precedence == detail::loosest_precedence() &&
                (detail::is_alnum(before) || before == '.' || before == ')')) {
                cuts.push_back(at);
                next_cut = at + piece_size;
            }
        }
        return cuts;
    }

    // Only the totals count here; a ")" before its "(" is caught by the converter.
    static void check_parentheses(std::string_view expression_text) {
        std::int64_t depth = 0;
        for (const char c : expression_text) depth += (c == '(') - (c == ')');
        if (depth != 0) throw std::invalid_argument(messages::mismatched_parentheses);
    }
};

}  // namespace exprkit
