// Evaluation over many points in one call (Expression::eval_columns, eval_rows): each instruction runs over a
// block of points before the next, on registers that are columns of the block. Each point gets eval_at's bits:
// the same operation, powers and functions through apply(); a program that calls a callable goes point by point.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "evaluation.hpp"
#include "instructions.hpp"
#include "program.hpp"

namespace exprkit::detail {

// Where the values of one variable lie: point i's at base[i * step] (a column: step 1; rows: the stride).
template <typename T>
struct Feed {
    const T* base;
    std::size_t step;
    T at(std::size_t i) const { return base[i * step]; }
};

// Arithmetic on GCC's vector types, whose operators are the IEEE operations lane by lane (the scalar bits):
// -O2 vectorises no loop of unknown count or overlapping columns (`r0 = r0 * acc`). The vector registers'
// width (a wider type changes the inlined helpers' ABI); long double has none: one lane.
#if defined(__AVX__)
inline constexpr std::size_t lane_bytes = 32;
#else
inline constexpr std::size_t lane_bytes = 16;
#endif
template <typename T>
struct Lanes { using type = T; };
template <> struct Lanes<double> { typedef double type __attribute__((vector_size(lane_bytes))); };
template <> struct Lanes<float> { typedef float type __attribute__((vector_size(lane_bytes))); };
template <typename T>
inline constexpr std::size_t lane_count = sizeof(typename Lanes<T>::type) / sizeof(T);

// The lanes of `source` at point i: of its column, or the constant in every lane.
template <Source source, typename T, typename V = typename Lanes<T>::type>
[[gnu::always_inline]] inline V lanes(const T* column, T constant, std::size_t i) {
    V v = constant - V{};  // the constant in every lane: x - +0 is x, and -0 too (-0 + +0 is +0)
    if constexpr (source != Source::Const) std::memcpy(&v, column + i, sizeof v);
    return v;
}

// Whether `operation` is plain arithmetic, which the vector types do as apply() does it: `+ - * /` and `-x`.
constexpr bool on_lanes(Operation operation) {
    return is_binary(operation) ? operation != Operation::Power : operation == Operation::Negate;
}

template <Operation operation, typename V>
[[gnu::always_inline]] inline V lanes_apply(V x, V y) {
    if constexpr (operation == Operation::Add) return x + y;
    if constexpr (operation == Operation::Subtract) return x - y;
    if constexpr (operation == Operation::Multiply) return x * y;
    if constexpr (operation == Operation::Divide) return x / y;
    if constexpr (operation == Operation::Negate) return -x;
}

// Carries out `in` over a block's points [0, m): `column[k]` is where register k's values start, `r` the frame
// of columns of `width` values, `acc` the column the instruction before wrote. Lanes past m (to `lanes_end`)
// hold what they hold, and nothing reads them. A program that loads or calls never comes here.
template <std::size_t opcode, typename T>
[[gnu::always_inline]] inline void bulk_step(const Instruction<T>& in, const T* const* column, T* r, std::size_t width,
                                             const T*& acc, std::size_t m, std::size_t lanes_end) {
    using V = typename Lanes<T>::type;
    constexpr OpcodeRow row = decode(opcode);
    T* const out = r + in.result * width;
    const T constant = in.constant;
    const T* a = row.left == Source::Acc ? acc : column[in.a];  // unread when the operand is Const
    const T* b = row.right == Source::Acc ? acc : column[in.b];
    if constexpr (row.kind == Kind::Apply && on_lanes(row.operation)) {
        for (std::size_t i = 0; i < lanes_end; i += lane_count<T>) {
            const V left = lanes<row.left>(a, constant, i), right = lanes<row.right>(b, constant, i);
            const V value = lanes_apply<row.operation>(left, right);
            std::memcpy(out + i, &value, sizeof value);
        }
    } else if constexpr (row.kind == Kind::Apply && is_binary(row.operation)) {  // a power: its test, or pow
        for (std::size_t i = 0; i < m; ++i) {
            out[i] = apply(row.operation, row.left == Source::Const ? constant : a[i],
                           row.right == Source::Const ? constant : b[i]);
        }
    } else if constexpr (row.kind == Kind::Apply) {  // a function: the C library's call, or its exact arithmetic
        for (std::size_t i = 0; i < m; ++i) out[i] = apply(row.operation, a[i]);
    } else if constexpr (row.kind == Kind::Constant) {
        std::fill(out, out + m, constant);
    } else if constexpr (row.kind == Kind::Sum) {
        for (std::size_t i = 0; i < lanes_end; i += lane_count<T>) {
            V term = lanes<Source::Const>(a, constant, i) * lanes<Source::Reg>(column[in.b], constant, i);
#if defined(__x86_64__)  // the product a value of its own, rounded: never fused with the subtraction, as in step()
            if constexpr (sizeof(T) <= sizeof(double)) asm("" : "+x"(term));
#elif defined(__aarch64__)
            asm("" : "+w"(term));
#endif
            const V value = lanes<Source::Acc>(acc, constant, i) - term;
            std::memcpy(out + i, &value, sizeof value);
        }
    }  // a Load or a Call never comes here
    acc = out;
}

// The opcode tested against each of the table's, which the compiler makes a jump through a table.
template <typename T, std::size_t... opcodes>
[[gnu::always_inline]] inline void bulk_dispatch(const Instruction<T>& in, const T* const* column, T* r,
                                                 std::size_t width, const T*& acc, std::size_t m,
                                                 std::index_sequence<opcodes...>) {
    if (in.opcode >= opcode_count) __builtin_unreachable();
    const std::size_t end = (m + lane_count<T> - 1) / lane_count<T> * lane_count<T>;
    static_cast<void>(((in.opcode == opcodes && (bulk_step<opcodes>(in, column, r, width, acc, m, end), true)) || ...));
}

// Points a block: 256, or fewer for many registers, so that the columns stay near 64 KiB, in the nearer caches.
template <typename T>
std::size_t block_width(const Program<T>& program) {
    const std::size_t fitting = (std::size_t{64} << 10) / sizeof(T) / (program.registers() + 1);
    return std::max<std::size_t>(16, std::min<std::size_t>(256, fitting) & ~std::size_t{7});
}

// Evaluates a program that does not call at points [begin, end) from the feeds into results[begin, end),
// reading nothing else, so threads may share them. A variable's register is the caller's column itself where
// the block is whole, else a column of the frame that takes a copy.
template <typename T>
void evaluate_blocks(const Program<T>& program, const Feed<T>* feeds, std::size_t begin, std::size_t end,
                     T* results) {
    const std::size_t width = block_width(program), variables = program.variables.size();
    const std::unique_ptr<T[]> frame(new T[(program.registers() + 1) * width]());
    T* const r = frame.get();
    T* const zero = r + program.registers() * width;  // what a first instruction's `acc` would be, as in run()
    std::vector<const T*> column(program.registers());
    for (std::size_t k = 0; k < column.size(); ++k) column[k] = r + k * width;
    for (std::size_t start = begin; start < end; start += width) {
        const std::size_t m = std::min(width, end - start);
        for (std::size_t k = 0; k < variables; ++k) {
            const Feed<T> feed{feeds[k].base + start * feeds[k].step, feeds[k].step};
            T* own = r + k * width;
            column[k] = feed.step == 1 && m == width ? feed.base : own;
            if (column[k] == own) for (std::size_t i = 0; i < m; ++i) own[i] = feed.at(i);
        }
        const T* acc = zero;
        for (const Instruction<T>& in : program.code)
            bulk_dispatch(in, column.data(), r, width, acc, m, std::make_index_sequence<opcode_count>());
        std::memcpy(results + start, column[program.result], m * sizeof(T));
    }
}

// evaluate_blocks over [0, n) on `threads` threads, in runs of whole blocks: a point is computed alike on any
// thread. A failure (a thread that cannot start, no memory) is thrown once every thread has ended.
template <typename T>
void evaluate_split(const Program<T>& program, const Feed<T>* feeds, std::size_t n, T* results, unsigned threads) {
    const std::size_t width = block_width(program), blocks = (n + width - 1) / width;
    const std::size_t parts = std::max<std::size_t>(1, std::min<std::size_t>(threads, blocks));
    const std::size_t per_part = (blocks + parts - 1) / parts * width;
    std::vector<std::exception_ptr> failed(parts);
    const auto part = [&](std::size_t start) {
        try { evaluate_blocks(program, feeds, start, std::min(n, start + per_part), results); }
        catch (...) { failed[start / per_part] = std::current_exception(); }
    };
    std::vector<std::thread> helpers;
    try {
        for (std::size_t start = per_part; start < n; start += per_part) helpers.emplace_back(part, start);
    } catch (...) {
        failed[0] = std::current_exception();
    }
    if (!failed[0]) part(0);
    for (std::thread& helper : helpers) helper.join();
    for (const std::exception_ptr& failure : failed) if (failure) std::rethrow_exception(failure);
}

// The object's program and table, held for the whole call, and its variables' entries in the feeds' order.
template <typename T>
struct BulkCall {
    std::shared_ptr<Program<T>> program;
    std::shared_ptr<VariableTable<T>> table;
    std::vector<T*> entries;
    bool valid;
};

// As n eval_at calls in turn, with the program held when the call began: an invalid object stores point 0's
// values and throws; a program that calls stores and evaluates each point in turn (a callable that throws at
// point i leaves results[0, i) written); any other runs in blocks and stores the last point's values.
template <typename T>
void evaluate_bulk(const BulkCall<T>& call, const Feed<T>* feeds, std::size_t n, T* results, unsigned threads) {
    const auto store_point = [&call, feeds](std::size_t i) {  // as eval_at stores them
        for (std::size_t j = 0; j < call.entries.size(); ++j) *call.entries[j] = feeds[j].at(i);
    };
    if (!call.valid || !call.program) {
        if (n > 0) store_point(0);
        throw std::invalid_argument(messages::invalid_expression);
    }
    const Program<T>& program = *call.program;
    if (program.calls) {
        for (std::size_t i = 0; i < n; ++i) {
            store_point(i);
            results[i] = evaluate(program, true);
        }
        return;
    }
    // Each program variable from the feed of the object's variable whose entry it reads, or that entry.
    std::vector<Feed<T>> program_feeds;
    for (const Variable<T>& variable : program.variables) {
        if (variable.source == nullptr) {  // as evaluate() fails, once the first point's values are stored
            if (n > 0) store_point(0);
            throw std::out_of_range(messages::missing_key);
        }
        const auto at = std::find(call.entries.begin(), call.entries.end(), variable.source);
        const bool listed = at != call.entries.end();
        program_feeds.push_back(listed ? feeds[at - call.entries.begin()] : Feed<T>{variable.source, 0});
    }
    if (n == 0) return;
    evaluate_split(program, program_feeds.data(), n, results, threads);
    store_point(n - 1);
}

}  // namespace exprkit::detail
