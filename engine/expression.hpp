// Expression: one parsed formula: its compiled program, function table and variable table. A parse runs
// the lexer, the postfix converter and the tree builder, compiles the tree and lets it go. Errors are
// std::invalid_argument with the messages of errors.hpp (a parse's a ParseError), std::out_of_range for a
// variable without a value, and whatever a caller's callable throws. The const members may run on several
// threads at once; the others need the object to themselves. The members that parse and evaluate are in
// expression.cpp (see the end of this file).
#pragma once

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "function_tables.hpp"
#include "version.hpp"

namespace exprkit {

class Lexer;

namespace detail {

struct ExpressionAccess;  // lets the engine's own tests look at the private state
template <typename T>
struct Program;

}  // namespace detail

template <typename T>
class Expression {
    static_assert(std::is_floating_point_v<T>,
                  "exprkit::Expression<T> needs a floating-point number type T: float, double or long double");

public:
    using Values = VariableTable<T>;

    explicit Expression(const std::string& expression_text);

    // The constant 0, with the built-in tables and no variables; `text` stays empty.
    Expression();

    // An independent object with the same text, program, tables, variables and values.
    Expression(const Expression& other);

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
    Expression& operator=(const Expression& other);

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

    const Values& vars() const { return variable_table ? *variable_table : no_variables(); }

    // The names of vars(), each once, in the order the text first names them: the positions of eval_at's
    // values, and the order in which eval_with asks for them. Changes only when the variable table does.
    const std::vector<std::string>& variables() const { return variable_names; }

    // Evaluates with no variable values at all: a formula with a variable fails at the first one met.
    T eval() const { return evaluate(false); }

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
        return evaluate(true);
    }

    // eval(values) by position, looking up no name: values[i] is the value of variables()[i].
    T eval_at(const T* values);

    // eval_at at n points, results[i] the value at point i, `columns[j]` holding the values of variables()[j]:
    // as n eval_at calls in turn, with the formula held when it began (a callable that throws at point i leaves
    // results[0, i) written and point i's values stored). `threads` changes no bit. See bulk.hpp.
    void eval_columns(const T* const* columns, std::size_t n, T* results, unsigned threads = 1) {
        evaluate_bulk(columns, nullptr, 1, n, results, threads);
    }

    // eval_columns with the points as rows: point i's value of variables()[j] at rows[i * stride + j].
    void eval_rows(const T* rows, std::size_t stride, std::size_t n, T* results, unsigned threads = 1) {
        evaluate_bulk(nullptr, rows, stride, n, results, threads);
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
        if (const auto* in_program = program_callables()) {
            for (const UnaryFunction<T>& fn : *in_program) visit(fn);
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
    // Shared only with the programs bound to it, which hold what their running evaluations read (see
    // fresh_table); null in a moved-from object.
    std::shared_ptr<Values> variable_table;
    std::vector<std::string> variable_names;  // the table's names, in the order the text names them
    std::vector<T*> variable_values;          // their values in the table, in that order
    static constexpr std::size_t piece_bytes = std::size_t{1} << 9;  // a long sum's pieces: about this many bytes

    // The state of a moved-from object: invalid, without program, text or variables, with the built-in functions.
    void clear() noexcept {
        valid_flag = false;
        root.reset();
        text.clear();
        unary_funcs = FunctionTable<T>();
        variable_table.reset();
        variable_names.clear();
        variable_values.clear();
    }

    static const Values& no_variables() {
        static const Values none;
        return none;
    }

    const std::vector<UnaryFunction<T>>* program_callables() const;
    T evaluate(bool bound) const;
    void evaluate_bulk(const T* const* columns, const T* rows, std::size_t stride, std::size_t n, T* results,
                       unsigned threads);
    void fresh_table();
    void rebind_after_failure() noexcept;
    void install_parse(const std::string& expression_text, std::size_t piece_size);
    std::shared_ptr<Program> compile_in_pieces(std::size_t piece_size);
    std::shared_ptr<Program> compile(const std::vector<std::size_t>& cuts, Lexer* whole = nullptr);
    void add_variable(const std::string& name);
};

}  // namespace exprkit

// Header-only (the CMake target exprkit::engine), the members are compiled in each file that uses them.
// Compiled (exprkit::compiled, which defines EXPRKIT_COMPILED), Expression<double>'s are compiled once,
// in that target's library; a file that uses another number type then includes expression.cpp too.
#ifdef EXPRKIT_COMPILED
extern template class exprkit::Expression<double>;
#else
#include "expression.cpp"
#endif
