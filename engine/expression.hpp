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
#include <optional>
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

// Whether a string keeps its bytes in its own object (a short string) rather than in memory it owns.
inline bool kept_inside(const std::string& text) {
    const auto object = reinterpret_cast<std::uintptr_t>(&text);
    const auto bytes = reinterpret_cast<std::uintptr_t>(text.data());
    return bytes >= object && bytes < object + sizeof(text);
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
        install(detail::OwnedTree<T>(other.root ? other.root->clone() : nullptr));
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
    detail::OwnedTree<T> root;
    std::string text;
    BinaryOperatorTable<T> binary_ops;
    UnaryFunctionTable<T> unary_funcs;
    Values variable_table;

    // A callable may re-parse or reassign this object while its tree is being evaluated. The tree it
    // replaces is then kept here until the outermost evaluation has finished with it.
    mutable std::size_t evaluations_in_progress = 0;
    mutable std::vector<detail::OwnedTree<T>> retired_trees;

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
    void install(detail::OwnedTree<T> tree) {
        if (evaluations_in_progress > 0 && root) retired_trees.push_back(std::move(root));
        root = std::move(tree);
    }

    using Operands = std::vector<std::unique_ptr<AstNode<T>>>;

    // A text at least twice this long that is a sum or difference of terms is parsed in pieces of
    // about this many bytes (see parse_in_pieces).
    static constexpr std::size_t piece_bytes = std::size_t{1} << 14;

    // Below this many tokens a tree is freed node by node: the walk costs less than keeping a tally.
    static constexpr std::size_t tallied_from = 256;

    // Returns whether every variable of the new tree has an entry in the variable table: what the tree's
    // is_valid() would answer, found while building so that a large tree is not walked once more.
    bool parse(const std::string& expression_text, std::size_t piece_size = piece_bytes) {
        if (expression_text.empty()) throw std::invalid_argument(messages::empty_expression);
        text = expression_text;
        Lexer lexer(text);
        check_parentheses(text);
        if (!lexer.is_valid()) throw std::invalid_argument(messages::invalid_character);
        bool bound = true;
        if (parse_in_pieces(piece_size, bound)) return bound;
        bound = true;
        std::vector<Token> tokens = lexer.tokenize();
        variable_table.clear();
        const std::vector<Token> postfix = to_postfix(std::move(tokens));
        install(build_owned(postfix.size() >= tallied_from, [&] { return build_tree(postfix, bound); }));
        if (!root) throw std::invalid_argument(messages::malformed_expression);
        return bound;
    }

    // A long sum or difference of terms is parsed a piece at a time, so that the tokens of a piece stay
    // in the cache through every pass over them, where those of the whole text would go to main memory
    // and back at each pass. Pieces end at a "+" or "-" between two terms outside all parentheses.
    // There a parse of the whole text has reduced everything before to one operand, and the "+" or "-"
    // has emptied the operator stack and waits on it alone: each later piece is parsed after a "0" and
    // that operator, and the tree of everything before takes the place of the "0". The variables are
    // collected piece after piece, in the order of the text.
    //
    // Returns false, having installed nothing, for a text too short to cut, and when a piece fails: the
    // whole text is then parsed at once, so that every error is the one a parse of the whole text
    // reports, after the variable collection of the whole text.
    bool parse_in_pieces(std::size_t piece_size, bool& bound) {
        const std::vector<std::size_t> joints = joints_of(text, piece_size);
        if (joints.empty()) return false;
        variable_table.clear();
        const auto build_pieces = [&]() -> std::unique_ptr<AstNode<T>> {
            std::unique_ptr<AstNode<T>> before;
            std::size_t start = 0;
            for (std::size_t piece = 0; piece <= joints.size(); ++piece) {
                const std::size_t end = piece < joints.size() ? joints[piece] : text.size();
                std::string piece_text;
                if (before) piece_text = {'0', text[start - 1]};
                piece_text.append(text, start, end - start);
                Operands built = build_operands(to_postfix(Lexer(std::move(piece_text)).tokenize()), bound, std::move(before));
                if (built.size() != 1) return nullptr;
                before = std::move(built.front());
                start = end + 1;
            }
            return before;
        };
        detail::OwnedTree<T> tree;
        try {
            tree = build_owned(true, build_pieces);
        } catch (const std::invalid_argument&) {
            return false;
        } catch (const std::out_of_range&) {
            return false;
        }
        if (!tree) return false;
        install(std::move(tree));
        return true;
    }

    // Where parse_in_pieces cuts the text: at the first binary "+" or "-" outside all parentheses (one
    // right after a number, a name or ")") from each multiple of `piece_size` bytes on. None for a
    // text shorter than two pieces, or holding a space, which stops the tokenizer.
    static std::vector<std::size_t> joints_of(std::string_view expression_text, std::size_t piece_size) {
        std::vector<std::size_t> joints;
        if (expression_text.size() / 2 < piece_size) return joints;
        std::int64_t depth = 0;
        std::size_t next_cut = piece_size;
        for (std::size_t at = 0; at < expression_text.size(); ++at) {
            const char c = expression_text[at];
            if (c == ' ') return {};
            if (c == '(') ++depth;
            if (c == ')') --depth;
            const bool between_terms = (c == '+' || c == '-') && depth == 0 && at > 0 &&
                                       at + 1 < expression_text.size() && ends_operand(expression_text[at - 1]);
            if (between_terms && at >= next_cut) {
                joints.push_back(at);
                next_cut = at + piece_size;
            }
        }
        return joints;
    }

    static bool ends_operand(char c) {
        return detail::is_alnum(static_cast<unsigned char>(c)) || c == '.' || c == ')';
    }

    // The converter's passes over `tokens`, adding their variables to the table (read in place rather
    // than copied out by variables()) on the way; the postfix sequence.
    std::vector<Token> to_postfix(std::vector<Token> tokens) {
        PostfixConverter converter(std::move(tokens), make_precedence_table());
        converter.for_each_variable([this](const Token& name) { variable_table.try_emplace(name.text, T(0)); });
        converter.mark_unary_minus_and_insert_implicit_multiplication();
        return std::move(converter).to_postfix();
    }

    // The tree that `build` makes, with the tally of the blocks its nodes are carved from when it is
    // `large` and may be freed with them: when every callable is a built-in and every name is kept
    // inside its string, its nodes own nothing besides their memory.
    template <typename Build>
    detail::OwnedTree<T> build_owned(bool large, const Build& build) const {
        const bool tallied = large && only_builtins();
        detail::NodeBlocks::Tally carved;
        std::unique_ptr<AstNode<T>> tree;
        {
            std::optional<detail::NodeBlocks::Counting> counting;
            if (tallied) counting.emplace(carved);
            tree = build();
        }
        if (!tallied || !names_kept_inside()) return detail::OwnedTree<T>(std::move(tree));
        return detail::OwnedTree<T>(std::move(tree), std::move(carved));
    }

    // Whether every callable in the tables is a built-in, which owns nothing; a caller's may.
    bool only_builtins() const {
        for (const auto& entry : unary_funcs) {
            if (detail::builtin_op(entry.second) == detail::UnaryOp::Custom) return false;
        }
        for (const auto& entry : binary_ops) {
            if (detail::builtin_op(entry.second) == detail::BinaryOp::Custom) return false;
        }
        return true;
    }

    // Whether the variables' names are kept inside their strings. A copy of a name, such as a
    // variable node's, keeps its bytes inside just when the table's own copy does: that depends on the
    // length alone.
    bool names_kept_inside() const {
        for (const auto& entry : variable_table) {
            if (!detail::kept_inside(entry.first)) return false;
        }
        return true;
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

    std::unique_ptr<AstNode<T>> build_tree(const std::vector<Token>& postfix, bool& bound) const {
        Operands operands = build_operands(postfix, bound);
        if (operands.size() != 1) {
            std::cout << operands.size() << std::flush;
            throw std::invalid_argument(messages::unbalanced_equation);
        }
        return std::move(operands.front());
    }

    // What remains on the operand stack after the postfix sequence; a well-formed one leaves one tree.
    // A tree `in_front` takes the place of the sequence's first token, the operand that stands for it.
    Operands build_operands(const std::vector<Token>& postfix, bool& bound,
                            std::unique_ptr<AstNode<T>> in_front = nullptr) const {
        Operands operands;
        auto next = postfix.begin();
        if (in_front && next != postfix.end()) {
            operands.push_back(std::move(in_front));
            ++next;
        }
        for (; next != postfix.end(); ++next) {
            const Token& token = *next;
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
        return operands;
    }

    void apply_function(const Token& token, Operands& operands) const {
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

    void apply_operator(const Token& token, Operands& operands) const {
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
