#include <exprkit/expression.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "expression_access.hpp"
#include "test_support.hpp"

namespace exprkit {
namespace {

using E = Expression<double>;
using Access = detail::ExpressionAccess;
using testing::invalid_argument_of;

// A random formula over x, y, z, w and constants, with every operator and function, and f when `calls`.
std::string random_formula(std::mt19937_64& random, int depth, bool calls) {
    const std::size_t functions = detail::function_rows.size(), choice = random() % (7 + functions + calls);
    const char* leaves[] = {"x", "y", "z", "w", "3", "0.5", "2"};
    if (depth == 0 || choice < 2) return leaves[random() % 7];
    const std::string operand = random_formula(random, depth - 1, calls);
    if (choice < 7) return "(" + operand + "+-*/^"[choice - 2] + random_formula(random, depth - 1, calls) + ")";
    return (choice - 7 < functions ? std::string(detail::function_rows[choice - 7].name) : "f") + "(" + operand + ")";
}

// Over random formulas whose programs hold every opcode (long sums of scaled terms among them, on many
// registers), both forms on one, two and three threads give each point eval_at's bits, and store its values.
TEST(Bulk, GivesEachPointTheBitsOfEvalAt) {
    std::mt19937_64 random(38);
    std::set<int> opcodes;
    const std::size_t n = 1000;  // several blocks and a partial one
    std::vector<double> rows(4 * n), columns(4 * n), by_columns(n), by_rows(n), expected(n);
    for (double& value : columns) value = std::uniform_real_distribution<double>(-3, 3)(random);
    columns[4] = -0.0, columns[1009] = INFINITY, columns[2014] = NAN;
    for (int formula = 0; formula < 300; ++formula) {
        std::string text = random_formula(random, 5, formula % 3 == 0) + "+0*(x+y+z+w)";
        for (int term = 0; formula % 50 == 1 && term < 150; ++term) {  // finite everywhere: a fused step shows
            text += "-+"[term % 2] + std::to_string(1.1 + 0.37 * term) + "*sin(" + "xyzw"[term % 4] + ")";
        }
        E e;
        e.add_func("f", [](double v) { return 3 * v + 1; });
        e.init(text);
        for (const auto& in : Access::program(e)->code) opcodes.insert(in.opcode);
        const double* feeds[4] = {&columns[0], &columns[n], &columns[2 * n], &columns[3 * n]};
        e.eval_columns(feeds, n, by_columns.data(), 1 + formula % 3);
        for (std::size_t i = 0; i < 4 * n; ++i) rows[i] = feeds[i % 4][i / 4];
        e.eval_rows(rows.data(), 4, n, by_rows.data(), 3 - formula % 3);
        for (std::size_t j = 0; j < 4; ++j) EXPECT_EQ(e.vars().at(e.variables()[j]), feeds[j][n - 1]);
        for (std::size_t i = 0; i < n; ++i) expected[i] = e.eval_at(&rows[4 * i]);
        for (std::size_t i = 0; i < n; ++i) {
            for (const double result : {by_columns[i], by_rows[i]}) {
                ASSERT_TRUE(!std::memcmp(&result, &expected[i], sizeof result) || std::isnan(result + expected[i]))
                    << text << " at point " << i << ": " << result << " instead of " << expected[i];
            }
        }
    }
    EXPECT_EQ(opcodes.size(), detail::opcode_count);
}

// eval_at's errors, before any result is written: no values, no results, an object that is not valid (which
// stores the first point's values, as eval_at does). A callable is called point by point, in order, whatever it
// does to the object; one that throws leaves the results before its point written and that point's values.
TEST(Bulk, FailsAndCallsAsEvalAtDoes) {
    E e("x-y"), moved("x"), constant("2+3"), gone(std::move(moved));
    const double x[] = {1, 2}, y[] = {5, 6}, *columns[] = {x, y}, *no_y[] = {x, nullptr};
    double results[4] = {7, 7, 7, 7};
    EXPECT_EQ(invalid_argument_of([&] { e.eval_columns(nullptr, 2, results); }), messages::no_values);
    EXPECT_EQ(invalid_argument_of([&] { e.eval_columns(no_y, 2, results); }), messages::no_values);
    EXPECT_EQ(invalid_argument_of([&] { e.eval_rows(nullptr, 2, 2, results); }), messages::no_values);
    EXPECT_EQ(invalid_argument_of([&] { e.eval_columns(columns, 2, nullptr); }), messages::no_results);
    Access::invalidate(e);
    EXPECT_EQ(invalid_argument_of([&] { e.eval_columns(columns, 2, results); }), messages::invalid_expression);
    EXPECT_EQ(invalid_argument_of([&] { moved.eval_rows(x, 1, 2, results); }), messages::invalid_expression);
    EXPECT_EQ(e.vars().at("y"), 5);
    EXPECT_EQ(results[0], 7);
    constant.eval_columns(nullptr, 2, results, 2);  // no variables: no arrays needed
    EXPECT_EQ(results[1], 5);
    for (int action = 0; action < 4; ++action) {  // re-parse, move away, destroy, throw
        auto f = std::make_unique<E>();
        std::vector<double> seen;
        f->add_func("f", [&](double v) {
            seen.push_back(v);
            if (seen.size() == 2 && action == 0) f->init("y*100");
            if (seen.size() == 2 && action == 1) E taken(std::move(*f));
            if (seen.size() == 2 && action == 2) f.reset();
            if (seen.size() == 3 && action == 3) throw std::runtime_error("from f");
            return v + 0.5;
        });
        f->init("f(x)*y");
        const double rows[] = {1, 10, 2, 20, 3, 30, 4, 40};
        results[3] = 0;
        E* const object = f.get();
        const std::vector<double> in_order{1, 2, 3, 4};
        if (action != 3) object->eval_rows(rows, 2, 4, results);
        if (action == 3) {
            EXPECT_THROW(object->eval_rows(rows, 2, 4, results), std::runtime_error);
            EXPECT_EQ(f->vars().at("y"), 30);
        }
        EXPECT_EQ(seen, std::vector<double>(in_order.begin(), in_order.begin() + (action == 3 ? 3 : 4)));
        EXPECT_EQ(results[1], 50);
        EXPECT_EQ(results[3], action == 3 ? 0 : 180);
    }
}

}  // namespace
}  // namespace exprkit
