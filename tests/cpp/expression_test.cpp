#include <exprkit/expression.hpp>

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <locale>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "expression_access.hpp"
#include "test_support.hpp"

namespace exprkit {

namespace {

using E = Expression<double>;
using Values = E::Values;
using Access = detail::ExpressionAccess;
using testing::invalid_argument_of;

const double inf = std::numeric_limits<double>::infinity();

std::string out_of_range_of(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::out_of_range& error) {
        return error.what();
    }
    return "<no error>";
}

using testing::library_square;

struct ResultCase {
    std::string text;
    Values values;
    double expected;  // compared bit for bit: the sign of zero counts, NaN equals NaN
    friend std::ostream& operator<<(std::ostream& out, const ResultCase& c) { return out << c.text; }
};

class Results : public ::testing::TestWithParam<ResultCase> {};

TEST_P(Results, EvaluateToTheExactDouble) {
    E e(GetParam().text);
    const double result = e.eval(GetParam().values);
    std::vector<double> at;  // the same values by position give the same bits
    for (const std::string& name : e.variables()) at.push_back(GetParam().values.at(name));
    const double by_position = e.eval_at(at.data());
    EXPECT_EQ(std::memcmp(&by_position, &result, sizeof result), 0);
    const double expected = GetParam().expected;
    if (std::isnan(expected)) {
        EXPECT_TRUE(std::isnan(result));
    } else {
        EXPECT_EQ(result, expected);
        EXPECT_EQ(std::signbit(result), std::signbit(expected));
    }
}

INSTANTIATE_TEST_SUITE_P(Arithmetic, Results, ::testing::Values(
    ResultCase{"3x^2+sin(y)/2", {{"x", 2}, {"y", 1}}, 3 * 4 + std::sin(1.0) / 2},
    ResultCase{"1.2.3", {}, 1.2},
    ResultCase{"1..2", {}, 1},
    ResultCase{".5+5.", {}, 5.5},
    ResultCase{"3x^2", {{"x", 2}}, 12},
    ResultCase{"7/2", {}, 3.5},
    ResultCase{"1/0", {}, inf},
    ResultCase{"0/0", {}, std::nan("")},
    ResultCase{"2^10", {}, 1024},
    ResultCase{"2^0.5", {}, std::sqrt(2.0)},
    ResultCase{"5-3-1", {}, 1},
    ResultCase{"2(x+1)", {{"x", 2}}, 6},
    ResultCase{"2sin(x)", {{"x", 0.5}}, 2 * std::sin(0.5)},
    // A constant operand on either side of an operator whose operands do not commute.
    ResultCase{"2-x", {{"x", 5}}, -3},
    ResultCase{"x-2", {{"x", 5}}, 3},
    ResultCase{"2/x", {{"x", 8}}, 0.25},
    ResultCase{"x/2", {{"x", 8}}, 4},
    ResultCase{"2^x", {{"x", 3}}, 8},
    ResultCase{"x^2", {{"x", 3}}, 9},
    // x^2 is pow(x, 2) where that is not x * x: near a tie between two doubles, in the subnormals.
    ResultCase{"x^2", {{"x", 2.1351503422598457}}, library_square(2.1351503422598457)},
    ResultCase{"x^2", {{"x", -1.5701552214237817}}, library_square(-1.5701552214237817)},
    ResultCase{"2.1553322529683454^2", {}, library_square(2.1553322529683454)},
    ResultCase{"x^2", {{"x", 1.3469577507609696e-154}}, library_square(1.3469577507609696e-154)},
    ResultCase{"10-x*y", {{"x", 2}, {"y", 3}}, 4},
    ResultCase{"8/2x", {{"x", 1}}, 4},
    ResultCase{"2^x^2", {{"x", 3}}, 512},
    ResultCase{"1/(2-x)^3+y/4", {{"x", 4}, {"y", 1}}, 0.125},
    // A value just made plus or minus a register: one kind of step whatever the sign, the sign of zero kept.
    ResultCase{"sin(x)-y", {{"x", -0.0}, {"y", 0.0}}, -0.0},
    ResultCase{"sin(x)-y", {{"x", -0.0}, {"y", -0.0}}, 0.0},
    ResultCase{"sin(x)+y", {{"x", -0.0}, {"y", -0.0}}, -0.0},
    ResultCase{"sin(x)-y", {{"x", 1}, {"y", inf}}, -inf}));

// Precedence and associativity, checked against the explicitly parenthesised reading.
INSTANTIATE_TEST_SUITE_P(Precedence, Results, ::testing::Values(
    ResultCase{"8/2*4", {}, 8.0 / (2 * 4)},
    ResultCase{"8*2/4", {}, (8.0 * 2) / 4},
    ResultCase{"-2^2", {}, 4},
    ResultCase{"2^3^2", {}, 512},
    ResultCase{"(2^3)^2", {}, 64},
    ResultCase{"2*-3", {}, -6},
    ResultCase{"2^-1", {}, 0.5},
    ResultCase{"-(2+3)", {}, -5},
    ResultCase{"sin(x)^2", {{"x", 1}}, std::pow(std::sin(1.0), 2)}));

INSTANTIATE_TEST_SUITE_P(Functions, Results, ::testing::Values(
    ResultCase{"log(100)", {}, 2},
    ResultCase{"ln(1)", {}, 0},
    ResultCase{"log(0)", {}, -inf},
    ResultCase{"sqrt(0-4)", {}, std::nan("")},
    ResultCase{"cot(0)", {}, inf},
    ResultCase{"csec(0)", {}, inf},
    ResultCase{"sec(0)", {}, 1},
    ResultCase{"abs(0-3)", {}, 3},
    ResultCase{"-x", {{"x", 0}}, -0.0},
    ResultCase{"0-x", {{"x", 0}}, 0.0}));

struct ErrorCase {
    std::string text;
    std::string message;
    std::size_t position;  // the offset the error gives
    std::string printed;  // what the parse writes to standard output
    friend std::ostream& operator<<(std::ostream& out, const ErrorCase& c) { return out << c.text; }
};

class ParseErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ParseErrors, FailWithTheirExactMessageAndPosition) {
    ::testing::internal::CaptureStdout();
    std::string message = "<no error>";
    std::size_t position = 0;
    try {
        E e(GetParam().text);
    } catch (const ParseError& error) {  // a std::invalid_argument
        message = error.what();
        position = error.position();
    }
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), GetParam().printed);
    EXPECT_EQ(message, GetParam().message);
    EXPECT_EQ(position, GetParam().position);
}

