// Evaluates a formula with the installed engine headers, passing the caller's own standard map; exits
// non-zero on a wrong result.
#include <exprkit/expression.hpp>

#include <cstdio>
#include <string>
#include <unordered_map>

int main() {
    exprkit::Expression<double> e("3x^2+1");
    std::unordered_map<std::string, double> v{{"x", 2.0}};
    const double result = e.eval(v);
    exprkit::VariableNode<double> x("x", &v);
    std::printf("3x^2+1 at x=2: %g; x reads %g\n", result, x.evaluate());
    return result == 13.0 && x.evaluate() == 2.0 ? 0 : 1;
}
