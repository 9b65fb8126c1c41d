// Expression: one parsed formula: its compiled program, function table and variable table. A parse runs
// the lexer, the postfix converter and the tree builder, compiles the tree and lets it go. Errors are
// std::invalid_argument with the messages of errors.hpp, std::out_of_range for a variable without a
// value, and whatever a caller's callable throws. Threads: the const members may run on several threads
// at once; eval(values), eval_with, init, add_func and assignment need the object to themselves.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "arena.hpp"
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

}  // namespace detail

template <typename T>
class Expression {
    static_assert(std::is_floating_point_v<T>,
                  "exprkit::Expression<T> needs a floating-point number type T: float, double or long double");

public:
    using Values = VariableTable<T>;

    explicit Expression(const std::string& expression_text) { init(expression_text); }

    // The constant 0, with the built-in tables and no variables; `text` stays empty.
    Expression() : Expression(std::string(1, '0')) {
        text.clear();
        valid_flag = true;
    }

    // An independent object with the same text, program, tables, variables and values.
    Expression(const Expression& other)
        : valid_flag(other.valid_flag), text(other.text), unary_funcs(other.unary_funcs), variable_table(other.variable_table),
          variable_names(other.variable_names) {
        if (other.root) root = std::make_unique<Program>(*other.root, variable_table);
    }

    // Takes the other's program, tables, variables and text without copying (a moved table's entries stay
    // where they are, so the program still reads them); the other is left invalid, without text or variables.
    Expression(Expression&& other) noexcept
        : valid_flag(std::exchange(other.valid_flag, false)), root(std::move(other.root)), text(std::move(other.text)),
          unary_funcs(std::move(other.unary_funcs)), variable_table(std::move(other.variable_table)),
          variable_names(std::move(other.variable_names)), retired(std::move(other.retired)) {
        other.text.clear();
        other.variable_table.clear();
        other.variable_names.clear();
    }

    // Takes the other's validity and copies of its program and tables; keeps its own text and variable
    // table, which the copy reads: names it lacks join it with 0, so that it evaluates what it says is valid.
    Expression& operator=(const Expression& other) {
        if (this == &other) return *this;
        std::unique_ptr<Program> tree;
        if (other.root) {
            other.root->for_each_name([this](const std::string& name) { add_variable(name); });
            tree = std::make_unique<Program>(*other.root, variable_table);
        }
        FunctionTable<T> functions(other.unary_funcs);
        unary_funcs.swap(functions);
        valid_flag = other.valid_flag;
        install(std::move(tree));
        return *this;  // the replaced table goes last, once the object is whole
    }

    // Takes everything the other has, as the move constructor does.
    Expression& operator=(Expression&& other) {
        if (this == &other) return *this;
        text = std::move(other.text);
        unary_funcs.swap(other.unary_funcs);
        variable_table.swap(other.variable_table);
        variable_names.swap(other.variable_names);
        valid_flag = std::exchange(other.valid_flag, false);
        install(std::move(other.root));
        rebind(true);  // a program kept for its running evaluation read the table that goes now
        other.text.clear();
        other.variable_table.clear();
        other.variable_names.clear();
        return *this;
    }

    // Parses `expression_text` into this object. On an error the previous program stays; what else was
    // changed (text, variable table) stays changed.
    void init(const std::string& expression_text) { install_parse(expression_text, piece_bytes); }

    bool valid() const { return valid_flag; }

    const Values& vars() const { return variable_table; }

    // The names of vars(), each once, in the order the text first names them: the positions of eval_at's
    // values. Changes only when the variable table does (init, assignment).
    const std::vector<std::string>& variables() const { return variable_names; }

    // Evaluates with no variable values at all: a formula with a variable fails at the first one met.
    T eval() const {
        if (!valid_flag || !root) throw std::invalid_argument(messages::invalid_expression);
        return evaluate(*root, false);
    }

    // Stores each variable's value from `values` (names the expression lacks are ignored), then evaluates.
    T eval(const Values& values) {
        return eval_with([&values](const std::string& name) -> const T* {
            const auto found = values.find(name);
            return found == values.end() ? nullptr : &found->second;
        });
    }