constexpr std::size_t nowhere = ParseError::npos;

INSTANTIATE_TEST_SUITE_P(Expression, ParseErrors, ::testing::Values(
    ErrorCase{"", "Cannot initialize empty expression", nowhere, ""},
    ErrorCase{"(x)+(y", "Mismatched parentheses", 4, ""},
    ErrorCase{"(x+(y)", "Mismatched parentheses", 0, ""},
    ErrorCase{"(x))", "Mismatched parentheses", 3, ""},
    ErrorCase{")x(", "Expected '('", 0, ""},
    ErrorCase{"1+2)(3", "Expected '('", 3, ""},
    ErrorCase{"x y", "Invalid charater detected:  ", 1, ""},
    ErrorCase{"x%y", "Invalid Character detected", 1, ""},
    ErrorCase{std::string("x\0y", 3), "Invalid Character detected", 1, ""},
    ErrorCase{"2+", "Expected argument(s) to binary operator '+'", 1, ""},
    ErrorCase{"(x+)*y", "Expected argument(s) to binary operator '+'", 2, ""},
    ErrorCase{"2()", "Expected argument(s) to binary operator '*'", 1, ""},
    ErrorCase{"-", "Expected argument(s) to binary operator '-'", 0, ""},
    ErrorCase{"sin()", "Expected argument to unary operator 'sin'", 0, ""},
    ErrorCase{"--2", "Expected argument to unary operator '-'", 0, ""},
    ErrorCase{"foo(2)", "Unknown function encountered: foo", 0, ""},
    ErrorCase{"2*Sin(x)", "Unknown function encountered: Sin", 2, ""},
    ErrorCase{"x2", "Unbalanced equation", nowhere, "2"},
    ErrorCase{"(1)(2)", "Unbalanced equation", nowhere, "2"},
    ErrorCase{"()", "Unbalanced equation", nowhere, "0"},
    ErrorCase{"1 2", "Invalid charater detected:  ", 1, ""}));

TEST(Expression, DefaultConstructedIsTheConstantZeroWithoutText) {
    const E e;
    EXPECT_TRUE(e.valid());
    EXPECT_EQ(e.eval(), 0);
    EXPECT_TRUE(e.vars().empty());
    EXPECT_EQ(Access::text(e), "");
    EXPECT_EQ(e.avail_funcs().size(), 15u);
}

TEST(Expression, VariablesStartAtZeroAndKeepTheValuesLastGiven) {
    E e("x*y+x");
    EXPECT_EQ(e.vars(), (Values{{"x", 0}, {"y", 0}}));
    EXPECT_EQ(e.eval({{"x", 2}, {"y", 3}}), 8);
    EXPECT_EQ(e.vars(), (Values{{"x", 2}, {"y", 3}}));
    e.init("x*y+x");
    EXPECT_EQ(e.vars(), (Values{{"x", 0}, {"y", 0}}));
}

TEST(Expression, EvalWithValuesIgnoresExtraNamesAndReportsMissingOnes) {
    E single("x");
    EXPECT_EQ(single.eval({{"x", 1}, {"z", 5}}), 1);
    EXPECT_EQ(single.vars(), (Values{{"x", 1}}));

    E pair("x+y");
    EXPECT_EQ(invalid_argument_of([&] { pair.eval({{"x", 1}}); }),
              "Unspecified variable value: invalid unordered_map<K, T> key");
}

TEST(Expression, ManyVariablesEachFindTheirOwnValue) {
    std::string text;
    Values values;
    double expected = 0;
    for (int i = 0; i < 30; ++i) {
        const std::string name = "v" + std::string(static_cast<std::size_t>(i / 26 + 1), static_cast<char>('a' + i % 26));
        text += (i > 0 ? "+" : "") + std::to_string(i + 1) + name;
        values[name] = i;
        expected += (i + 1) * i;
    }
    E e(text);
    EXPECT_EQ(e.vars().size(), 30u);
    EXPECT_EQ(e.eval(values), expected);
    EXPECT_EQ(e.vars(), values);
    values.erase("vq");
    EXPECT_EQ(invalid_argument_of([&] { e.eval(values); }), "Unspecified variable value: invalid unordered_map<K, T> key");
}

