#include <exprkit/function_tables.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <unordered_map>
#include <vector>

namespace exprkit {
namespace {

const double inf = std::numeric_limits<double>::infinity();

struct UnaryCase {
    std::string name;
    double argument;
    double expected;  // compared bit for bit, so signs of zero and NaN count
};

TEST(FunctionTables, BuiltinFunctionsComputeWhatTheirNamesSay) {
    const UnaryFunctionTable<double>& table = builtin_unary_funcs<double>();
    const UnaryCase cases[] = {
        {"sqrt", 4, 2},          {"sqrt", -4, std::nan("")},   {"exp", 0, 1},
        {"sin", 0.5, std::sin(0.5)}, {"cos", 0, 1},            {"tan", 0.5, std::tan(0.5)},
        {"csec", 0, inf},        {"csec", 0.5, 1 / std::sin(0.5)}, {"sec", 0, 1},
        {"cot", 0, inf},         {"cot", 0.5, 1 / std::tan(0.5)},  {"asin", 1, std::asin(1.0)},
        {"acos", 2, std::nan("")}, {"atan", 1, std::atan(1.0)},  {"ln", 1, 0},
        {"ln", std::exp(2.0), 2}, {"log", 100, 2},              {"log", 0, -inf},
        {"abs", -3, 3},          {"abs", -0.0, 0.0},            {"abs", -inf, inf},
        {"-", 0.0, -0.0},        {"-", -2, 2},                  {"-", inf, -inf},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name + "(" + std::to_string(c.argument) + ")");
        const double result = table.at(c.name)(c.argument);
        if (std::isnan(c.expected)) {
            EXPECT_TRUE(std::isnan(result));
        } else {
            EXPECT_EQ(result, c.expected);
            EXPECT_EQ(std::signbit(result), std::signbit(c.expected));
        }
    }
}

TEST(FunctionTables, CotangentIsTheReciprocalOfTheTangent) {
    const UnaryFunctionTable<double>& table = builtin_unary_funcs<double>();
    for (const double x : {0.1, 1.0, 1.5707963267948966, 3.0, -2.5}) EXPECT_EQ(table.at("cot")(x), 1.0 / std::tan(x));
}

struct BinaryCase {
    std::string name;
    double left, right, expected;
};

TEST(FunctionTables, OperatorsAreIeeeArithmeticWithoutChecks) {
    std::unordered_map<std::string, BinaryFunction<double>> table;
    for (const auto& row : detail::operator_rows) table.emplace(std::string(1, row.symbol), detail::Builtin<double>{row.operation});
    const BinaryCase cases[] = {
        {"+", 2, 3, 5},   {"-", 5, 3, 2},  {"*", 4, 2.5, 10}, {"/", 7, 2, 3.5},  {"/", 1, 0, inf},
        {"/", -1, 0, -inf}, {"/", 0, 0, std::nan("")}, {"^", 2, 10, 1024}, {"^", 0, 0, 1},
        {"^", 2, 0.5, std::sqrt(2.0)}, {"^", -8, 1.0 / 3, std::nan("")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.left) + c.name + std::to_string(c.right));
        const double result = table.at(c.name)(c.left, c.right);
        if (std::isnan(c.expected)) {
            EXPECT_TRUE(std::isnan(result));
        } else {
            EXPECT_EQ(result, c.expected);
        }
    }
}

TEST(FunctionTables, HoldExactlyTheBuiltinNamesInFillOrder) {
    std::vector<std::string> unary_names, binary_names;
    for (const auto& row : detail::function_rows) unary_names.emplace_back(row.name);
    for (const auto& row : detail::operator_rows) binary_names.emplace_back(1, row.symbol);
    EXPECT_EQ(unary_names, (std::vector<std::string>{"sqrt", "exp", "sin", "cos", "tan", "csec", "sec", "cot", "asin",
                                                     "acos", "atan", "ln", "log", "abs", "-"}));
    EXPECT_EQ(binary_names, (std::vector<std::string>{"+", "-", "*", "/", "^"}));
    EXPECT_EQ(builtin_unary_funcs<double>().size(), unary_names.size());
}

// An object's function table is the shared built-in one until it changes or is handed out; a reference
// handed out sees later changes, copies are independent, and a replaced built-in no longer counts as one.
TEST(FunctionTables, AnObjectsTableSharesTheBuiltinsUntilItChanges) {
    FunctionTable<double> table;
    EXPECT_EQ(table.own_entries(), nullptr);
    ASSERT_NE(table.builtin("log"), nullptr);
    EXPECT_EQ(*table.builtin("log"), detail::Operation::Log);
    EXPECT_EQ(table.builtin("f"), nullptr);
    const UnaryFunctionTable<double>& handed = table.handed_out();
    EXPECT_EQ(&handed, table.own_entries());
    table.add("f", [](double x) { return x + 1; });
    table.add("log", [](double x) { return x; });
    EXPECT_EQ(handed.at("f")(1), 2);
    EXPECT_EQ(handed.at("log")(100), 100);
    EXPECT_EQ(table.builtin("log"), nullptr);
    ASSERT_NE(table.builtin("sin"), nullptr);

    FunctionTable<double> copy(table);
    copy.add("g", [](double x) { return x; });
    EXPECT_EQ(handed.count("g"), 0u);
    EXPECT_EQ(copy.builtin("log"), nullptr);
    EXPECT_EQ(copy.find("f"), copy.find("f"));
    EXPECT_NE(copy.find("f"), table.find("f"));
}

}  // namespace
}  // namespace exprkit