    // eval(values) without a map: `value_of(name)` points at the value of the variable `name`, or is
    // null when there is none (which throws as eval(values) does). It is asked for each variable in the
    // table's order until one has none; what it points at is read at once.
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
        return evaluate(*root, true);
    }

    // eval(values) by position: values[i] is the value of variables()[i]. Looks up no name.
    T eval_at(const T* values) {
        return eval_with([this, values](const std::string& name) -> const T* {
            for (std::size_t i = 0; i < variable_names.size(); ++i) {
                if (variable_names[i] == name) return values + i;
            }
            return nullptr;
        });
    }

    // Inserts or replaces a function; formulas parsed before keep the callables they were compiled with.
    void add_func(const std::string& name, UnaryFunction<T> fn) { unary_funcs.add(name, std::move(fn)); }

    const UnaryFunctionTable<T>& avail_funcs() const { return unary_funcs.handed_out(); }

    // Calls `visit` with each copy of a one-argument callable that this object holds: in its own function
    // table (the shared built-in one holds none), its program and those kept for running evaluations.
    // For a binding that reports to a garbage collector what they keep alive; walks no code.
    template <typename Visit>
    void for_each_callable(Visit&& visit) const {
        if (const UnaryFunctionTable<T>* own = unary_funcs.own_entries()) {
            for (const auto& entry : *own) visit(entry.second);
        }
        const auto in_program = [&visit](const Program& program) {
            for (const UnaryFunction<T>& fn : program.unary_callables) visit(fn);
        };
        if (root) in_program(*root);
        for (const auto& kept : retired) in_program(*kept);
    }