TEST(Expression, EvalWithoutValuesNeverReadsTheVariableTable) {
    EXPECT_EQ(E("2^10").eval(), 1024);
    E e("x+1");
    e.eval({{"x", 4}});
    EXPECT_EQ(out_of_range_of([&] { e.eval(); }), "invalid unordered_map<K, T> key");
}

// eval_at takes values by the positions of variables() and keeps them, where the program takes them itself
// (of one instruction or more) and where it cannot: it reads fewer variables than the object lists, or in
// another order (after an assignment), or has more registers than the machine's stack holds.
TEST(Expression, EvalAtTakesTheValuesInTheOrderOfVariables) {
    std::string text = "y*0+x";
    std::vector<double> many{3, 8};
    for (int i = 0; i < 70; ++i) text += std::string{'+', char('a' + i / 26), char('a' + i % 26)}, many.push_back(i);
    E one("y-x"), two("y-x*1"), fewer("y-x"), swapped("y-x"), deep(text);
    const E quarter("x/4"), other_order("x-y/4");
    fewer = quarter;
    swapped = other_order;
    const struct { E* e; std::vector<double> values; double expected; } cases[] = {
        {&one, {4, 8}, -4}, {&two, {4, 8}, -4}, {&fewer, {3, 8}, 2}, {&swapped, {4, 8}, 7}, {&deep, many, 8 + 69 * 70 / 2}};
    for (const auto& c : cases) {
        EXPECT_EQ(c.e->eval_at(c.values.data()), c.expected);
        EXPECT_EQ(c.e->vars().at("y"), c.values[0]);
        EXPECT_EQ(c.e->vars().at("x"), c.values[1]);
        EXPECT_EQ(invalid_argument_of([&] { c.e->eval_at(nullptr); }), messages::no_values);  // and stores nothing
        EXPECT_EQ(c.e->vars().at("x"), c.values[1]);
    }
    E called, once("x+1"), sum("x+y*z"), root("sqrt(x*x+y*y)"), constant("2+3");
    called.add_func("f", [](double v) { return v; });
    called.init("f(x)");
    for (E* e : {&called, &once, &sum, &root}) {
        EXPECT_EQ(invalid_argument_of([e] { e->eval_at(nullptr); }), messages::no_values);
    }
    EXPECT_EQ(constant.eval_at(nullptr), 5);
}

TEST(Expression, InvalidObjectStoresValuesBeforeRefusingToEvaluate) {
    E e("x+1");
    Access::invalidate(e);
    EXPECT_EQ(invalid_argument_of([&] { e.eval(); }), "Tried to evaluate invalid expression");
    const double seven = 7;
    EXPECT_EQ(invalid_argument_of([&] { e.eval_at(&seven); }), "Tried to evaluate invalid expression");
    EXPECT_EQ(e.vars().at("x"), 7);
    EXPECT_EQ(invalid_argument_of([&] { e.eval({{"x", 9}}); }), "Tried to evaluate invalid expression");
    EXPECT_EQ(e.vars().at("x"), 9);
    EXPECT_EQ(invalid_argument_of([&] { e.eval(Values{}); }),
              "Unspecified variable value: invalid unordered_map<K, T> key");
}

struct FailedInitCase {
    std::string text;
    std::string message;
    bool text_replaced;
    Values variables_after;  // empty: the table is unchanged
    friend std::ostream& operator<<(std::ostream& out, const FailedInitCase& c) { return out << c.text; }
};

class FailedInit : public ::testing::TestWithParam<FailedInitCase> {};

// Each failing step leaves the old tree in place; how far the parse got decides what else changed.
TEST_P(FailedInit, KeepsTheOldTreeAndWhatTheParseAlreadyChanged) {
    const auto& c = GetParam();
    E e("a*3");
    ASSERT_EQ(e.eval({{"a", 2}}), 6);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(invalid_argument_of([&] { e.init(c.text); }), c.message);
    ::testing::internal::GetCapturedStdout();
    EXPECT_TRUE(e.valid());
    EXPECT_EQ(Access::text(e), c.text_replaced ? c.text : "a*3");
    if (c.variables_after.empty()) {
        EXPECT_EQ(e.vars(), (Values{{"a", 2}}));
        EXPECT_EQ(e.eval({{"a", 2}}), 6);
    } else {
        // The old tree now reads a table that holds the rejected text's names only.
        EXPECT_EQ(e.vars(), c.variables_after);
        Values given = c.variables_after;
        given["a"] = 2;
        EXPECT_EQ(out_of_range_of([&] { e.eval(given); }), "invalid unordered_map<K, T> key");
    }
}

INSTANTIATE_TEST_SUITE_P(Expression, FailedInit, ::testing::Values(
    FailedInitCase{"", "Cannot initialize empty expression", false, {}},
    FailedInitCase{"(x", "Mismatched parentheses", true, {}},
    FailedInitCase{"x%y", "Invalid Character detected", true, {}},
    FailedInitCase{"x y", "Invalid charater detected:  ", true, {}},
    FailedInitCase{"x)+(y", "Expected '('", true, {{"x", 0}, {"y", 0}}},
    FailedInitCase{"x+", "Expected argument(s) to binary operator '+'", true, {{"x", 0}}},
    FailedInitCase{"y*foo(x)", "Unknown function encountered: foo", true, {{"y", 0}, {"x", 0}}},
    FailedInitCase{"x2y", "Unbalanced equation", true, {{"x", 0}, {"y", 0}}}));

