// Evaluation over many points in one call (Expression::eval_columns, eval_rows): each instruction runs over
// a block of points before the next one, on registers that are columns of the block, so the jump to an
// instruction's case is paid once a block instead of once a point, and the arithmetic runs in plain loops
// that the compiler vectorises. Each point gets the bits that eval_at gives it: every column loop does, point
// by point, the one operation of the instruction's step, through the same apply() (a power and a built-in
// function stay the C library's scalar call, and x^2 its exact test); a sum's step keeps its product a
// rounded value of its own. A program that calls a caller's callable is evaluated point by point, in order.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>
#include <thread>
#include <type_traits>
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

// The arithmetic runs on a few points at once through GCC's vector types (32 bytes: 4 doubles), whose operators
// are the IEEE operations lane by lane, the bits of the scalar ones: GCC's -O2 vectorises no loop whose count
// it does not know or whose columns may overlap (as `r0 = r0 * acc` makes them), and these need neither.
// long double has no vector type: one lane, the plain loop. 32 bytes where x86-64 has AVX, else 16 (the vector
// registers' size: a wider type would change the ABI of the inlined helpers, with a warning).
#if defined(__AVX__)
inline constexpr std::size_t lane_bytes = 32;
#else
inline constexpr std::size_t lane_bytes = 16;
#endif
typedef double double_lanes __attribute__((vector_size(lane_bytes)));
typedef float float_lanes __attribute__((vector_size(lane_bytes)));
template <typename T>
struct Lanes { using type = T; };
template <> struct Lanes<double> { using type = double_lanes; };
template <> struct Lanes<float> { using type = float_lanes; };
template <typename T>
inline constexpr std::size_t lane_count = sizeof(typename Lanes<T>::type) / sizeof(T);

// The lanes of `source` at point i: of its column, or the constant in every lane.
template <Source source, typename T, typename V = typename Lanes<T>::type>
[[gnu::always_inline]] inline V lanes(const T* column, T constant, std::size_t i) {
    V v;
    if constexpr (source == Source::Const) v = V{} + constant;
    else std::memcpy(&v, column + i, sizeof v);
    return v;
}

// Whether `operation` is plain arithmetic, which the vector types do as apply() does it: `+ - * /` and `-x`.
constexpr bool on_lanes(Operation operation) {
    return operation == Operation::Add || operation == Operation::Subtract || operation == Operation::Multiply ||
           operation == Operation::Divide || operation == Operation::Negate;
}

template <Operation operation, typename V>
[[gnu::always_inline]] inline V lanes_apply(V x, V y) {
    if constexpr (operation == Operation::Add) return x + y;
    if constexpr (operation == Operation::Subtract) return x - y;
    if constexpr (operation == Operation::Multiply) return x * y;
    if constexpr (operation == Operation::Divide) return x / y;
    if constexpr (operation == Operation::Negate) return -x;
}

// Carries out `in` over a block's points [0, m): `column[k]` is where register k's values start, `r` the
// frame, whose result registers are columns of `width` values, and `acc` the column that the instruction before
// wrote (the machine register of a point's evaluation). Lanes past m (up to `lanes_end`, within the width) hold
// what they hold, and nothing reads them. Only Apply, Constant and Sum come here: a program that loads or
// calls is evaluated point by point.
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
    } else {
        static_assert(row.kind == Kind::Load || row.kind == Kind::Call, "every kind of opcode has its step");
        __builtin_unreachable();  // kept from here by the program's `calls`
    }
    acc = out;
}

// The same jump as run()'s: the opcode tested against each of the table's, which the compiler makes a jump table.
template <typename T, std::size_t... opcodes>
[[gnu::always_inline]] inline void bulk_dispatch(const Instruction<T>& in, const T* const* column, T* r,
                                                 std::size_t width, const T*& acc, std::size_t m,
                                                 std::index_sequence<opcodes...>) {
    if (in.opcode >= opcode_count) __builtin_unreachable();
    const std::size_t end = (m + lane_count<T> - 1) / lane_count<T> * lane_count<T>;
    static_cast<void>(((in.opcode == opcodes && (bulk_step<opcodes>(in, column, r, width, acc, m, end), true)) || ...));
}

