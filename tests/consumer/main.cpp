// Evaluates a formula with the installed engine headers; exits non-zero on a wrong result or when the
// version header disagrees with the CMake package's version.
#include <exprkit/expression.hpp>
#include <exprkit/version.hpp>

#include <cstdio>
#include <cstring>

int main() {
    exprkit::Expression<double> expression("3x^2+1");
    const double result = expression.eval({{"x", 2}});
    std::printf("exprkit %s (package %s), 3x^2+1 at x=2: %g\n", EXPRKIT_VERSION, EXPRKIT_PACKAGE_VERSION, result);
    return result == 13.0 && std::strcmp(EXPRKIT_VERSION, EXPRKIT_PACKAGE_VERSION) == 0 ? 0 : 1;
}
