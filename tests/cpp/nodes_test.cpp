#include <exprkit/nodes.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace exprkit {
namespace {

using Node = std::unique_ptr<AstNode<double>>;
using Table = VariableTable<double>;

Node value(double v) { return std::make_unique<ValueNode<double>>(v); }
Node variable(const std::string& name, const Table* table) { return std::make_unique<VariableNode<double>>(name, table); }
Node unary(UnaryFunction<double> fn, Node child) { return std::make_unique<UnaryNode<double>>(std::move(fn), std::move(child)); }
Node binary(BinaryFunction<double> fn, Node left, Node right) {
    return std::make_unique<BinaryNode<double>>(std::move(fn), std::move(left), std::move(right));
}

const BinaryFunction<double> plus = [](double l, double r) { return l + r; };
const BinaryFunction<double> minus = [](double l, double r) { return l - r; };
const BinaryFunction<double> times = [](double l, double r) { return l * r; };

double out_of_range_message_or_nan(const std::function<double()>& action, std::string& message) {
    try {
        return action();
    } catch (const std::out_of_range& error) {
        message = error.what();
    }
    return std::nan("");
}

TEST(Nodes, ValueNodeIgnoresEveryTable) {
    const auto node = value(2.5);
    EXPECT_EQ(node->evaluate(), 2.5);
    EXPECT_EQ(node->evaluate(Table{}), 2.5);
    EXPECT_EQ(node->evaluate(Table{{"x", 1}}), 2.5);
    EXPECT_TRUE(node->is_valid());
}

TEST(Nodes, VariableNodeReadsBoundTableOrGivenValues) {
    Table bound{{"x", 3}};
    const auto node = variable("x", &bound);
    EXPECT_EQ(node->evaluate(), 3);
    EXPECT_EQ(node->evaluate(Table{{"x", 7}}), 7);
    bound["x"] = 4;  // looked up afresh on every evaluation
    EXPECT_EQ(node->evaluate(), 4);

    std::string message;
    out_of_range_message_or_nan([&] { return node->evaluate(Table{{"y", 1}}); }, message);
    EXPECT_EQ(message, "invalid unordered_map<K, T> key");
    message.clear();
    const auto unbound = variable("x", nullptr);
    out_of_range_message_or_nan([&] { return unbound->evaluate(); }, message);
    EXPECT_EQ(message, "invalid unordered_map<K, T> key");
    EXPECT_FALSE(unbound->is_valid());
}

// A callable may change the table while the tree is evaluated: a variable read after it must give the
// new value, as a fresh lookup would. The operators here are the built-in ones.
class RepeatedVariable : public ::testing::TestWithParam<bool> {
protected:
    const BinaryFunction<double> plus = detail::Builtin<double>{detail::Operation::Add};
    const BinaryFunction<double> times = detail::Builtin<double>{detail::Operation::Multiply};

    // The table the tree reads x from (the bound one, or the values given), and a callable that sets
    // x in it to 10.
    const bool given = GetParam();
    Table bound{{"x", 1}};
    Table values{{"x", 1}};
    Table& changed = given ? values : bound;
    const UnaryFunction<double> set_x_to_10 = [this](double v) {
        changed["x"] = 10;
        return v;
    };
};

TEST_P(RepeatedVariable, ReadsWhatACallableStoredBetweenOccurrences) {
    // Evaluated right first: x (1), then x again (1), then the callable, then x (10) and x (10).
    const auto tree = binary(plus, binary(times, variable("x", &bound), variable("x", &bound)),
                             binary(plus, unary(set_x_to_10, value(0)), binary(plus, variable("x", &bound), variable("x", &bound))));
    EXPECT_EQ(given ? tree->evaluate(values) : tree->evaluate(), 100 + 0 + 2);
    EXPECT_EQ(given ? tree->evaluate(values) : tree->evaluate(), 100 + 0 + 20);
}

TEST_P(RepeatedVariable, MissingNameFailsAtItsFirstOccurrenceInEvaluationOrder) {
    int calls = 0;
    const UnaryFunction<double> counted = [&calls](double v) {
        ++calls;
        return v;
    };
    // Right first: x, the callable, then y, which has no value.
    const auto tree = binary(plus, binary(plus, variable("y", &bound), variable("x", &bound)),
                             binary(plus, unary(counted, value(0)), variable("x", &bound)));
    EXPECT_THROW(given ? tree->evaluate(Table{{"x", 1}}) : tree->evaluate(), std::out_of_range);
    EXPECT_EQ(calls, 1);
}

INSTANTIATE_TEST_SUITE_P(Nodes, RepeatedVariable, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "GivenValues" : "BoundTable"; });

TEST(Nodes, BinaryNodePassesOperandsAsLeftThenRight) {
    EXPECT_EQ(binary(minus, value(5), value(3))->evaluate(), 2);
    EXPECT_EQ(binary(minus, value(5), binary(minus, value(3), value(1)))->evaluate(Table{}), 3);
}

TEST(Nodes, IsValidTracksTheBoundTable) {
    Table bound;
    const auto tree = binary(plus, variable("x", &bound), value(1));
    EXPECT_FALSE(tree->is_valid());
    bound["x"] = 0;
    EXPECT_TRUE(tree->is_valid());
    EXPECT_TRUE(binary(plus, value(1), unary(std::negate<double>(), value(2)))->is_valid());
}