TEST(Expression, FailedInitKeepsTheTreeOfAConstant) {
    E e("2*3");
    EXPECT_THROW(e.init("(x"), std::invalid_argument);
    EXPECT_EQ(Access::text(e), "(x");
    EXPECT_EQ(e.eval(), 6);
    EXPECT_THROW(e.init("x+"), std::invalid_argument);
    EXPECT_TRUE(e.valid());
    EXPECT_EQ(e.eval(), 6);
    EXPECT_EQ(e.vars(), (Values{{"x", 0}}));
}

TEST(Expression, AddedFunctionsReachOnlyLaterParses) {
    E e;
    EXPECT_EQ(invalid_argument_of([&] { e.init("f(2)"); }), "Unknown function encountered: f");
    e.add_func("f", [](double x) { return 10 * x; });
    e.init("f(2)");
    EXPECT_EQ(e.eval(), 20);

    E sine("sin(0)");
    sine.add_func("sin", [](double) { return 7.0; });
    EXPECT_EQ(sine.eval(), 0);
    sine.init("sin(0)");
    EXPECT_EQ(sine.eval(), 7);

    E negation("-x");
    negation.add_func("-", [](double x) { return x + 100; });
    negation.init("-x-1");
    EXPECT_EQ(negation.eval({{"x", 1}}), 100);

    negation.add_func("log10", [](double x) { return x; });
    EXPECT_EQ(negation.avail_funcs().count("log10"), 1u);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(invalid_argument_of([&] { negation.init("log10(1)"); }), "Unbalanced equation");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "2");
}

TEST(Expression, CallablesRunRightOperandFirstAndTheFirstErrorWins) {
    E e;
    std::string calls;
    e.add_func("f", [&](double) -> double {
        calls += 'f';
        throw std::runtime_error("f");
    });
    e.add_func("g", [&](double) -> double {
        calls += 'g';
        throw std::logic_error("g");
    });
    e.init("f(1)+g(2)");
    EXPECT_THROW(e.eval(), std::logic_error);
    EXPECT_EQ(calls, "g");
}

// What a binding reports to a garbage collector: the table's callables and the copies its program holds;
// a program replaced while an evaluation runs it is that evaluation's, no longer the object's.
TEST(Expression, VisitsEveryCallableItHolds) {
    E e;
    const auto count = [&e] {
        std::size_t visited = 0;
        e.for_each_callable([&visited](const UnaryFunction<double>&) { ++visited; });
        return visited;
    };
    std::size_t inside = 0;
    e.add_func("f", [](double x) { return x; });
    e.add_func("g", [&](double x) {
        e.init("2");
        inside = count();
        return x;
    });
    const std::size_t table = e.avail_funcs().size();
    e.init("f(1)+f(2)+g(x)");
    EXPECT_EQ(count(), table + 3);
    EXPECT_EQ(e.eval({{"x", 1}}), 1 + 2 + 1);
    EXPECT_EQ(inside, table);
    EXPECT_EQ(count(), table);
}

TEST(Expression, EmptyFunctionParsesAndFailsWhenCalled) {
    E e;
    e.add_func("nothing", UnaryFunction<double>());
    e.init("nothing(1)");
    EXPECT_THROW(e.eval(), std::bad_function_call);
}

TEST(Expression, AssignmentCopiesTreeAndTablesButKeepsTextAndVariables) {
    E source("2+3");
    source.add_func("twice", [](double x) { return 2 * x; });
    E target("y");
    target.eval({{"y", 4}});
    target = source;
    EXPECT_EQ(target.eval(), 5);
    EXPECT_EQ(Access::text(target), "y");
    EXPECT_EQ(target.vars(), (Values{{"y", 4}}));
    target.init("twice(3)");
    EXPECT_EQ(target.eval(), 6);
    const E& same = target;
    target = same;  // assigning an object to itself keeps its tables
    EXPECT_EQ(target.eval(), 6);
}

// The copy that an assignment makes reads the assigned-to object's own variable table, never the other
// object's, which may be gone (AddressSanitizer reports a read of it).
TEST(Expression, AnAssignedTreeReadsItsOwnVariableTable) {
    E target("x");
    {
        E source("x+1");
        target = source;
        source.eval({{"x", 10}});
        EXPECT_EQ(target.eval({{"x", 1}}), 2);
    }
    EXPECT_EQ(target.eval({{"x", 2}}), 3);
    // Names the copy reads that the table lacks join it with 0; those it has keep their values.
    E fresh;
    {
        const E source("x*2+y");
        fresh = source;
        target = source;
    }
    EXPECT_TRUE(fresh.valid());
    EXPECT_EQ(fresh.vars(), (Values{{"x", 0}, {"y", 0}}));
    EXPECT_EQ(fresh.eval({{"x", 1}, {"y", 2}}), 4);
    EXPECT_EQ(target.vars(), (Values{{"x", 2}, {"y", 0}}));
}

