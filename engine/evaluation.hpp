// The evaluation loop: fills a program's variable registers from the table and runs its instructions
// over the registers. Throws std::out_of_range at a variable without a value, std::bad_function_call at an
// empty callable, and whatever a caller's callable throws.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <type_traits>

#include "errors.hpp"
#include "language.hpp"
#include "program.hpp"

namespace exprkit::detail {

template <Source source, typename T>
[[gnu::always_inline]] inline T operand(std::uint32_t index, const Instruction<T>& in, const T* r, T acc) {
    if constexpr (source == Source::Acc) return acc;
    if constexpr (source == Source::Reg) return r[index];
    if constexpr (source == Source::Const) return in.constant;
}

// Carries out `in`, whose opcode is `opcode`, on the registers `r` and the machine register `acc`, and
// writes its value to its result register too, unless the registers are const (see evaluate_one_taking).
// With `bound`, a variable is read from its table entry; without, the first one met fails its lookup.
template <std::size_t opcode, typename T, typename Register>
[[gnu::always_inline]] inline void step(const Program<T>& program, const Instruction<T>& in, Register* r, T& acc, bool bound) {
    if constexpr (opcode >= opcode_count) {
        return;  // not an opcode: a case of the switch in run() that no instruction reaches
    } else if constexpr (opcode < function_opcodes) {
        constexpr Operation operation = operator_rows[opcode / 9].operation;
        acc = apply(operation, operand<Source(opcode / 3 % 3)>(in.a, in, r, acc), operand<Source(opcode % 3)>(in.b, in, r, acc));
    } else if constexpr (opcode < opcode_of(Opcode::Constant)) {
        constexpr Operation operation = function_rows[(opcode - function_opcodes) / 2].operation;
        acc = apply(operation, operand<Source((opcode - function_opcodes) % 2)>(in.a, in, r, acc));
    } else if constexpr (opcode == opcode_of(Opcode::Constant)) {
        acc = in.constant;
    } else if constexpr (opcode == opcode_of(Opcode::Sum)) {
        T term = in.constant * r[in.b];  // a statement of its own, which clang does not fuse with the next
#if defined(__x86_64__)  // nor GCC, which would where the machine has fused multiply-add: the product is rounded
        if constexpr (sizeof(T) <= sizeof(double)) asm("" : "+x"(term));
#elif defined(__aarch64__)
        asm("" : "+w"(term));
#endif
        acc = acc - term;  // a subtraction: `acc` is its first operand however it is compiled
    } else if constexpr (opcode == opcode_of(Opcode::Load)) {
        const T* source = program.variables[in.a].source;
        if (!bound || source == nullptr) throw std::out_of_range(messages::missing_key);
        acc = *source;
    } else {
        static_assert(opcode == opcode_of(Opcode::Call), "every opcode has its step");
        acc = program.unary_callables[in.callable](r[in.a]);
    }
    if constexpr (!std::is_const_v<Register>) r[in.result] = acc;
}

// Cases in the switches below: every opcode, and room for a few more (a function's row takes two).
inline constexpr std::size_t opcode_slots = 85;
static_assert(opcode_count <= opcode_slots, "the switches below need a case for every opcode: add cases");

// A switch's cases, one for each opcode slot, each written by the macro `CASE` given its slot.
#define EXPRKIT_CASES(CASE, n) CASE(n) CASE(n + 1) CASE(n + 2) CASE(n + 3) CASE(n + 4)
#define EXPRKIT_CASES_20(CASE, n) EXPRKIT_CASES(CASE, n) EXPRKIT_CASES(CASE, n + 5) EXPRKIT_CASES(CASE, n + 10) EXPRKIT_CASES(CASE, n + 15)
#define EXPRKIT_OPCODE_CASES(CASE) EXPRKIT_CASES_20(CASE, 0) EXPRKIT_CASES_20(CASE, 20) EXPRKIT_CASES_20(CASE, 40) EXPRKIT_CASES_20(CASE, 60) EXPRKIT_CASES(CASE, 80)

// One jump per instruction, through the table the compiler makes of a switch over the opcodes (of a chain
// of tests GCC makes strings of comparisons); each case is its opcode's step, made from the language's rows.
// A case calls the step itself, which is always inlined: through a lambda that GCC may leave a call
// (at -O3 with link-time optimisation it did, in a larger unit), `acc`, `r` and `in` would live in memory.
// With `runs`, a case also carries out the `repeats` like instructions after it, in a loop (see evaluate_deep).
template <bool runs, typename T>
[[gnu::always_inline]] inline void run(const Program<T>& program, T* r, bool bound) {
    T acc{};
    for (const Instruction<T>*in = program.code.data(), *end = in + program.code.size(); in != end; ++in) {
#define EXPRKIT_STEP(n) case n: \
        if constexpr (runs) for (std::size_t k = in->repeats; k > 0; --k) step<n>(program, *in++, r, acc, bound); \
        step<n>(program, *in, r, acc, bound); break;
        switch (in->opcode) {
            EXPRKIT_OPCODE_CASES(EXPRKIT_STEP)
            default: __builtin_unreachable();
        }
#undef EXPRKIT_STEP
    }
}

// Evaluates `program` on the registers `r`: with `bound`, its variables' values read from their table
// entries, when it starts or, where a caller's callable could tell, where the code meets them. With
// `values`, which a program that takes_values takes, each is stored into its entry and its register at
// once: the registers need not wait for the table, and one pass does both (a copy alone would become
// memcpy's, whose wide reads cannot take values just stored one by one and stall until they are written).
template <bool runs = false, typename T>
[[gnu::always_inline]] inline T run_on(const Program<T>& program, bool bound, T* r, const T* values = nullptr) {
    if (values) {
        for (std::size_t i = 0; i < program.variables.size(); ++i) r[i] = *program.variables[i].source = values[i];
    } else if (__builtin_expect(!program.calls, true)) {  // the usual case, whose code GCC then keeps in line
        if (!(bound ? program.binds_every_variable : program.variables.empty())) {
            throw std::out_of_range(messages::missing_key);  // nothing could tell which instruction met it
        }
        std::size_t i = 0;
        for (const Variable<T>& variable : program.variables) r[i++] = *variable.source;
    }
    run<runs>(program, r, bound);
    return r[program.result];
}

// An evaluation whose registers do not fit the machine's stack: on the program's own while no other
// evaluation (nested or on another thread) uses them, else on registers made for it. Such a program is
// long, and a long sum's schedule puts like after like: it runs each run of one opcode in a loop (see run),
// which saves a sixth of the 2000 distinct terms' time; a short program has few, and pays for the test.
//
// The functions that evaluate start at a multiple of 64 bytes, so that their code lies alike against the
// processor's fetch blocks in every program: wherever the linker put them, the same code took up to a
// quarter longer or shorter on the short formulas.
template <typename T>
[[gnu::noinline, gnu::aligned(64)]] T evaluate_deep(const Program<T>& program, bool bound) {
    struct Lease {
        std::atomic<bool>& busy;
        const bool taken = !busy.exchange(true, std::memory_order_acquire);
        ~Lease() { if (taken) busy.store(false, std::memory_order_release); }
    } lease{program.deep_frame_busy};
    std::unique_ptr<T[]> own;
    if (!lease.taken) own = std::make_unique<T[]>(program.registers());
    return run_on<true>(program, bound, lease.taken ? program.deep_frame.get() : own.get());
}

template <typename T>
[[gnu::aligned(64)]] T evaluate(const Program<T>& program, bool bound) {
    if (program.registers() > Program<T>::local_registers) return evaluate_deep(program, bound);
    T registers[Program<T>::local_registers];
    return run_on(program, bound, registers);
}

// Evaluates a program of one instruction that takes_values (`x+1`, `2*x`, `sin(x)`): one jump to its step,
// no loop. Its operands are read from `values` itself, which const keeps the step from writing: they are
// variables, whose registers come first in the order it takes them, or constants, as no instruction came
// before it. It loads nothing and calls no callable (it takes values): those cases are left out.
template <typename T>
[[gnu::noinline, gnu::aligned(64)]] T evaluate_one_taking(const Program<T>& program, const T* values) {
    const T* value = values;
    for (const Variable<T>& variable : program.variables) *variable.source = *value++;
    const Instruction<T>& in = program.code.front();
    T acc{};
#define EXPRKIT_STEP(n) case n: if constexpr (n != opcode_of(Opcode::Load) && n != opcode_of(Opcode::Call)) step<n>(program, in, values, acc, true); break;
    switch (in.opcode) {
        EXPRKIT_OPCODE_CASES(EXPRKIT_STEP)
        default: __builtin_unreachable();
    }
#undef EXPRKIT_STEP
    return acc;
}

// Evaluates a program that takes_values (whose registers fit the machine's stack) with `values` (see
// run_on): a function of its own, so that the other evaluations carry none of it.
template <typename T>
[[gnu::noinline, gnu::aligned(64)]] T evaluate_loop_taking(const Program<T>& program, const T* values) {
    T registers[Program<T>::local_registers];
    return run_on(program, true, registers, values);
}

#undef EXPRKIT_OPCODE_CASES
#undef EXPRKIT_CASES_20
#undef EXPRKIT_CASES

// Evaluates a program that calls a caller's callable, which may let go of it meanwhile: held until the end.
template <typename T>
[[gnu::noinline]] T evaluate_holding(const std::shared_ptr<Program<T>>& program, bool bound) {
    const std::shared_ptr<const Program<T>> running = program;
    return evaluate(*running, bound);
}

}  // namespace exprkit::detail