TEST(Nodes, CloneReadsTheSameTableAsItsSource) {
    Table bound{{"x", 2}};
    const auto tree = binary(times, variable("x", &bound), value(2));
    const auto copy = tree->clone();
    EXPECT_EQ(copy->evaluate(), 4);
    bound["x"] = 5;
    EXPECT_EQ(tree->evaluate(), 10);
    EXPECT_EQ(copy->evaluate(), 10);
}

TEST(Nodes, RightOperandIsEvaluatedBeforeLeft) {
    std::string calls;
    auto recorder = [&calls](char name) {
        return UnaryFunction<double>([&calls, name](double x) {
            calls += name;
            return x;
        });
    };
    // f(1) + g(2) * h(3): right subtree first, and inside it right first again.
    const auto tree = binary(plus, unary(recorder('f'), value(1)),
                             binary(times, unary(recorder('g'), value(2)), unary(recorder('h'), value(3))));
    EXPECT_EQ(tree->evaluate(), 7);
    EXPECT_EQ(calls, "hgf");
    calls.clear();
    EXPECT_EQ(tree->clone()->evaluate(Table{}), 7);
    EXPECT_EQ(calls, "hgf");
}

TEST(Nodes, ExceptionFromACallablePassesThroughAndTreeStaysUsable) {
    int calls = 0;
    const auto tree = binary(plus, value(1), unary([&calls](double x) {
                                 if (++calls == 1) throw std::runtime_error("first call fails");
                                 return x;
                             }, value(2)));
    EXPECT_THROW(tree->evaluate(), std::runtime_error);
    EXPECT_EQ(tree->evaluate(), 3);
    EXPECT_EQ(calls, 2);
}

TEST(Nodes, EmptyCallableThrowsAfterItsOperandWasEvaluated) {
    std::vector<double> seen;
    const auto tree = unary(UnaryFunction<double>(), unary([&seen](double x) {
                                seen.push_back(x);
                                return x;
                            }, value(9)));
    EXPECT_THROW(tree->evaluate(), std::bad_function_call);
    EXPECT_EQ(seen, std::vector<double>{9});
    EXPECT_THROW(binary(BinaryFunction<double>(), value(1), value(2))->evaluate(Table{}), std::bad_function_call);
}

TEST(Nodes, EmptyOperandIsRejectedAtConstruction) {
    EXPECT_THROW(unary(std::negate<double>(), nullptr), std::invalid_argument);
    EXPECT_THROW(binary(plus, value(1), nullptr), std::invalid_argument);
}

TEST(Nodes, DestroyingATreeReleasesEveryCallableCopyOnce) {
    auto marker = std::make_shared<int>(0);
    UnaryFunction<double> counted = [marker](double x) { return x; };
    BinaryFunction<double> counted_op = [marker](double l, double r) { return l + r; };
    {
        const auto tree = binary(counted_op, unary(counted, value(1)), unary(counted, unary(counted, value(2))));
        const auto copy = tree->clone();
        EXPECT_EQ(marker.use_count(), 1 + 2 + 2 * 4);
    }
    EXPECT_EQ(marker.use_count(), 3);
}

// A callable that evaluates the tree it belongs to, while that tree is being evaluated: nested
// evaluations must not share the outer one's value stack.
TEST(Nodes, NestedEvaluationOfTheSameDeepTreeIsIndependent) {
    Table bound{{"x", 1}};
    const AstNode<double>* self = nullptr;
    bool nested = false;
    UnaryFunction<double> reenter = [&](double x) {
        if (nested) return x;
        nested = true;
        const double inner = self->evaluate();
        nested = false;
        return x + inner;
    };
    Node tree = unary(reenter, value(0));
    for (int i = 0; i < 100; ++i) tree = binary(plus, std::move(tree), variable("x", &bound));
    self = tree.get();
    // 100 x's, plus the nested evaluation's own 100.
    EXPECT_EQ(tree->evaluate(), 200);
}

// Threads that evaluate the same deep tree at once must each get a correct result.
TEST(Nodes, ConcurrentEvaluationsOfOneTreeAgree) {
    Table bound{{"x", 2}};
    Node tree = variable("x", &bound);
    for (int i = 0; i < 10'000; ++i) tree = binary(plus, std::move(tree), value(1));
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 100; ++i) {
                if (tree->evaluate() != 10'002 || tree->evaluate(Table{{"x", 3}}) != 10'003) ++wrong;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

// Chains a million levels deep, of each shape: built, evaluated both ways, cloned, checked, destroyed.
class DeepTree : public ::testing::TestWithParam<std::string> {};

TEST_P(DeepTree, MillionLevelsNeedNoRecursion) {
    const int depth = 1'000'000;
    Table bound{{"x", 1}};
    Node tree = variable("x", &bound);
    for (int i = 0; i < depth; ++i) {
        if (GetParam() == "left") tree = binary(plus, std::move(tree), value(1));
        if (GetParam() == "right") tree = binary(plus, value(1), std::move(tree));
        if (GetParam() == "unary") tree = unary(std::negate<double>(), std::move(tree));
    }
    const double expected = GetParam() == "unary" ? 1.0 : 1.0 + depth;
    EXPECT_EQ(tree->evaluate(), expected);
    EXPECT_EQ(tree->evaluate(Table{{"x", 1}}), expected);
    EXPECT_TRUE(tree->is_valid());
    Node copy = tree->clone();
    tree.reset();
    bound["x"] = 3;
    EXPECT_EQ(copy->evaluate(), expected + 2);
    bound.clear();
    EXPECT_FALSE(copy->is_valid());
}

INSTANTIATE_TEST_SUITE_P(Nodes, DeepTree, ::testing::Values("left", "right", "unary"));

}  // namespace
}  // namespace exprkit