E with_values(const std::string& text, const Values& values) {
    E local(text);
    local.eval(values);
    return local;
}

// Objects are values: a moved one takes its program, tables and variables along and reads its own
// table (AddressSanitizer reports a read of the one it left); a copy is independent of its original.
TEST(Expression, MovesAndCopiesAsAValue) {
    std::vector<E> many;
    for (int i = 0; i < 20; ++i) many.emplace_back("x+" + std::to_string(i));  // moved as the vector grows
    EXPECT_EQ(many[19].eval({{"x", 1}}), 20);
    std::optional<E> maybe(with_values("x*2+y", {{"x", 1}, {"y", 2}}));
    E moved(std::move(*maybe));
    maybe.reset();
    EXPECT_EQ(moved.vars(), (Values{{"x", 1}, {"y", 2}}));
    EXPECT_EQ(moved.eval({{"x", 3}, {"y", 1}}), 7);

    E copy(moved);
    copy.add_func("f", [](double x) { return -x; });
    copy.init("f(y)");
    EXPECT_EQ(copy.eval({{"y", 5}}), -5);
    EXPECT_EQ(moved.eval({{"x", 1}, {"y", 1}}), 3);
    EXPECT_EQ(moved.avail_funcs().count("f"), 0u);
    E twin(moved);
    EXPECT_EQ(Access::text(twin), "x*2+y");
    EXPECT_EQ(twin.vars(), moved.vars());

    E target("z");
    target.add_func("g", [](double x) { return x; });
    moved.add_func("sin", [](double) { return 7.0; });
    target = std::move(moved);
    EXPECT_EQ(target.eval({{"x", 2}, {"y", 0}}), 4);
    EXPECT_EQ(target.avail_funcs().count("g"), 0u);
    E constructed(std::move(target));
    // What a move leaves, whatever the object held: invalid, no text, no variables, the built-in functions.
    for (E* left : {&moved, &target}) {
        EXPECT_FALSE(left->valid());
        EXPECT_EQ(Access::text(*left), "");
        EXPECT_TRUE(left->vars().empty() && left->variables().empty());
        EXPECT_EQ(testing::invalid_argument_of([&] { left->eval(); }), messages::invalid_expression);
        EXPECT_EQ(testing::invalid_argument_of([&] { left->eval(Values{{"x", 1}}); }), messages::invalid_expression);
        EXPECT_EQ(left->avail_funcs().size(), detail::function_rows.size());
        left->init("sin(0)+x");
        EXPECT_EQ(left->eval({{"x", 1}}), 1);
    }
}

// A copy assignment that fails part-way (here a callable that cannot be copied) leaves the object as it
// was: formula, text, functions, variables and their values.
TEST(Expression, AFailedCopyAssignmentChangesNothing) {
    struct FailsToCopy {
        const bool* fail;
        explicit FailsToCopy(const bool* f) : fail(f) {}
        FailsToCopy(const FailsToCopy& other) : fail(other.fail) {
            if (*fail) throw std::runtime_error("no copy");
        }
        double operator()(double x) const { return x; }
    };
    bool fail = false;
    for (const char* source_text : {"g(x)+z", "x+z"}) {
        E source;
        source.add_func("g", FailsToCopy(&fail));
        source.init(source_text);
        E target("y*5");
        target.eval({{"y", 2}});
        fail = true;
        EXPECT_THROW(target = source, std::runtime_error);
        fail = false;
        EXPECT_EQ(Access::text(target), "y*5");
        EXPECT_EQ(target.vars(), (Values{{"y", 2}}));
        EXPECT_EQ(target.variables(), std::vector<std::string>{"y"});
        EXPECT_EQ(target.avail_funcs().count("g"), 0u);
        EXPECT_EQ(target.eval({{"y", 3}}), 15);
    }
}

// Moving the object away, another into it, assigning it or re-parsing it from inside its own evaluation, by
// values or by position: the evaluation ends with the program it runs and the variable entries that program
// reads (AddressSanitizer reports a read of freed memory otherwise). A long text is compiled in pieces, which
// give up when one calls a caller's callable, and then as a whole: each empties the variable table.
TEST(Expression, ChangesFromInsideItsOwnEvaluationAreSafe) {
    std::string long_text = "f(2)*x";
    for (int i = 3; i < 200; ++i) long_text += "+f(" + std::to_string(i) + ")*x";
    const E other("u+v");
    for (int way = 0; way < 6; ++way) {
        for (const bool by_position : {false, true}) {
            SCOPED_TRACE(std::to_string(way) + (by_position ? " by position" : ""));
            E a;
            a.add_func("f", [&, way](double v) {
                if (v != 1) return v;
                if (way == 0) E taken(std::move(a));
                if (way == 1) E().operator=(std::move(a));
                if (way == 2) a = E("y");
                if (way == 3) a = other;
                if (way == 4) a.init(long_text);
                if (way == 5) {
                    EXPECT_THROW(a.init(long_text + "+"), std::invalid_argument);  // a failed one
                }
                return v;
            });
            a.init("x*1000+f(1)+x");
            const double x = 2;
            // the x on the left is read after f has run
            EXPECT_EQ(by_position ? a.eval_at(&x) : a.eval({{"x", x}}), 2003);
            EXPECT_EQ(a.valid(), way >= 2);
            if (way == 5) {
                EXPECT_EQ(a.eval({{"x", 3}}), 3004);  // the formula stays, reading the refilled table
            }
        }
    }
}