// How many points a block holds: 256, or fewer where the program has many registers, so that its columns
// stay near 64 KiB and in the processor's nearer caches (the 2000 distinct terms have hundreds); a multiple of 8.
template <typename T>
std::size_t block_width(const Program<T>& program) {
    const std::size_t fitting = (std::size_t{64} << 10) / sizeof(T) / (program.registers() + 1);
    return std::max<std::size_t>(16, std::min<std::size_t>(256, fitting) & ~std::size_t{7});
}

// Evaluates a program that does not call (nor so load) at points [begin, end), each variable's values from its
// feed, writing results[begin .. end). Reads nothing but the program and the feeds: threads may share them. A
// variable's register is its caller's column itself where the block is whole (its lanes lie within the column),
// else a column of the frame that takes a copy.
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

// evaluate_blocks over [0, n), the points cut between `threads` threads (this one and threads - 1 more) in
// runs of whole blocks: each point is computed alike on any thread, so the count changes no bit. A failure
// (a thread that cannot start, no memory for a frame) is thrown here once every thread has ended.
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

// What a bulk call evaluates with: the object's program and variable table, held for the whole call (so a
// callable that re-parses, assigns, moves or destroys the object changes neither), and the entries of the
// object's variables in the order of its variables(), the order of the caller's feeds.
template <typename T>
struct BulkCall {
    std::shared_ptr<Program<T>> program;
    std::shared_ptr<VariableTable<T>> table;
    std::vector<T*> entries;
    bool valid;
};

// Stores point i's values into the variable table, as eval_at stores them.
template <typename T>
void store_point(const BulkCall<T>& call, const Feed<T>* feeds, std::size_t i) {
    for (std::size_t j = 0; j < call.entries.size(); ++j) *call.entries[j] = feeds[j].at(i);
}

// Evaluates at n points as n eval_at calls in turn would, with the program the object held when the call
// began: an invalid object stores the first point's values and throws; a program that calls a caller's
// callable stores each point's values and evaluates it, results[i] written as each point ends (so an
// exception from a callable at point i leaves results[0 .. i) written and point i's values stored); any other
// runs in blocks (on `threads` threads) and stores the last point's values when all are done.
template <typename T>
void evaluate_bulk(const BulkCall<T>& call, const Feed<T>* feeds, std::size_t n, T* results, unsigned threads) {
    if (!call.valid || !call.program) {
        if (n > 0) store_point(call, feeds, 0);
        throw std::invalid_argument(messages::invalid_expression);
    }
    const Program<T>& program = *call.program;
    if (program.calls) {
        for (std::size_t i = 0; i < n; ++i) {
            store_point(call, feeds, i);
            results[i] = evaluate(program, true);
        }
        return;
    }
    // Each of the program's variables from the feed of the object's variable whose entry it reads; one
    // that reads another entry (none does, as the object binds them) takes that entry's value at each point.
    std::vector<Feed<T>> program_feeds;
    for (const Variable<T>& variable : program.variables) {
        if (variable.source == nullptr) {  // as evaluate() fails, once the first point's values are stored
            if (n > 0) store_point(call, feeds, 0);
            throw std::out_of_range(messages::missing_key);
        }
        const auto at = std::find(call.entries.begin(), call.entries.end(), variable.source);
        const bool listed = at != call.entries.end();
        program_feeds.push_back(listed ? feeds[at - call.entries.begin()] : Feed<T>{variable.source, 0});
    }
    if (n == 0) return;
    evaluate_split(program, program_feeds.data(), n, results, threads);
    store_point(call, feeds, n - 1);
}

}  // namespace exprkit::detail
