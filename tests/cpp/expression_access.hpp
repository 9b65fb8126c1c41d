// The engine's own tests and fuzzer look at an Expression's private state through this.
#pragma once

#include <exprkit/expression.hpp>

#include <cstddef>
#include <string>

namespace exprkit::detail {

struct ExpressionAccess {
    static const std::string& text(const Expression<double>& e) { return e.text; }
    static void invalidate(Expression<double>& e) { e.valid_flag = false; }
    static const AstNode<double>* tree(const Expression<double>& e) { return e.root ? e.root->tree.get() : nullptr; }
    static const Program<double>* program(const Expression<double>& e) { return e.root ? &e.root->program : nullptr; }
    // init() with the text cut into pieces of `piece_size` bytes, as long texts are.
    static void init_in_pieces(Expression<double>& e, const std::string& text, std::size_t piece_size) {
        e.install_parse(text, piece_size);
    }
    // Whether a parse of `text` in pieces of `piece_size` bytes builds the tree itself, without leaving the
    // work to a parse of the whole text.
    static bool builds_in_pieces(Expression<double>& e, const std::string& text, std::size_t piece_size) {
        e.text = text;
        std::size_t size_hint = 0;
        return e.parse_in_pieces(piece_size, TreeBuilder<double>(e.binary_ops, e.unary_funcs, e.variable_table), size_hint) != nullptr;
    }
};

}  // namespace exprkit::detail