// A C++ caller's own maps are what the engine takes and gives.
TEST(Expression, TakesAndGivesTheStandardMaps) {
    E e("3x^2+1");
    std::unordered_map<std::string, double> values{{"x", 2.0}};
    EXPECT_EQ(e.eval(values), 13);
    VariableNode<double> x("x", &values);
    EXPECT_EQ(x.evaluate(), 2);
    const std::unordered_map<std::string, double>& variables = e.vars();
    const std::unordered_map<std::string, std::function<double(double)>>& functions = e.avail_funcs();
    EXPECT_EQ(variables.at("x"), 2);
    EXPECT_EQ(functions.at("sqrt")(4), 2);
}

// A callable whose last copy re-parses the object when it is destroyed, as a Python callable's
// finaliser may.
struct ReparseWhenGone {
    E* target;
    std::string text;
    std::shared_ptr<int> copies = std::make_shared<int>(0);
    ReparseWhenGone(E* e, std::string t) : target(e), text(std::move(t)) {}
    ReparseWhenGone(const ReparseWhenGone&) = default;
    ~ReparseWhenGone() {
        if (copies.use_count() != 1) return;
        target->eval(Values{{"x", 1}, {"y", 1}, {"z", 1}});
        target->init(text);
    }
    double operator()(double v) const { return v; }
};

// Destroying a tree happens when the object is whole again: the last init to complete wins, and the tree
// and the variable table come from the same parse.
TEST(Expression, ATreeIsDestroyedOnlyOnceTheObjectIsWhole) {
    E e;
    e.add_func("g", ReparseWhenGone(&e, "y+1"));
    e.init("g(x)");
    e.add_func("g", UnaryFunction<double>());  // the tree holds the last copy
    e.init("x*2");                             // destroying g(x) parses y+1
    EXPECT_EQ(e.vars(), (Values{{"y", 0}}));
    EXPECT_EQ(e.eval({{"y", 1}}), 2);

    // A tree replaced during its own evaluation goes when that evaluation ends.
    E r;
    r.add_func("g", ReparseWhenGone(&r, "z*3"));
    r.add_func("f", [&r](double v) {
        r.init("2");
        return v;
    });
    r.init("f(1)+g(1)");
    r.add_func("g", UnaryFunction<double>());
    EXPECT_EQ(r.eval(), 2);
    EXPECT_EQ(r.vars(), (Values{{"z", 0}}));
    EXPECT_EQ(r.eval({{"z", 2}}), 6);
}

// A callable that re-parses the object it is evaluated in: the tree under evaluation stays alive
// until that evaluation has finished, and the new tree serves the next one.
TEST(Expression, ReparsingFromInsideAnEvaluationIsSafe) {
    E e;
    int calls = 0;
    e.add_func("f", [&](double x) {
        ++calls;
        e.init("2+2");
        EXPECT_EQ(e.eval(), 4);
        return x;
    });
    e.init("x+f(1)+x");
    EXPECT_EQ(e.eval({{"x", 10}}), 21);  // an evaluation reads its variables when it starts
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(e.eval(), 4);

    E g;
    g.add_func("f", [&](double x) {
        g = E();
        return x;
    });
    g.init("1+f(2)*3");
    EXPECT_EQ(g.eval(), 7);
    EXPECT_EQ(g.eval(), 0);
}

// A long sum of terms is parsed a piece at a time. Whatever the cuts, the result must be that of a
// parse of the whole text: the same tree, variables and validity, or the same error with the same
// output, and for a text that fails, what that failure leaves in the object.
struct PiecesCase {
    std::string text;
    bool builds_in_pieces;  // false: a piece fails or calls a caller's callable; the whole text is parsed
    friend std::ostream& operator<<(std::ostream& out, const PiecesCase& c) { return out << c.text; }
};

class Pieces : public ::testing::TestWithParam<PiecesCase> {};

// What an init leaves observable: the error and the output, validity, variables and the value.
template <typename Init>
std::string outcome_of(E& e, Init&& init) {
    std::string out;
    ::testing::internal::CaptureStdout();
    try {
        init();
    } catch (const std::invalid_argument& error) {
        out += std::string("invalid_argument: ") + error.what() + "; ";
    } catch (const std::out_of_range& error) {
        out += std::string("out_of_range: ") + error.what() + "; ";
    }
    out += "printed: " + ::testing::internal::GetCapturedStdout() + "; valid: " + std::to_string(e.valid()) + "; vars:";
    Values values;
    double next = 0.75;
    for (const auto& entry : e.vars()) {
        out += " " + entry.first;
        values[entry.first] = next;
        next = -2 * next + 0.125;
    }
    try {
        const double result = e.eval(values);
        char bits[64];
        std::snprintf(bits, sizeof bits, "%a", result);
        out += std::string("; value: ") + bits;
    } catch (const std::exception& error) {
        out += std::string("; eval: ") + error.what();
    }
    return out;
}

