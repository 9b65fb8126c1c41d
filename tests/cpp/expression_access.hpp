// The engine's own tests and fuzzer look at an Expression's private state through this.
#pragma once

#include <exprkit/expression.hpp>

#include <cstddef>
#include <string>

namespace exprkit::detail {

struct ExpressionAccess {
    static const std::string& text(const Expression<double>& e) { return e.text; }
    static void invalidate(Expression<double>& e) { e.valid_flag = false; }
    static const Program<double>* program(const Expression<double>& e) { return e.root.get(); }
    // init() with the text cut into pieces of `piece_size` bytes, as long texts are.
    static void init_in_pieces(Expression<double>& e, const std::string& text, std::size_t piece_size) {
        e.install_parse(text, piece_size);
    }
    // Whether a parse of `text` in pieces of `piece_size` bytes compiles it itself, without leaving the
    // work to a parse of the whole text.
    static bool builds_in_pieces(Expression<double>& e, const std::string& text, std::size_t piece_size) {
        e.text = text;
        return e.compile_in_pieces(piece_size) != nullptr;
    }
    // What a walk of the tree of `text` gives, built with the object's function table: its variables read
    // from the object's table, or, without `bound`, from an empty one. Changes nothing in the object.
    static double walk(Expression<double>& e, const std::string& text, bool bound) {
        PostfixConverter converter(Lexer(text).tokenize(), make_precedence_table());
        converter.mark_unary_minus();
        const auto postfix = converter.insert_implicit_multiplication().to_postfix();
        NodeArena<double> arena;
        arena.reset(postfix.size());
        const AstNode<double>* tree = TreeBuilder<double>(e.unary_funcs, *e.variable_table).build(postfix, arena);
        return bound ? tree->evaluate() : tree->evaluate(Expression<double>::Values{});
    }
};

}  // namespace exprkit::detail
