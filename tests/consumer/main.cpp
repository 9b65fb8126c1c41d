// Uses the engine headers as the README shows, with the caller's own standard map, objects kept in a
// vector and moved, eval_with and eval_at; exits non-zero on a wrong result or when the version header disagrees
// with the CMake package's version.
#include <exprkit/expression.hpp>
#include <exprkit/nodes.hpp>
#include <exprkit/version.hpp>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

exprkit::Expression<double> made(const std::string& text) {
    exprkit::Expression<double> e(text);
    return e;
}

}  // namespace

int main() {
    exprkit::Expression<double> e("3x^2+1");
    std::unordered_map<std::string, double> v{{"x", 2.0}};
    const double result = e.eval(v);
    exprkit::VariableNode<double> x("x", &v);
    std::vector<exprkit::Expression<double>> kept;
    kept.emplace_back("x+y");
    kept.push_back(made("x*y"));
    exprkit::Expression<double> moved(std::move(kept.back()));
    struct Point {
        double x, y;
    } p{2, 1};
    const double fast = moved.eval_with([&p](const std::string& name) -> const double* {
        return name == "x" ? &p.x : name == "y" ? &p.y : nullptr;
    });
    exprkit::Expression<double> f("3x^2+sin(y)/2");
    const double at[] = {2, 1};  // in the order of f.variables(): x, y
    const double by_position = f.eval_at(at);
    std::printf("exprkit %s (package %s), 3x^2+1 at x=2: %g; x reads %g; x*y at (2, 1): %g; 3x^2+sin(y)/2: %.17g\n",
                EXPRKIT_VERSION, EXPRKIT_PACKAGE_VERSION, result, x.evaluate(), fast, by_position);
    return result == 13.0 && x.evaluate() == 2.0 && fast == 2.0 && f.variables().front() == "x" &&
                   by_position == 3 * std::pow(2.0, 2.0) + std::sin(1.0) / 2 &&
                   std::strcmp(EXPRKIT_VERSION, EXPRKIT_PACKAGE_VERSION) == 0
               ? 0
               : 1;
}
