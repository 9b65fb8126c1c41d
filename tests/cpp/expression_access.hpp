// The engine's own tests and fuzzer look at an Expression's private state through this.
#pragma once

#include <exprkit/expression.hpp>

#include <string>

namespace exprkit::detail {

struct ExpressionAccess {
    static const std::string& text(const Expression<double>& e) { return e.text; }
    static void invalidate(Expression<double>& e) { e.valid_flag = false; }
    static const AstNode<double>* tree(const Expression<double>& e) { return e.root ? e.root->tree.get() : nullptr; }
    static const Program<double>* program(const Expression<double>& e) { return e.root ? &e.root->program : nullptr; }
};

}  // namespace exprkit::detail
