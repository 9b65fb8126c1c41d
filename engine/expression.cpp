// The members of Expression that parse and evaluate (expression.hpp has the class). Header-only,
// expression.hpp includes this file; in the compiled mode the CMake target exprkit::compiled compiles it
// once, with EXPRKIT_COMPILING defined, which instantiates Expression<double>'s members here.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "arena.hpp"
#include "bulk.hpp"
#include "compiler.hpp"
#include "errors.hpp"
#include "evaluation.hpp"
#include "expression.hpp"
#include "function_tables.hpp"
#include "lexer.hpp"
#include "nodes.hpp"
#include "postfix.hpp"
#include "program.hpp"
#include "token.hpp"
#include "tree_builder.hpp"

namespace exprkit {
namespace detail {

// Where to cut `all`: at the first loosest operator outside parentheses after an operand (a number, a
// name or ")") from each multiple of `piece_size` bytes on; nowhere in a text shorter than two pieces, or
// with a space, which stops the tokenizer.
inline std::vector<std::size_t> cuts_of(std::string_view all, std::size_t piece_size) {
    std::vector<std::size_t> cuts;
    if (all.size() / 2 < piece_size || all.find(' ') != std::string_view::npos) return cuts;
    std::int64_t depth = 0;
    for (std::size_t at = 1, next_cut = piece_size; at + 1 < all.size(); ++at) {
        depth += (all[at - 1] == '(') - (all[at - 1] == ')');
        const auto before = static_cast<unsigned char>(all[at - 1]);
        const OperatorRow* row = operator_row(static_cast<unsigned char>(all[at]));
        if (at >= next_cut && depth == 0 && row && row->precedence == loosest_precedence() &&
            (is_alnum(before) || before == '.' || before == ')')) {
            cuts.push_back(at);
            next_cut = at + piece_size;
        }
    }
    return cuts;
}

// Only the totals count; a ")" before its "(" is the converter's error. The position of the error: with
// more ")", the first that closes nothing; with more "(", the last that nothing closes.
inline void check_parentheses(std::string_view all) {
    std::int64_t depth = 0;
    for (const char c : all) depth += (c == '(') - (c == ')');
    if (depth == 0) return;
    const bool closes = depth < 0;
    std::size_t at = closes ? 0 : all.size() - 1;
    for (depth = 0;; closes ? ++at : --at) {
        depth += (all[at] == (closes ? ')' : '(')) - (all[at] == (closes ? '(' : ')'));
        if (depth > 0) throw ParseError(messages::mismatched_parentheses, at);
    }
}

// The converter's passes over `tokens`; `add_variable` is called with each variable name on the way.
template <typename AddVariable>
std::vector<Token> to_postfix(std::vector<Token> tokens, AddVariable&& add_variable) {
    PostfixConverter converter(std::move(tokens), make_precedence_table());
    converter.for_each_variable([&add_variable](const Token& name) { add_variable(name.text); });
    converter.mark_unary_minus();
    converter.insert_implicit_multiplication();
    return converter.to_postfix();
}

}  // namespace detail

template <typename T>
Expression<T>::Expression(const std::string& expression_text) {
    init(expression_text);
}

template <typename T>
Expression<T>::Expression() : Expression(std::string(1, '0')) {
    text.clear();
    valid_flag = true;
}

template <typename T>
Expression<T>::Expression(const Expression& other)
    : valid_flag(other.valid_flag), text(other.text), unary_funcs(other.unary_funcs),
      variable_names(other.variable_names) {
    if (other.variable_table) variable_table = std::make_shared<Values>(*other.variable_table);
    for (const std::string& name : variable_names) variable_values.push_back(&variable_table->find(name)->second);
    if (other.root) root = std::make_shared<Program>(*other.root, variable_table, variable_values);
}

template <typename T>
Expression<T>& Expression<T>::operator=(const Expression& other) {
    if (this == &other) return *this;
    Expression copy(*this);  // this object's text, table and values, with the other's program and functions
    copy.valid_flag = other.valid_flag;
    copy.unary_funcs = other.unary_funcs;
    if (other.root) {
        if (!copy.variable_table) copy.variable_table = std::make_shared<Values>();
        for (const auto& variable : other.root->variables) copy.add_variable(variable.name);
        copy.root = std::make_shared<Program>(*other.root, copy.variable_table, copy.variable_values);
    } else {
        copy.root.reset();
    }
    swap(copy);
    return *this;  // what was replaced goes last, with `copy`, once the object is whole
}

template <typename T>
const std::vector<UnaryFunction<T>>* Expression<T>::program_callables() const {
    return root ? &root->unary_callables : nullptr;
}

// Evaluates with the values stored in the table (`bound`) or none. Only a caller's callable can run code,
// and so replace, move or destroy the program or the variable table, during an evaluation: the evaluation
// of a program that calls one holds the program until it ends, and the program holds the table it reads.
template <typename T>
T Expression<T>::evaluate(bool bound) const {
    if (!valid_flag || !root) throw std::invalid_argument(messages::invalid_expression);
    return root->calls ? detail::evaluate_holding(root, bound) : detail::evaluate(*root, bound);
}

// A program that takes the values in this order stores them itself as it fills its registers, or reads them
// from `values` (one of one instruction); else they are stored here and read from the table.
template <typename T>
T Expression<T>::eval_at(const T* values) {
    if (valid_flag && root) {
        if (root->one_instruction) return detail::evaluate_one_taking(*root, values);
        if (root->takes_values) return detail::evaluate_loop_taking(*root, values);
    }
    if (values == nullptr && !variable_values.empty()) detail::refuse_no_values();
    for (std::size_t i = 0; i < variable_values.size(); ++i) *variable_values[i] = values[i];
    return evaluate(true);
}

// The bulk forms: each variable's values as a feed, in the order of variables(); the rest in bulk.hpp.
template <typename T>
void Expression<T>::evaluate_bulk(const T* const* columns, const T* rows, std::size_t stride, std::size_t n,
                                  T* results, unsigned threads) {
    std::vector<detail::Feed<T>> feeds;
    for (std::size_t j = 0; j < variable_values.size(); ++j) {
        const T* base = columns ? columns[j] : rows ? rows + j : nullptr;
        if (base == nullptr) detail::refuse_no_values();
        feeds.push_back({base, columns ? 1 : stride});
    }
    if (results == nullptr && n > 0) throw std::invalid_argument(messages::no_results);
    detail::evaluate_bulk(detail::BulkCall<T>{root, variable_table, variable_values, valid_flag}, feeds.data(), n,
                          results, threads);
}

// Empties the variable table for a parse to refill: in place, unless something besides this object and its
// program holds it, or the program is running; then in a new one, and the holders keep the old one, which
// goes with the last of them. So nothing that a running evaluation reads goes before the evaluation ends.
template <typename T>
void Expression<T>::fresh_table() {
    const bool bound = root && root->table == variable_table;
    if (variable_table && variable_table.use_count() == 1 + bound && (!bound || root.use_count() == 1)) {
        variable_table->clear();
    } else {
        variable_table = std::make_shared<Values>();
    }
    variable_names.clear();
    variable_values.clear();
}

// Parses `expression_text` (a long sum in pieces of about `piece_size` bytes) and installs its program.
template <typename T>
void Expression<T>::install_parse(const std::string& expression_text, std::size_t piece_size) {
    if (expression_text.empty()) throw ParseError(messages::empty_expression);
    text = expression_text;
    detail::check_parentheses(text);
    Lexer lexer(text);
    const std::size_t invalid = lexer.invalid_at();
    if (invalid != ParseError::npos) throw ParseError(messages::invalid_character, invalid);
    std::shared_ptr<Program> made;
    try {
        made = compile_in_pieces(piece_size);
        if (!made) made = compile({}, &lexer);
    } catch (...) {
        rebind_after_failure();
        throw;
    }
    valid_flag = made->binds_every_variable;  // whether every variable of the text has its entry
    // The replaced program goes with `made` when this object is whole again (destroying it may run a
    // callable's code, which may use this object), or, while an evaluation runs it, when that one ends.
    root.swap(made);
}

// After a failed parse the program stays, reading the refilled table; one that an evaluation runs reads its
// own table until that ends, and a copy of it serves this object (without memory for one, it serves itself).
template <typename T>
void Expression<T>::rebind_after_failure() noexcept {
    if (!root) return;
    if (root.use_count() > 1) {
        try {
            root = std::make_shared<Program>(*root, variable_table, variable_values);
            return;
        } catch (...) {  // no memory, or a callable that cannot be copied
        }
    }
    root->bind(variable_table, variable_values);
}

// A long sum cut into pieces of about `piece_size` bytes and compiled, or nothing (see compile).
template <typename T>
std::shared_ptr<detail::Program<T>> Expression<T>::compile_in_pieces(std::size_t piece_size) {
    const std::vector<std::size_t> cuts = detail::cuts_of(text, piece_size);
    if (cuts.empty()) return nullptr;
    try {
        return compile(cuts);
    } catch (const std::invalid_argument&) {
    } catch (const std::out_of_range&) {
    }
    return nullptr;
}

// Compiles the text at once (with its lexer, `whole`), or a piece at a time, cut at `cuts`, so that no token
// sequence or tree is as long as a long text. A cut is at a loosest operator outside parentheses right after
// an operand, where a parse of the whole text has reduced everything before to one operand and the operator
// waits alone: each later piece is parsed behind a "0" and that operator, the "0" standing for the value of
// the code so far. A piece that fails or calls a caller's callable (right operand first) gives nothing, and
// the whole text is parsed at once, with its own errors and their positions.
template <typename T>
std::shared_ptr<detail::Program<T>> Expression<T>::compile(const std::vector<std::size_t>& cuts, Lexer* whole) {
    detail::Compiler<T> compiler;
    detail::NodeArena<T> arena;
    for (std::size_t piece = 0, start = 0; piece <= cuts.size(); ++piece) {
        const std::size_t end = piece < cuts.size() ? cuts[piece] : text.size();
        const std::string behind = piece > 0 ? std::string{'0', text[start - 1]} : std::string();
        auto tokens = whole ? whole->tokenize() : Lexer(behind + text.substr(start, end - start)).tokenize();
        if (piece == 0) fresh_table();
        const auto add = [this](const std::string& name) { add_variable(name); };
        const std::vector<Token> postfix = detail::to_postfix(std::move(tokens), add);
        // Room for all the code, which so never moves: an instruction a token, and a byte, at most.
        if (piece == 0) compiler.made->code.reserve(cuts.empty() ? postfix.size() : text.size());
        if (piece == 0) compiler.made->variables.reserve(variable_table->size());  // all of a text compiled at once
        arena.reset(postfix.size() + 1);
        AstNode<T>* placeholder = piece > 0 ? arena.template make<ValueNode<T>>(T(0)) : nullptr;
        const TreeBuilder<T> builder(unary_funcs, *variable_table);
        const auto operands = cuts.empty() ? std::vector<AstNode<T>*>{builder.build(postfix, arena)}
                                           : builder.operands_of(postfix, arena, placeholder);
        if (operands.size() != 1 || (!cuts.empty() && operands.front()->calls_callers_code())) return nullptr;
        compiler.append(*operands.front(), &arena, placeholder);
        start = end + 1;
    }
    return compiler.finish(variable_table, variable_values);
}

// Enters a name into the table with 0, and into the order of variables(), unless it is there already.
template <typename T>
void Expression<T>::add_variable(const std::string& name) {
    const auto [entry, added] = variable_table->try_emplace(name, T(0));
    if (!added) return;
    try {
        variable_names.push_back(name);
        variable_values.push_back(&entry->second);
    } catch (...) {  // out of memory: the table, its names and their values stay alike
        variable_names.resize(variable_values.size());
        variable_table->erase(entry);
        throw;
    }
}

}  // namespace exprkit

#ifdef EXPRKIT_COMPILING
template class exprkit::Expression<double>;
#endif
