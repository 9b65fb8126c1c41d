// Must not compile: an Expression computes in a floating-point number type.
#include <exprkit/expression.hpp>

int main() {
    const exprkit::Expression<int> e("1+1");
    return e.eval();
}
