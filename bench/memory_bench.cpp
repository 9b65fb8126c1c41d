// Where the time of a long parse goes: construction and destruction, timed apart, of the texts of
// 10^4 and 10^5 terms of bench/compare.py ("3x^2+sin(y)/2" joined by "+"), one light pass over the tokens
// of a whole text, and one read of every cache line of working sets from 1 to 128 MB, which shows where
// this machine's caches end. The tokens of the 10^4-term text (about 5 MB) fit in the last-level cache
// and those of the 10^5-term text (about 50 MB) do not, so a pass over them takes more than 10 times as
// long for 10 times the tokens: the part of a long parse that grows faster than its text.
//   ./build/bench/bench/memory_bench
#include <exprkit/expression.hpp>

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace exprkit;

std::string text_of_terms(std::int64_t terms) {
    std::string text;
    for (std::int64_t i = 0; i < terms; ++i) {
        if (i > 0) text += '+';
        text += "3x^2+sin(y)/2";
    }
    return text;
}

void count_terms(benchmark::State& state) {
    state.counters["per_term"] =
        benchmark::Counter(static_cast<double>(state.range(0)),
                           benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Times one part of a round: `prepare` makes the round's subject outside the timing, `timed` works on
// it, and the subject is freed outside the timing again.
template <typename Prepare, typename Timed>
void time_part(benchmark::State& state, Prepare prepare, Timed timed) {
    for (auto _ : state) {
        state.PauseTiming();
        auto subject = prepare();
        state.ResumeTiming();
        timed(subject);
        benchmark::ClobberMemory();
        state.PauseTiming();
        subject.reset();
        state.ResumeTiming();
    }
    count_terms(state);
}

using ExpressionPointer = std::unique_ptr<Expression<double>>;

// Construction alone: each tree is destroyed outside the timing.
void construct(benchmark::State& state) {
    const std::string text = text_of_terms(state.range(0));
    time_part(state, [] { return ExpressionPointer(); },
              [&](ExpressionPointer& expression) { expression = std::make_unique<Expression<double>>(text); });
}

void destroy(benchmark::State& state) {
    const std::string text = text_of_terms(state.range(0));
    time_part(state, [&] { return std::make_unique<Expression<double>>(text); },
              [](ExpressionPointer& expression) { expression.reset(); });
}

// One of the light passes of a parse over the token sequence, marking unary minus, timed as a parse of
// the whole text would meet it: right after the tokenizer has written the sequence. It reads each
// token's type and first byte and changes nothing in this text.
void token_pass(benchmark::State& state) {
    const std::string text = text_of_terms(state.range(0));
    const auto tokenized = [&] {
        return std::make_unique<PostfixConverter>(Lexer(text).tokenize(), make_precedence_table());
    };
    time_part(state, tokenized, [](std::unique_ptr<PostfixConverter>& converter) { converter->mark_unary_minus(); });
}

// One 8-byte read per 64-byte line, so that the rate is that of moving lines into the core.
void read_every_line(benchmark::State& state) {
    const auto bytes = static_cast<std::size_t>(state.range(0)) << 20;
    const std::vector<std::uint64_t> data(bytes / sizeof(std::uint64_t), 1);
    for (auto _ : state) {
        std::uint64_t sum = 0;
        for (std::size_t i = 0; i < data.size(); i += 8) sum += data[i];
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(bytes));
}

BENCHMARK(construct)->Arg(10'000)->Arg(100'000)->Unit(benchmark::kMillisecond);
BENCHMARK(destroy)->Arg(10'000)->Arg(100'000)->Unit(benchmark::kMillisecond);
BENCHMARK(token_pass)->Arg(10'000)->Arg(100'000)->Unit(benchmark::kMicrosecond);
BENCHMARK(read_every_line)->RangeMultiplier(2)->Range(1, 128)->Unit(benchmark::kMicrosecond);

}  // namespace
