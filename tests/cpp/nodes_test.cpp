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

// A variable that occurs more than once is read once per evaluation, until a callable runs: a callable
// may change the table, and later occurrences must then read the new value, as a fresh lookup would.
// The operators here are the built-in ones, which are no callables of a caller's.
class RepeatedVariable : public ::testing::TestWithParam<bool> {
protected:
    static BinaryFunction<double> builtin(const std::string& name) {
        BinaryOperatorTable<double> table;
        fill_binary_ops(table);
        return table.at(name);
    }
    const BinaryFunction<double> plus = builtin("+");
    const BinaryFunction<double> times = builtin("*");

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

TEST_P(RepeatedVariable, ARepeatedSubexpressionIsComputedAgainAfterACallable) {
    // Right first: x*x (1), the callable, then x*x again (100). Evaluated more than once, as programs
    // without a callable compute repeats once from their second run on.
    const auto tree = binary(plus, binary(times, variable("x", &bound), variable("x", &bound)),
                             binary(plus, unary(set_x_to_10, value(0)), binary(times, variable("x", &bound), variable("x", &bound))));
    for (int run = 0; run < 3; ++run) {
        changed["x"] = 1;
        EXPECT_EQ(given ? tree->evaluate(values) : tree->evaluate(), 100 + 0 + 1);
    }
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

TEST_P(RepeatedVariable, ManyDistinctNamesEachKeepTheirOwnValue) {
    Table table;
    Node tree = value(0);
    double expected = 0;
    for (int i = 0; i < 70; ++i) {  // more names than an evaluation remembers
        const std::string name = "v" + std::string(static_cast<std::size_t>(i / 26 + 1), static_cast<char>('a' + i % 26));
        table[name] = i;
        tree = binary(plus, std::move(tree), binary(times, variable(name, &table), variable(name, &table)));
        expected += static_cast<double>(i) * i;
    }
    EXPECT_EQ(given ? tree->evaluate(table) : tree->evaluate(), expected);
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

// The first evaluation flattens the tree and deep evaluations share one cached value stack: threads
// that evaluate the same tree at once must each get a correct result.
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

// Threads that evaluate a new tree at once race to make its programs, the plain one on the first run and
// the one that computes repeats once on the second; every result must be right.
TEST(Nodes, ConcurrentFirstEvaluationsOfATreeWithRepeatsAgree) {
    BinaryOperatorTable<double> ops;
    fill_binary_ops(ops);
    for (int round = 0; round < 50; ++round) {
        Table bound{{"x", 2}};
        Node tree = value(0);
        for (int i = 0; i < 200; ++i) {
            tree = binary(ops.at("+"), std::move(tree), binary(ops.at("*"), variable("x", &bound), value(3)));
        }
        std::atomic<int> wrong{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&] {
                for (int i = 0; i < 5; ++i) {
                    if (tree->evaluate() != 1200 || tree->evaluate(Table{{"x", 1}}) != 600) ++wrong;
                }
            });
        }
        for (auto& thread : threads) thread.join();
        EXPECT_EQ(wrong.load(), 0);
    }
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

// Nodes are carved from blocks that each thread fills in turn, and a block goes back to the heap when
// its last node is deleted. A wrong count shows up as a leak or a use after free under the sanitizers
// and valgrind; the results show that no node was overwritten while alive.
Node sum_of_ones(int terms) {
    Node tree = value(1);
    for (int i = 1; i < terms; ++i) tree = binary(plus, std::move(tree), value(1));
    return tree;
}

TEST(NodeBlocks, TreesOutliveTheThreadThatBuiltThem) {
    std::vector<Node> trees;
    std::thread builder([&] {
        for (int i = 0; i < 4; ++i) trees.push_back(sum_of_ones(5'000 * (i + 1)));
    });
    builder.join();
    for (int i = 0; i < 4; ++i) EXPECT_EQ(trees[i]->evaluate(), 5'000 * (i + 1));
    trees.clear();
    const Node after = sum_of_ones(100);  // the blocks freed above may come back
    EXPECT_EQ(after->evaluate(), 100);
}

TEST(NodeBlocks, TreesSharingBlocksMayBeDestroyedOnSeveralThreadsAtOnce) {
    // Grown side by side, so that every block holds nodes of every tree.
    std::vector<Node> trees;
    for (int t = 0; t < 8; ++t) trees.push_back(value(0));
    for (int i = 0; i < 20'000; ++i) {
        for (auto& tree : trees) tree = binary(plus, std::move(tree), value(1));
    }
    for (const auto& tree : trees) ASSERT_EQ(tree->evaluate(), 20'000);
    std::vector<std::thread> destroyers;
    for (int t = 0; t < 4; ++t) {
        destroyers.emplace_back([&trees, t] {
            trees[2 * t].reset();
            trees[2 * t + 1].reset();
        });
    }
    for (auto& thread : destroyers) thread.join();
}

#ifdef EXPRKIT_POISONS_BLOCKS
// Carving must not hide a dangling node from AddressSanitizer.
TEST(NodeBlocksDeathTest, ANodeReadAfterItsDeletionIsReported) {
    EXPECT_DEATH(
        {
            const auto* node = new ValueNode<double>(1);
            delete node;
            volatile double read = node->value;
            static_cast<void>(read);
        },
        "use-after-poison");
}

// Nor the nodes of a tree freed with its tally, which are not deleted one by one: every block the tree
// had to itself is poisoned, the one kept for reuse too.
TEST(NodeBlocks, NodesOfATreeFreedWithItsTallyArePoisoned) {
    const Node keep = sum_of_ones(5'000);  // starts new blocks, so that the thread keeps no spare one
    detail::NodeBlocks::Tally tally;
    Node tree;
    std::vector<const void*> leaves;  // one stream of blocks
    std::vector<const void*> sums;    // another
    {
        const detail::NodeBlocks::Counting counting(tally);
        tree = value(0);
        for (int i = 1; i <= 20'000; ++i) {
            Node leaf = value(i);
            leaves.push_back(leaf.get());
            tree = binary(plus, std::move(tree), std::move(leaf));
            sums.push_back(tree.get());
        }
    }
    detail::OwnedTree<double>(std::move(tree), std::move(tally)).reset();
    const auto block_of = [](const void* node) { return reinterpret_cast<std::uintptr_t>(node) >> 16; };
    std::size_t checked = 0;
    for (const auto* nodes : {&leaves, &sums}) {
        for (const void* node : *nodes) {
            // A stream's first block also holds older nodes, its last one is still being carved from.
            if (block_of(node) == block_of(nodes->front()) || block_of(node) == block_of(nodes->back())) continue;
            ASSERT_TRUE(__asan_address_is_poisoned(node));
            ++checked;
        }
    }
    EXPECT_GT(checked, 30'000u);
}
#endif

TEST(NodeBlocks, SingleNodesAreReturnedInAnyOrder) {
    std::vector<Node> nodes;
    for (int i = 0; i < 50'000; ++i) nodes.push_back(i % 3 == 0 ? value(i) : unary(std::negate<double>(), value(i)));
    for (std::size_t i = 0; i < nodes.size(); i += 2) nodes[i].reset();  // every other one first
    for (std::size_t i = 1; i < nodes.size(); i += 2) {
        const double expected = i % 3 == 0 ? static_cast<double>(i) : -static_cast<double>(i);
        ASSERT_EQ(nodes[i]->evaluate(), expected);
    }
    nodes.clear();
}

// The tree builder's form carves an operator whose left operand is an operator apart from the others.
// Trees mixing both forms evaluate, copy and destroy like any other, and a constructor that throws gives
// the memory back (a leak or a double free shows under the sanitizers and valgrind).
Node along_spine(const BinaryFunction<double>& fn, Node left, Node right) {
    const AstNode<double>& left_operand = *left;
    return Node(new (left_operand) BinaryNode<double>(fn, std::move(left), std::move(right)));
}

TEST(NodeBlocks, OperatorsCarvedAlongALeftSpineBehaveAsAnyOther) {
    Node tree = value(0);
    for (int i = 1; i <= 30'000; ++i) {
        Node term = binary(times, value(2), value(i % 7));
        tree = i % 3 == 0 ? binary(plus, std::move(tree), std::move(term))
                          : along_spine(i % 2 ? plus : minus, std::move(tree), std::move(term));
    }
    double expected = 0;
    for (int i = 1; i <= 30'000; ++i) expected += (i % 3 != 0 && i % 2 == 0 ? -2.0 : 2.0) * (i % 7);
    EXPECT_EQ(tree->evaluate(), expected);
    const Node copy = tree->clone();
    tree.reset();
    EXPECT_EQ(copy->evaluate(Table{}), expected);
}

TEST(NodeBlocks, ASpineOperatorWhoseConstructionFailsIsFreed) {
    EXPECT_THROW(along_spine(plus, value(1), nullptr), std::invalid_argument);
    EXPECT_THROW(along_spine(plus, binary(plus, value(1), value(2)), nullptr), std::invalid_argument);
}

// A destruction keeps the counts of only a few blocks at a time; a walk that meets many more blocks
// in turn must still bring every count to zero, once.
TEST(NodeBlocks, AWalkThatAlternatesAmongManyBlocksReturnsThemAll) {
    constexpr int blocks = 8;
    constexpr int per_block = 4'000;  // leaves enough to fill a block of their own
    std::vector<std::vector<Node>> leaves(blocks);
    for (int b = 0; b < blocks; ++b) {
        for (int i = 0; i < per_block; ++i) leaves[b].push_back(value(b));
    }
    Node tree = value(0);
    for (int i = 0; i < per_block; ++i) {
        for (int b = 0; b < blocks; ++b) tree = binary(plus, std::move(tree), std::move(leaves[b][i]));
    }
    EXPECT_EQ(tree->evaluate(), per_block * (blocks * (blocks - 1) / 2));
    tree.reset();
    const Node after = sum_of_ones(50'000);  // the heap may hand the returned blocks out again
    EXPECT_EQ(after->evaluate(), 50'000);
}

// A tally counts what its thread carves while a Counting scope is open, in every stream and across
// blocks; a scope opened inside another counts apart, and other threads count for nobody.
TEST(NodeBlocks, ATallyCountsWhatItsThreadCarvesWhileOpen) {
    using detail::NodeBlocks;
    const Node before = sum_of_ones(10);
    NodeBlocks::Tally outer;
    NodeBlocks::Tally inner;
    std::vector<Node> kept;
    {
        const NodeBlocks::Counting counting(outer);
        kept.push_back(sum_of_ones(3'000));  // 5,999 nodes, over several blocks
        {
            const NodeBlocks::Counting nested(inner);
            kept.push_back(along_spine(plus, binary(plus, value(1), value(2)), value(3)));  // 5
        }
        std::thread([] { EXPECT_EQ(sum_of_ones(50)->evaluate(), 50); }).join();
        kept.push_back(value(1));
    }
    const Node after = sum_of_ones(10);
    EXPECT_EQ(outer.objects(), 6'000u);
    EXPECT_EQ(inner.objects(), 5u);
    EXPECT_TRUE(outer.counts_all());
}

// A tree freed with its tally hands its blocks back without visiting its nodes. Trees whose nodes
// share the first and the last of those blocks stay intact (a block freed too early shows under the
// sanitizers as a use after free, one never freed as a leak), and the root's own program goes too.
TEST(NodeBlocks, ATreeFreedWithItsTallyLeavesTheNeighboursInItsBlocksAlone) {
    using detail::NodeBlocks;
    const Node neighbour_before = sum_of_ones(100);
    NodeBlocks::Tally tally;
    Node tree;
    {
        const NodeBlocks::Counting counting(tally);
        tree = value(0);
        for (int i = 1; i <= 20'000; ++i) {
            tree = along_spine(plus, std::move(tree), binary(times, value(2), unary(std::negate<double>(), value(i % 5))));
        }
    }
    const Node neighbour_after = sum_of_ones(100);
    double expected = 0;
    for (int i = 1; i <= 20'000; ++i) expected += -2.0 * (i % 5);
    EXPECT_EQ(tree->evaluate(), expected);  // makes the root's program
    detail::OwnedTree<double> owned(std::move(tree), std::move(tally));
    detail::OwnedTree<double> moved(std::move(owned));
    EXPECT_FALSE(owned);
    EXPECT_EQ(moved->evaluate(), expected);
    moved.reset();
    EXPECT_FALSE(moved);
    EXPECT_EQ(neighbour_before->evaluate(), 100);
    EXPECT_EQ(neighbour_after->evaluate(), 100);
    const Node reuse = sum_of_ones(50'000);  // the heap may hand the freed blocks out again
    EXPECT_EQ(reuse->evaluate(), 50'000);
}

}  // namespace
}  // namespace exprkit
