// Parse and evaluation speed of Expression: construction from a short formula and from texts of 10^4 and
// 10^5 terms (the ratio shows whether parsing is linear), and evaluation of the short formula.
//   ./build/bench/bench/expression_bench
#include <exprkit/expression.hpp>

#include <benchmark/benchmark.h>

#include <string>

namespace {

using Engine = exprkit::Expression<double>;

std::string formula_of_terms(std::int64_t terms) {
    std::string text;
    for (std::int64_t i = 0; i < terms; ++i) {
        if (i > 0) text += (i % 3 == 0) ? "-" : "+";
        text += (i % 2 == 0) ? "3x^2" : "sin(y)/2";
    }
    return text;
}

void construct_short(benchmark::State& state) {
    const std::string text = "3x^2+sin(y)/2";
    for (auto _ : state) {
        Engine e(text);
        benchmark::DoNotOptimize(e);
    }
}

void construct_terms(benchmark::State& state) {
    const std::string text = formula_of_terms(state.range(0));
    for (auto _ : state) {
        Engine e(text);
        benchmark::DoNotOptimize(e);
    }
    state.counters["bytes"] = static_cast<double>(text.size());
    state.counters["per_term"] =
        benchmark::Counter(static_cast<double>(state.range(0)),
                           benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void evaluate_short(benchmark::State& state) {
    Engine e("3x^2+sin(y)/2");
    const Engine::Values values{{"x", 2.0}, {"y", 1.0}};
    for (auto _ : state) benchmark::DoNotOptimize(e.eval(values));
}

BENCHMARK(construct_short);
BENCHMARK(construct_terms)->Arg(1'000)->Arg(10'000)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond);
BENCHMARK(evaluate_short);

}  // namespace
