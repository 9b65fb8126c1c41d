// Expression: one parsed formula: its compiled program, function table and variable table. A parse runs
// the lexer, the postfix converter and the tree builder, compiles the tree and lets it go. Errors are
// std::invalid_argument with the messages of errors.hpp, std::out_of_range for a variable without a
// value, and whatever a caller's callable throws. Threads: the const members may run on several threads
// at once; eval(values), eval_with, init, add_func and assignment need the object to themselves.
#pragma once

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
          variable_names(other.variable_names), variable_values(values_of(variable_table, variable_names)) {
        if (other.root) root = std::make_shared<Program>(*other.root, variable_table);
    }

    ~Expression() { keep_table_for_running_program(); }

    // Takes everything the other has, without copying (a moved table's entries stay where they are, so the
    // program still reads them); the other is left as a moved-from object is (see clear()).
    Expression(Expression&& other) noexcept
        : valid_flag(other.valid_flag), root(std::move(other.root)), text(std::move(other.text)),
          unary_funcs(std::move(other.unary_funcs)), variable_table(std::move(other.variable_table)),
          variable_names(std::move(other.variable_names)), variable_values(std::move(other.variable_values)) {
        other.clear();
    }

    // Takes the other's validity and copies of its program and tables; keeps its own text and variable
    // table, which the copy reads: names it lacks join it with 0, so that it evaluates what it says is valid.
    // All or nothing: what is copied is made aside, and then takes the place of what this object had.
    Expression& operator=(const Expression& other) {
        if (this == &other) return *this;
        Values table(variable_table);
        std::vector<std::string> names(variable_names);
        if (other.root) {
            for (const std::string& name : other.root->variables) {
                if (table.try_emplace(name, T(0)).second) names.push_back(name);
            }
        }
        std::vector<T*> values = values_of(table, names);
        std::shared_ptr<Program> program = other.root ? std::make_shared<Program>(*other.root, table) : nullptr;
        FunctionTable<T> functions(other.unary_funcs);
        keep_table_for_running_program();
        variable_table.swap(table);
        variable_names.swap(names);
        variable_values.swap(values);
        unary_funcs.swap(functions);
        valid_flag = other.valid_flag;
        install(std::move(program));
        return *this;  // what was replaced goes last, once the object is whole
    }

    // Takes everything the other has, as the move constructor does.
    Expression& operator=(Expression&& other) noexcept {
        if (this == &other) return *this;
        Expression taken(std::move(other));
        swap(taken);
        return *this;  // what this object had goes with `taken`, once the object is whole
    }

    // Parses `expression_text` into this object. On an error the previous program stays; what else was
    // changed (text, variable table) stays changed.
    void init(const std::string& expression_text) { install_parse(expression_text, piece_bytes); }

    bool valid() const { return valid_flag; }

    const Values& vars() const { return variable_table; }

    // The names of vars(), each once, in the order the text first names them: the positions of eval_at's
    // values, and the order in which eval_with asks for them. Changes only when the variable table does.
    const std::vector<std::string>& variables() const { return variable_names; }

    // Evaluates with no variable values at all: a formula with a variable fails at the first one met.
    T eval() const {
        if (!valid_flag || !root) throw std::invalid_argument(messages::invalid_expression);
        return evaluate(false);
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
    // order of variables() until one has none; what it points at is read at once.
    template <typename ValueOf>
    T eval_with(const ValueOf& value_of) {
        for (std::size_t i = 0; i < variable_names.size(); ++i) {
            const T* given = value_of(variable_names[i]);
            if (given == nullptr) {
                throw std::invalid_argument(std::string(messages::unspecified_variable_prefix) + messages::missing_key);
            }
            *variable_values[i] = *given;
        }
        return evaluate_valid();
    }

    // eval(values) by position, looking up no name: values[i] is the value of variables()[i].
    T eval_at(const T* values) {
        for (std::size_t i = 0; i < variable_values.size(); ++i) *variable_values[i] = values[i];
        return evaluate_valid();
    }

    // Inserts or replaces a function; formulas parsed before keep the callables they were compiled with.
    void add_func(const std::string& name, UnaryFunction<T> fn) { unary_funcs.add(name, std::move(fn)); }

    const UnaryFunctionTable<T>& avail_funcs() const { return unary_funcs.handed_out(); }

    // Calls `visit` with each copy of a one-argument callable that this object holds: in its own function
    // table (the shared built-in one holds none) and its program. For a binding that reports to a garbage
    // collector what they keep alive; walks no code.
    template <typename Visit>
    void for_each_callable(Visit&& visit) const {
        if (const UnaryFunctionTable<T>* own = unary_funcs.own_entries()) {
            for (const auto& entry : *own) visit(entry.second);
        }
        if (root) {
            for (const UnaryFunction<T>& fn : root->unary_callables) visit(fn);
        }
    }

    void swap(Expression& other) noexcept {
        std::swap(valid_flag, other.valid_flag);
        root.swap(other.root);
        text.swap(other.text);
        unary_funcs.swap(other.unary_funcs);
        variable_table.swap(other.variable_table);
        variable_names.swap(other.variable_names);
        variable_values.swap(other.variable_values);
    }

private:
    friend struct detail::ExpressionAccess;
    using Program = detail::Program<T>;

    bool valid_flag = false;
    std::shared_ptr<Program> root;  // shared only with its running evaluations
    std::string text;
    FunctionTable<T> unary_funcs;  // the operators are the language's own, which nothing changes
    Values variable_table;
    std::vector<std::string> variable_names;  // the table's names, in the order the text names them
    std::vector<T*> variable_values;          // their values in the table, in that order
    static constexpr std::size_t piece_bytes = std::size_t{1} << 9;  // a long sum's pieces: about this many bytes

    // The state of a moved-from object: invalid, without program, text or variables, with the built-in
    // functions.
    void clear() noexcept {
        valid_flag = false;
        root.reset();
        text.clear();
        unary_funcs = FunctionTable<T>();
        variable_table.clear();
        variable_names.clear();
        variable_values.clear();
    }

    T evaluate_valid() {
        if (!valid_flag || !root) throw std::invalid_argument(messages::invalid_expression);
        return evaluate(true);
    }

    // Only a caller's callable can run code, and so replace, move or destroy the program or the variable
    // table, during an evaluation: the evaluation of a program that calls one holds the program until it
    // ends (so the program is running while it is shared), and an object that lets go of its table's
    // entries meanwhile hands them to the running program, which reads them.
    T evaluate(bool bound) const {
        if (!root->calls) return detail::evaluate(*root, bound);
        const std::shared_ptr<const Program> running = root;
        return detail::evaluate(*running, bound);
    }

    // Called before the table's entries are cleared, replaced or destroyed: a running program keeps them
    // until its evaluation ends, in place of a table it kept before, which it no longer reads (since that,
    // it has been bound to this object's table again, or it would not be running as this object's).
    void keep_table_for_running_program() noexcept {
        if (!root || root.use_count() == 1) return;
        root->kept_table.swap(variable_table);
        variable_table.clear();
    }

    // Makes `program` the current one. The replaced one goes last, when this object is whole again
    // (destroying it may run a callable's code, which may use this object), or, while an evaluation runs
    // it, when that evaluation ends.
    void install(std::shared_ptr<Program> program) noexcept {
        const std::shared_ptr<Program> replaced = std::exchange(root, std::move(program));
    }

    // Each of `names`' value in `table`.
    static std::vector<T*> values_of(Values& table, const std::vector<std::string>& names) {
        std::vector<T*> values;
        values.reserve(names.size());
        for (const std::string& name : names) values.push_back(&table.find(name)->second);
        return values;
    }

    // Parses `expression_text` (a long sum in pieces of about `piece_size` bytes) and installs its program.
    void install_parse(const std::string& expression_text, std::size_t piece_size) {
        if (expression_text.empty()) throw std::invalid_argument(messages::empty_expression);
        text = expression_text;
        check_parentheses(text);
        Lexer lexer(text);
        if (!lexer.is_valid()) throw std::invalid_argument(messages::invalid_character);
        std::shared_ptr<Program> made;
        try {
            made = compile_in_pieces(piece_size);
            if (!made) made = compile({}, &lexer);
        } catch (...) {
            if (root) root->bind(variable_table);  // the table may have been refilled: the program stays, reading it
            throw;
        }
        valid_flag = made->binds_every_variable;  // whether every variable of the text has its entry
        install(std::move(made));
    }

    // A long sum cut into pieces of about `piece_size` bytes and compiled, or nothing (see compile).
    std::shared_ptr<Program> compile_in_pieces(std::size_t piece_size) {
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
    std::shared_ptr<Program> compile(const std::vector<std::size_t>& cuts, Lexer* whole = nullptr) {
        detail::Compiler<T> compiler;
        const TreeBuilder<T> builder(unary_funcs, variable_table);
        detail::NodeArena<T> arena;
        for (std::size_t piece = 0, start = 0; piece <= cuts.size(); ++piece) {
            const std::size_t end = piece < cuts.size() ? cuts[piece] : text.size();
            std::vector<Token> tokens = whole ? whole->tokenize()
                                      : Lexer(piece > 0 ? std::string{'0', text[start - 1]} + text.substr(start, end - start)
                                                        : text.substr(0, end)).tokenize();
            if (piece == 0) {
                keep_table_for_running_program();
                variable_table.clear();
                variable_names.clear();
                variable_values.clear();
            }
            const std::vector<Token> postfix = to_postfix(std::move(tokens));
            // Room for all the code, which so never moves: an instruction a token, and a byte, at most.
            if (piece == 0) compiler.made->code.reserve(cuts.empty() ? postfix.size() : text.size());
            arena.reset(postfix.size() + 1);
            AstNode<T>* placeholder = piece > 0 ? arena.template make<ValueNode<T>>(T(0)) : nullptr;
            const auto operands = cuts.empty() ? std::vector<AstNode<T>*>{builder.build(postfix, arena)}
                                               : builder.operands_of(postfix, arena, placeholder);
            if (operands.size() != 1 || (!cuts.empty() && operands.front()->calls_callers_code())) return nullptr;
            compiler.append(*operands.front(), &arena, placeholder);
            start = end + 1;
        }
        return compiler.finish(variable_table);
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
        const auto [entry, added] = variable_table.try_emplace(name, T(0));
        if (!added) return;
        try {
            variable_names.push_back(name);
            variable_values.push_back(&entry->second);
        } catch (...) {  // out of memory: the table, its names and their values stay alike
            variable_names.resize(variable_values.size());
            variable_table.erase(entry);
            throw;
        }
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
