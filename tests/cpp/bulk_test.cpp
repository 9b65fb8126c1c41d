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

// A random formula over x, y, z, w and a few constants, with every operator and function (and f, when `calls`).
std::string random_formula(std::mt19937_64& random, int depth, bool calls) {
    const auto pick = [&random](std::size_t n) { return static_cast<std::size_t>(random() % n); };
    const char* leaves[] = {"x", "y", "z", "w", "3", "0.5", "2"};
    if (depth == 0 || pick(5) == 0) return leaves[pick(7)];
    const std::size_t choice = pick(5 + detail::function_rows.size() + calls);
    const std::string operand = random_formula(random, depth - 1, calls);
    if (choice < 5) return "(" + operand + "+-*/^"[choice] + random_formula(random, depth - 1, calls) + ")";
    if (choice == 5 + detail::function_rows.size()) return "f(" + operand + ")";
    return std::string(detail::function_rows[choice - 5].name) + "(" + operand + ")";
}

// Over random formulas whose programs hold every opcode (long sums among them, which run on many registers
// with scaled steps), both bulk forms on one thread and on three give each point eval_at's bits (NaN: a NaN).
TEST(Bulk, GivesEachPointTheBitsOfEvalAt) {
    std::mt19937_64 random(38);
    std::set<int> opcodes;
    const std::size_t n = 1000;  // several blocks and a partial one
    std::vector<double> rows(4 * n), columns[4];
    for (double& value : rows) value = std::uniform_real_distribution<double>(-3, 3)(random);
    rows[4] = -0.0, rows[9] = INFINITY, rows[14] = NAN;
    for (std::size_t j = 0; j < 4; ++j) for (std::size_t i = 0; i < n; ++i) columns[j].push_back(rows[4 * i + j]);
    for (int formula = 0; formula < 300; ++formula) {
        std::string text = random_formula(random, 5, formula % 3 == 0);
        for (int term = 0; formula % 50 == 1 && term < 150; ++term) {  // scaled terms, finite everywhere
            const std::string_view function = detail::function_rows[std::size_t{2} + 4 * (term % 4) % 13].name;
            text += "-+"[term % 2] + std::to_string(1.1 + 0.37 * term) + "*" + std::string(function);
            text += std::string("(") + "xyzw"[term % 4] + ")";
        }
        E e("x+y+z+w");
        e.add_func("f", [](double v) { return 3 * v + 1; });
        e.init(text + "+0*(x+y+z+w)");
        for (const auto& in : Access::program(e)->code) opcodes.insert(in.opcode);
        const double* feeds[4];
        for (std::size_t j = 0; j < 4; ++j) feeds[j] = columns[(e.variables()[j][0] - 'w' + 3) % 4].data();
        std::vector<double> by_columns(n), by_rows(n), expected(n);
        e.eval_columns(feeds, n, by_columns.data(), 3);
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < 4; ++j) rows[4 * i + j] = feeds[j][i];  // in the order of variables()
            expected[i] = e.eval_at(&rows[4 * i]);
        }
        e.eval_rows(rows.data(), 4, n, by_rows.data(), formula % 2 ? 1 : 2);
        for (std::size_t i = 0; i < n; ++i) {
            SCOPED_TRACE(text + " at point " + std::to_string(i));
            for (const double result : {by_columns[i], by_rows[i]})
                ASSERT_TRUE(!std::memcmp(&result, &expected[i], sizeof result) ||
                            (std::isnan(result) && std::isnan(expected[i])))
                    << result << " instead of " << expected[i];
        }
        e.eval_columns(feeds, n, by_columns.data());
        for (std::size_t j = 0; j < 4; ++j) EXPECT_EQ(e.vars().at(e.variables()[j]), feeds[j][n - 1]);  // as eval_at
    }
    EXPECT_EQ(opcodes.size(), detail::opcode_count);
}

// The errors of eval_at, thrown before any result is written: no array of values, no array for the results, an
// object that is not valid (which stores the first point's values first, as eval_at does).
TEST(Bulk, FailsAsEvalAtFails) {
    E e("x-y"), moved("x"), constant("2+3");
    E gone(std::move(moved));
    const double x[] = {1, 2}, y[] = {5, 6}, *columns[] = {x, y}, *no_y[] = {x, nullptr};
    double results[2] = {7, 7};
    using testing::invalid_argument_of;
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
}

// A formula with a caller's callable calls it point by point in order; whatever the callable does to the
// object (re-parse, move away, destroy), the call ends with the formula it began with; a callable that
// throws leaves the results before its point written and that point's values stored.
TEST(Bulk, CallsACallablePointByPointWhateverItDoes) {
    for (int action = 0; action < 4; ++action) {
        auto e = std::make_unique<E>();
        std::vector<double> seen;
        e->add_func("f", [&](double v) {
            seen.push_back(v);
            if (seen.size() == 2 && action == 0) e->init("y*100");
            if (seen.size() == 2 && action == 1) E taken(std::move(*e));
            if (seen.size() == 2 && action == 2) e.reset();
            if (seen.size() == 3 && action == 3) throw std::runtime_error("from f");
            return v + 0.5;
        });
        e->init("f(x)*y");
        const double rows[] = {1, 10, 2, 20, 3, 30, 4, 40};
        double results[4] = {};
        E* const object = e.get();
        if (action == 3) EXPECT_THROW(object->eval_rows(rows, 2, 4, results), std::runtime_error);
        else object->eval_rows(rows, 2, 4, results);
        EXPECT_EQ(seen.size(), action == 3 ? 3u : 4u);
        EXPECT_EQ(seen.back(), action == 3 ? 3 : 4);
        EXPECT_EQ(results[1], 50);
        EXPECT_EQ(results[3], action == 3 ? 0 : 180);
        if (action == 3) {
            EXPECT_EQ(e->vars().at("y"), 30);
        }
    }
}

}  // namespace
}  // namespace exprkit