private:
    friend struct detail::ExpressionAccess;
    using Program = detail::Program<T>;

    bool valid_flag = false;
    std::unique_ptr<Program> root;
    std::string text;
    FunctionTable<T> unary_funcs;  // the operators are the language's own, which nothing changes
    Values variable_table;
    std::vector<std::string> variable_names;  // the table's names in the order the text names them
    // Programs replaced while an evaluation was running them, kept until it ends.
    mutable std::vector<std::unique_ptr<Program>> retired;
    static constexpr std::size_t piece_bytes = std::size_t{1} << 9;  // a long sum's pieces: about this many bytes

    // Only a caller's callable can run code, and replace the program, during an evaluation: an evaluation
    // of a program that calls one counts itself in, so that a replaced program stays until it ends.
    T evaluate(const Program& program, bool bound) const {
        if (program.unary_callables.empty() && program.binary_callables.empty()) return detail::run(program, bound);
        struct Running {
            const Expression& owner;
            const Program& program;
            ~Running() {
                if (program.evaluations.fetch_sub(1, std::memory_order_acq_rel) == 1 && &program != owner.root.get()) {
                    owner.drop_retired(program);
                }
            }
        };
        program.evaluations.fetch_add(1, std::memory_order_relaxed);
        const Running running{*this, program};
        return detail::run(program, bound);
    }

    void drop_retired(const Program& program) const {
        for (auto& kept : retired) {
            if (kept.get() != &program) continue;
            auto last = std::move(kept);
            kept = std::move(retired.back());
            retired.pop_back();
            return;  // `last` goes here: destroying it may run a callable's code, which may use this object
        }
    }

    // Makes `program` the current one. The replaced one is kept while an evaluation runs it, and
    // otherwise destroyed last, when this object is whole again.
    void install(std::unique_ptr<Program> program) {
        if (root && root->evaluations.load(std::memory_order_acquire) > 0) retired.reserve(retired.size() + 1);
        std::unique_ptr<Program> replaced = std::exchange(root, std::move(program));
        if (replaced && replaced->evaluations.load(std::memory_order_acquire) > 0) retired.push_back(std::move(replaced));
    }

    // Binds the programs that may still run to the table as it is: those kept for running evaluations,
    // and the current one unless it is being `replaced` and no evaluation runs it.
    void rebind(bool replaced) noexcept {
        Program* current = root.get();
        if (current && (!replaced || current->evaluations.load(std::memory_order_acquire) > 0)) current->bind(variable_table);
        for (const auto& kept : retired) kept->bind(variable_table);
    }

    // Parses `expression_text` (a long sum in pieces of about `piece_size` bytes) and installs its program.
    void install_parse(const std::string& expression_text, std::size_t piece_size) {
        if (expression_text.empty()) throw std::invalid_argument(messages::empty_expression);
        text = expression_text;
        check_parentheses(text);
        Lexer lexer(text);
        if (!lexer.is_valid()) throw std::invalid_argument(messages::invalid_character);
        std::unique_ptr<Program> made;
        try {
            made = compile_in_pieces(piece_size);
            if (!made) made = compile({}, &lexer);
        } catch (...) {
            rebind(false);  // the table may have been refilled: the program stays, reading it
            throw;
        }
        rebind(true);
        valid_flag = made->binds_every_variable;  // whether every variable of the text has its entry
        install(std::move(made));
    }

    // A long sum cut into pieces of about `piece_size` bytes and compiled, or nothing (see compile).
    std::unique_ptr<Program> compile_in_pieces(std::size_t piece_size) {
        const std::vector<std::size_t> cuts = cuts_of(text, piece_size);
        if (cuts.empty()) return nullptr;
        try {
            return compile(cuts);
        } catch (const std::invalid_argument&) {
        } catch (const std::out_of_range&) {
        }
        return nullptr;
    }

    // Compiles the text at once (with its lexer, `whole`), or a piece at a time, cut at `cuts`, so that no
    // token sequence or tree is as long as a long text. A cut is at an operator of the loosest precedence
    // outside parentheses, right after an operand, where a parse of the whole text has reduced everything
    // before to one operand, and the operator waits alone (nothing binds more loosely, and it groups from
    // the left): so each later piece is parsed behind a "0" and that operator, and compiled after the code
    // so far, the "0" standing for its value. A piece that fails, or calls a caller's callable (which needs
    // its right operand first), gives nothing, and the whole text is parsed at once, with its own errors.
    std::unique_ptr<Program> compile(const std::vector<std::size_t>& cuts, Lexer* whole = nullptr) {
        auto made = std::make_unique<Program>();
        const TreeBuilder<T> builder(unary_funcs, variable_table);
        detail::NodeArena<T> arena;
        for (std::size_t piece = 0, start = 0; piece <= cuts.size(); ++piece) {
            const std::size_t end = piece < cuts.size() ? cuts[piece] : text.size();
            std::vector<Token> tokens = whole ? whole->tokenize()
                                      : Lexer(piece > 0 ? std::string{'0', text[start - 1]} + text.substr(start, end - start)
                                                        : text.substr(0, end)).tokenize();
            if (piece == 0) variable_table.clear(), variable_names.clear();
            const std::vector<Token> postfix = to_postfix(std::move(tokens));
            // Room for all the code, which so never moves: an instruction a token, and a byte, at most.
            if (piece == 0) made->code.reserve(cuts.empty() ? postfix.size() : text.size());
            arena.reset(postfix.size() + 1);
            AstNode<T>* placeholder = piece > 0 ? arena.template make<ValueNode<T>>(T(0)) : nullptr;
            const auto operands = cuts.empty() ? std::vector<AstNode<T>*>{builder.build(postfix, arena)}
                                               : builder.operands_of(postfix, arena, placeholder);
            if (operands.size() != 1 || (!cuts.empty() && operands.front()->calls_callers_code())) return nullptr;
            made->append(*operands.front(), variable_table, &arena, placeholder);
            start = end + 1;
        }
        made->finish();
        return made;
    }

    // The converter's passes over `tokens`, adding their variable names to the table on the way.
    std::vector<Token> to_postfix(std::vector<Token> tokens) {
        PostfixConverter converter(std::move(tokens), make_precedence_table());
        converter.for_each_variable([this](const Token& name) { add_variable(name.text); });
        converter.mark_unary_minus();
        converter.insert_implicit_multiplication();
        return converter.to_postfix();
    }

    void add_variable(const std::string& name) {
        if (variable_table.try_emplace(name, T(0)).second) variable_names.push_back(name);
    }

    // Where to cut `all`: at the first loosest operator outside parentheses after an operand (a number,
    // a name or ")") from each multiple of `piece_size` bytes on; nowhere in a text shorter than two
    // pieces, or with a space, which stops the tokenizer.
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

    // Only the totals count; a ")" before its "(" is the converter's error.
    static void check_parentheses(std::string_view expression_text) {
        std::int64_t depth = 0;
        for (const char c : expression_text) depth += (c == '(') - (c == ')');
        if (depth != 0) throw std::invalid_argument(messages::mismatched_parentheses);
    }
};

}  // namespace exprkit