TEST_P(Pieces, GiveWhatAParseOfTheWholeTextGives) {
    const std::string& text = GetParam().text;
    E whole("a*3");
    const std::string expected = outcome_of(whole, [&] { whole.init(text); });
    for (const std::size_t piece_size : {1, 2, 3, 5, 8}) {
        SCOPED_TRACE(piece_size);
        E pieces("a*3");
        EXPECT_EQ(outcome_of(pieces, [&] { Access::init_in_pieces(pieces, text, piece_size); }), expected);
        E custom;
        custom.add_func("f", [](double x) { return 3 * x - 1; });  // a caller's callable
        E custom_whole;
        custom_whole.add_func("f", [](double x) { return 3 * x - 1; });
        EXPECT_EQ(outcome_of(custom, [&] { Access::init_in_pieces(custom, text, piece_size); }),
                  outcome_of(custom_whole, [&] { custom_whole.init(text); }));
    }
    E probe;
    probe.add_func("f", [](double x) { return x; });
    EXPECT_EQ(Access::builds_in_pieces(probe, text, 1), GetParam().builds_in_pieces);
}

INSTANTIATE_TEST_SUITE_P(Expression, Pieces, ::testing::Values(
    PiecesCase{"x+y-z+2x-3sin(y)+(x+y)*2-4", true},
    PiecesCase{"a-b-c-d-e-f", true},  // joined from the left: ((a-b)-c)-...
    PiecesCase{"-x+-y--z-(-x)", true},
    PiecesCase{"2^-x+3^2^2-1+x^y-2^x^-y", true},
    PiecesCase{"x*y/z+w/2*3-x/y*z", true},
    PiecesCase{"sin(x+y)+cos(x-y)-(x-(y+z))+abs(-x)", true},
    PiecesCase{"1.5+.5+5.+2.5.5-x", true},
    PiecesCase{"2x+3(x-1)-4sin(x)+5-6f(x)", false},  // a caller's callable: evaluated right operand first
    PiecesCase{"averyveryverylongname+x-averyveryverylongname", true},
    PiecesCase{"b+a+b+c-a", true},
    PiecesCase{"f(x)-f(f(y))+1", false},
    PiecesCase{"f(x)+1+2+y", false},  // only the first piece calls it, and y must still be read before
    PiecesCase{"x+*y", false},
    PiecesCase{"x*+y", false},
    PiecesCase{"x+y+", false},
    PiecesCase{"(x)(y)+z", false},
    PiecesCase{"x+y+(z)(z)", false},
    PiecesCase{"x+foo(y)-1", false},
    PiecesCase{"x+y z", false},
    PiecesCase{"x)+(y", false},
    PiecesCase{"x+sin()+y", false},
    PiecesCase{"x-+y", false},
    PiecesCase{"x+1+2x2y-3", false}));

