// Evaluates a formula with the installed engine headers; exits non-zero on a wrong result.
#include <exprkit/expression.hpp>

#include <cstdio>

int main() {
    exprkit::Expression<double> expression("3x^2+1");
    const double result = expression.eval({{"x", 2}});
    std::printf("3x^2+1 at x=2: %g\n", result);
    return result == 13.0 ? 0 : 1;
}
