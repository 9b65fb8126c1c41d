// Evaluation speed of expression trees of 10^2, 10^4 and 10^6 nodes, in nanoseconds per node: a walk of
// the tree's nodes (AstNode::evaluate, what a tree assembled by hand does) and the program compiled from
// it (what an Expression runs).
//   cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DEXPRKIT_BUILD_BENCH=ON && cmake --build build/bench
//   ./build/bench/bench/nodes_bench
#include <exprkit/compiler.hpp>
#include <exprkit/evaluation.hpp>
#include <exprkit/nodes.hpp>

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace {

using namespace exprkit;
using Node = std::unique_ptr<AstNode<double>>;

// A balanced tree over the built-in operators with `leaves` leaves; every `variable_every`-th leaf is a
// variable (0: none), the rest constants; every fourth operator node gets a unary minus on top.
Node build_tree(std::int64_t leaves, int variable_every, const VariableTable<double>* table) {
    using detail::Operation;
    const Operation operations[] = {Operation::Add, Operation::Multiply, Operation::Subtract, Operation::Add};
    std::vector<Node> level;
    for (std::int64_t i = 0; i < leaves; ++i) {
        if (variable_every > 0 && i % variable_every == 0) {
            level.push_back(std::make_unique<VariableNode<double>>("x", table));
        } else {
            level.push_back(std::make_unique<ValueNode<double>>(1.0 + static_cast<double>(i % 7) * 1e-3));
        }
    }
    std::int64_t made = 0;
    while (level.size() > 1) {
        std::vector<Node> next;
        for (std::size_t i = 0; i + 1 < level.size(); i += 2) {
            Node node = std::make_unique<BinaryNode<double>>(operations[made % 4], std::move(level[i]), std::move(level[i + 1]));
            if (++made % 4 == 0) node = std::make_unique<UnaryNode<double>>(Operation::Negate, std::move(node));
            next.push_back(std::move(node));
        }
        if (level.size() % 2 == 1) next.push_back(std::move(level.back()));
        level = std::move(next);
    }
    return std::move(level.front());
}

std::int64_t count_nodes(std::int64_t leaves) {
    const std::int64_t binaries = leaves - 1;
    return leaves + binaries + binaries / 4;
}

void evaluate_tree(benchmark::State& state, int variable_every, bool compiled) {
    const std::int64_t leaves = state.range(0);
    VariableTable<double> table{{"x", 1.0}};
    const Node tree = build_tree(leaves, variable_every, &table);
    detail::Compiler<double> compiler;
    compiler.append(*tree);
    const auto program = compiler.finish(table, {&table.begin()->second});
    for (auto _ : state) benchmark::DoNotOptimize(compiled ? detail::evaluate(*program, true) : tree->evaluate());
    const auto nodes = static_cast<double>(count_nodes(leaves));
    state.counters["nodes"] = nodes;
    state.counters["per_node"] = benchmark::Counter(nodes, benchmark::Counter::kIsIterationInvariantRate |
                                                                  benchmark::Counter::kInvert);
}

void walk_constants(benchmark::State& state) { evaluate_tree(state, 0, false); }
void walk_variables_one_in_eight(benchmark::State& state) { evaluate_tree(state, 8, false); }
void program_constants(benchmark::State& state) { evaluate_tree(state, 0, true); }
void program_variables_one_in_eight(benchmark::State& state) { evaluate_tree(state, 8, true); }

// Leaf counts chosen so that the trees hold about 10^2, 10^4 and 10^6 nodes.
BENCHMARK(walk_constants)->Arg(44)->Arg(4'444)->Arg(444'444);
BENCHMARK(walk_variables_one_in_eight)->Arg(44)->Arg(4'444)->Arg(444'444);
BENCHMARK(program_constants)->Arg(44)->Arg(4'444)->Arg(444'444);
BENCHMARK(program_variables_one_in_eight)->Arg(44)->Arg(4'444)->Arg(444'444);

}  // namespace