// Long texts go through the pieces on their own. Re-parsing and assignment free such trees, also from
// inside an evaluation of the tree itself (a leak or a double free shows under the sanitizers).
TEST(Expression, LongSumsParseInPiecesAndAreReplacedAlsoFromInsideTheirOwnEvaluation) {
    std::string text = "3x^2-sin(y)/2";
    for (int i = 1; i < 20'000; ++i) text += "+3x^2-sin(y)/2";
    E e(text);
    EXPECT_EQ(e.vars(), (Values{{"x", 0}, {"y", 0}}));
    double expected = 0;
    for (int i = 0; i < 20'000; ++i) expected += 3 * std::pow(1.5, 2) - std::sin(-0.5) / 2;
    EXPECT_DOUBLE_EQ(e.eval({{"x", 1.5}, {"y", -0.5}}), expected);
    e.init(text);
    EXPECT_DOUBLE_EQ(e.eval({{"x", 1.5}, {"y", -0.5}}), expected);
    e = E();
    EXPECT_EQ(e.eval(), 0);

    E g;
    g.add_func("f", [&](double x) {
        g.init(text);  // replaces the long tree under evaluation
        return x;
    });
    g.init(text + "+f(1)");
    // f runs first; its parse sets x and y back to 0, but the evaluation read them when it started
    EXPECT_DOUBLE_EQ(g.eval({{"x", 1.5}, {"y", -0.5}}), expected + 1);
    EXPECT_DOUBLE_EQ(g.eval({{"x", 1.5}, {"y", -0.5}}), expected);
}

std::string sum_of_terms(int terms, const std::string& term) {
    std::string text = term;
    for (int i = 1; i < terms; ++i) text += "+" + term;
    return text;
}

// A long sum adds its terms one after the other from the left, as the text has them.
TEST(Expression, ARepeatedTermIsAddedInTheTextsOrder) {
    const double x = 2, y = 1;
    const double first = 3 * std::pow(x, 2.0), second = std::sin(y) / 2;
    double expected = first;
    for (int i = 1; i < 4000; ++i) expected += i % 2 == 1 ? second : first;
    E e(sum_of_terms(2000, "3x^2+sin(y)/2"));
    EXPECT_EQ(e.eval({{"x", x}, {"y", y}}), expected);
}

TEST(Expression, NestedEvaluationOfTheSameObject) {
    E e;
    int depth = 0;
    e.add_func("f", [&](double x) {
        if (++depth > 3) return x;
        return x + e.eval();
    });
    e.init("1+f(1)");
    // Four evaluations deep: the innermost gives 1+1, and each level adds 1+1 more.
    EXPECT_EQ(e.eval(), 8);
}

// An evaluation nested in one that holds more values than the machine's stack takes leaves the outer
// one's values as they were: the outer g gives 1, the nested one 2.
TEST(Expression, NestedEvaluationOfADeepProgramKeepsTheOuterValues) {
    E e;
    int depth = 0;
    e.add_func("g", [&](double x) { return depth == 0 ? x : 2 * x; });
    e.add_func("f", [&](double x) {
        if (depth > 0) return x;
        ++depth;
        const double nested = e.eval();
        --depth;
        return x + nested;
    });
    std::string text = "f(1)";
    for (int i = 0; i < 100; ++i) text += "+g(1)";
    e.init(text);
    // The hundred g(1) come first, right operand first, and wait while f runs: 1 + (1 + 100 * 2) + 100.
    EXPECT_EQ(e.eval(), 302);
}

struct NumeralCase {
    std::string text;
    double expected;
};

TEST(Expression, NumeralsReadToTheNearestDoubleOrSaturate) {
    const std::string many_digits = "1234567890" + std::string(9990, '7');
    const NumeralCase cases[] = {
        {"0.1", 0.1},
        {"1" + std::string(400, '0'), inf},
        {"0." + std::string(400, '0') + "1", 0.0},
        {"0." + std::string(310, '0') + "1", std::strtod(("0." + std::string(310, '0') + "1").c_str(), nullptr)},
        {many_digits, std::strtod(many_digits.c_str(), nullptr)},
        {"0.30000000000000004", 0.30000000000000004},
        {"9007199254740993", 9007199254740992.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 24));
        EXPECT_EQ(E(c.text).eval(), c.expected);
    }
}

// The digits of `value` written out in full, as the C library prints them: exact for every double.
std::string exact_digits(double value, int decimals) {
    std::string out(2000, '\0');
    out.resize(static_cast<std::size_t>(std::snprintf(out.data(), out.size(), "%.*f", decimals, value)));
    return out;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Numbers are read by std::from_chars where the standard library has it for doubles and by the C
// library's conversion in the "C" locale where it has not; the two agree on the edges of the range.
TEST(Expression, BothWaysOfReadingANumberAgreeAtTheEdges) {
    const double subnormal = std::numeric_limits<double>::denorm_min();
    const std::string zeros(323, '0');
    const struct {
        std::string numeral;
        double expected;
    } cases[] = {
        {exact_digits(std::numeric_limits<double>::max(), 0), std::numeric_limits<double>::max()},
        {"17976931348623158" + std::string(292, '0'), std::numeric_limits<double>::max()},  // below the tie
        {"17976931348623159" + std::string(292, '0'), inf},                                // above it
        {"1" + std::string(400, '0'), inf},
        {exact_digits(subnormal, 1074), subnormal},
        {"0." + zeros + "2", 0.0},        // below half the smallest subnormal
        {"0." + zeros + "3", subnormal},  // above it
        {exact_digits(std::numeric_limits<double>::min(), 1100), std::numeric_limits<double>::min()},
        {"1234567890" + std::string(9990, '7'), std::strtod(("1234567890" + std::string(9990, '7')).c_str(), nullptr)},
        {"0.1", 0.1},
        {"9007199254740993", 9007199254740992.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.numeral.substr(0, 24));
        EXPECT_TRUE(same_bits(detail::read_number<double>(c.numeral), c.expected));
        EXPECT_TRUE(same_bits(detail::read_number_in_c_locale<double>(c.numeral), c.expected));
    }
}

TEST(Expression, NumbersIgnoreTheProcessLocale) {
    if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr) GTEST_SKIP() << "locale de_DE.UTF-8 is not installed";
    EXPECT_EQ(std::strtod("1.5", nullptr), 1.0);  // the C library now wants a decimal comma
    const double result = E("1.5*2").eval();
    const double through_the_c_library = detail::read_number_in_c_locale<double>("1.5");
    std::setlocale(LC_ALL, "C");
    EXPECT_EQ(result, 3.0);
    EXPECT_EQ(through_the_c_library, 1.5);
}

// Large and deep inputs: none of them may exhaust the stack.
struct LargeCase {
    std::string name;
    std::string text;
    double expected;
};

std::string repeated(const std::string& part, std::size_t count) {
    std::string out;
    out.reserve(part.size() * count);
    for (std::size_t i = 0; i < count; ++i) out += part;
    return out;
}

TEST(Expression, MillionTermFormulasParseEvaluateAndDestroy) {
    const std::size_t n = 1'000'000;
    const LargeCase cases[] = {
        {"sum", repeated("x+", n - 1) + "x", static_cast<double>(n)},
        {"parentheses", std::string(n, '(') + "x" + std::string(n, ')'), 1},
        {"functions", repeated("abs(", n) + "-x" + std::string(n, ')'), 1},
        {"powers", repeated("x^", n - 1) + "x", 1},
        {"minus", repeated("-(", n) + "x" + std::string(n, ')'), 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        E e(c.text);
        EXPECT_EQ(e.eval({{"x", 1}}), c.expected);
        EXPECT_EQ(e.vars(), (Values{{"x", 1}}));
    }
}

TEST(Expression, TenMillionByteText) {
    const std::string text = repeated("1+", 5'000'000 - 1) + "1";
    EXPECT_EQ(E(text).eval(), 5'000'000);
}

}  // namespace
}  // namespace exprkit
