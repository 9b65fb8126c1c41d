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

// Point i's value of `operand` in an instruction's loop: its column's, or the instruction's constant.
template <Source source, typename T>
[[gnu::always_inline]] inline T lane(const T* column, T constant, std::size_t i) {
    if constexpr (source == Source::Const) return constant;
    else return column[i];
}

// Carries out `in` over the m points of a block: `r` holds the registers as columns of `width` values,
// `acc` the column that the instruction before wrote (the machine register of a point's evaluation), `term`
// a column of scratch. Only Apply, Constant and Sum come here: a program that loads or calls is evaluated
// point by point.
template <std::size_t opcode, typename T>
[[gnu::always_inline]] inline void bulk_step(const Instruction<T>& in, T* r, std::size_t width, const T*& acc,
                                             std::size_t m, T* term) {
    constexpr OpcodeRow row = decode(opcode);
    T* const out = r + in.result * width;
    const T constant = in.constant;
    if constexpr (row.kind == Kind::Apply) {
        const T* a = row.left == Source::Acc ? acc : r + in.a * width;  // unread when the operand is Const
        const T* b = row.right == Source::Acc ? acc : r + in.b * width;
        if constexpr (is_binary(row.operation)) {
            for (std::size_t i = 0; i < m; ++i)
                out[i] = apply(row.operation, lane<row.left>(a, constant, i), lane<row.right>(b, constant, i));
        } else {
            for (std::size_t i = 0; i < m; ++i) out[i] = apply(row.operation, a[i]);
        }
    } else if constexpr (row.kind == Kind::Constant) {
        std::fill(out, out + m, constant);
    } else if constexpr (row.kind == Kind::Sum) {
        // The product goes to memory, a value of its own, and the barrier keeps the compiler from carrying it
        // into the subtraction's loop: no fused multiply-add, whatever -ffp-contract says, as step() keeps it.
        const T* y = r + in.b * width;
        for (std::size_t i = 0; i < m; ++i) term[i] = constant * y[i];
        asm volatile("" ::: "memory");
        for (std::size_t i = 0; i < m; ++i) out[i] = acc[i] - term[i];
    } else {
        static_assert(row.kind == Kind::Load || row.kind == Kind::Call, "every kind of opcode has its step");
        __builtin_unreachable();  // kept from here by the program's `calls`
    }
    acc = out;
}

// The same jump as run()'s: the opcode tested against each of the table's, which the compiler makes a jump table.
template <typename T, std::size_t... opcodes>
[[gnu::always_inline]] inline void bulk_dispatch(const Instruction<T>& in, T* r, std::size_t width, const T*& acc,
                                                 std::size_t m, T* term, std::index_sequence<opcodes...>) {
    if (in.opcode >= opcode_count) __builtin_unreachable();
    static_cast<void>(((in.opcode == opcodes && (bulk_step<opcodes>(in, r, width, acc, m, term), true)) || ...));
}

// How many points a block holds: 256, or fewer where the program has many registers, so that its columns
// stay near 64 KiB and in the processor's nearer caches (the 2000 distinct terms have hundreds).
template <typename T>
std::size_t block_width(const Program<T>& program) {
    const std::size_t columns = program.registers() + 2;  // and the zero column and the scratch one
    return std::max<std::size_t>(16, std::min<std::size_t>(256, (std::size_t{64} << 10) / sizeof(T) / columns) & ~std::size_t{7});
}

// Evaluates a program that does not call (nor so load) at points [begin, end), each variable's values from its
// feed, writing results[begin .. end). Reads nothing but the program and the feeds: threads may share them.
template <typename T>
void evaluate_blocks(const Program<T>& program, const Feed<T>* feeds, std::size_t begin, std::size_t end,
                     T* results) {
    const std::size_t width = block_width(program), variables = program.variables.size();
    const std::unique_ptr<T[]> frame(new T[(program.registers() + 2) * width]());
    T* const r = frame.get();
    T* const zero = r + program.registers() * width;  // what a first instruction's `acc` would be, as in run()
    T* const term = zero + width;
    for (std::size_t start = begin; start < end; start += width) {
        const std::size_t m = std::min(width, end - start);
        for (std::size_t k = 0; k < variables; ++k) {
            const Feed<T> feed{feeds[k].base + start * feeds[k].step, feeds[k].step};
            T* column = r + k * width;
            if (feed.step == 1) std::memcpy(column, feed.base, m * sizeof(T));
            else for (std::size_t i = 0; i < m; ++i) column[i] = feed.at(i);
        }
        const T* acc = zero;
        for (const Instruction<T>& in : program.code)
            bulk_dispatch(in, r, width, acc, m, term, std::make_index_sequence<opcode_count>());
        std::memcpy(results + start, r + program.result * width, m * sizeof(T));
    }
}

// evaluate_blocks over [0, n), the points cut between `threads` threads (this one and threads - 1 more) in
// runs of whole blocks: each point is computed alike on any thread, so the count changes no bit.
template <typename T>
void evaluate_split(const Program<T>& program, const Feed<T>* feeds, std::size_t n, T* results, unsigned threads) {
    const std::size_t width = block_width(program), blocks = (n + width - 1) / width;
    const std::size_t parts = std::max<std::size_t>(1, std::min<std::size_t>(threads, blocks));
    const std::size_t per_part = (blocks + parts - 1) / parts * width;
    std::vector<std::thread> helpers;
    const auto join = [&helpers] { for (std::thread& helper : helpers) helper.join(); };
    try {
        for (std::size_t start = per_part; start < n; start += per_part) {
            helpers.emplace_back([&, start] { evaluate_blocks(program, feeds, start, std::min(n, start + per_part), results); });
        }
        evaluate_blocks(program, feeds, 0, std::min(n, per_part), results);
    } catch (...) {  // a thread that could not start, or memory for a frame: the others end first
        join();
        throw;
    }
    join();
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
        program_feeds.push_back(at == call.entries.end() ? Feed<T>{variable.source, 0} : feeds[at - call.entries.begin()]);
    }
    if (n == 0) return;
    evaluate_split(program, program_feeds.data(), n, results, threads);
    store_point(call, feeds, n - 1);
}

}  // namespace exprkit::detail
