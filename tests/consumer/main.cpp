// Evaluates a formula with the installed engine headers, passing the caller's own standard map; exits
// non-zero on a wrong result or when the version header disagrees with the CMake package's version.
#include <exprkit/expression.hpp>
#include <exprkit/version.hpp>

#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>

int main() {
    exprkit::Expression<double> e("3x^2+1");
    std::unordered_map<std::string, double> v{{"x", 2.0}};
    const double result = e.eval(v);
    exprkit::VariableNode<double> x("x", &v);
    std::printf("exprkit %s (package %s), 3x^2+1 at x=2: %g; x reads %g\n", EXPRKIT_VERSION, EXPRKIT_PACKAGE_VERSION,
                result, x.evaluate());
    return result == 13.0 && x.evaluate() == 2.0 && std::strcmp(EXPRKIT_VERSION, EXPRKIT_PACKAGE_VERSION) == 0 ? 0 : 1;
}
