// The evaluation loop: fills a program's variable registers from the table and runs its instructions
// over the registers. Throws std::out_of_range at a variable without a value, std::bad_function_call at an
// empty callable, and whatever a caller's callable throws.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "errors.hpp"
#include "language.hpp"
#include "instructions.hpp"
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
    constexpr OpcodeRow row = decode(opcode < opcode_count ? opcode : 0);
    if constexpr (opcode >= opcode_count) {
        return;  // a case of a switch in run() that no instruction reaches
    } else if constexpr (row.kind == Kind::Apply && is_binary(row.operation)) {
        acc = apply(row.operation, operand<row.left>(in.a, in, r, acc), operand<row.right>(in.b, in, r, acc));
    } else if constexpr (row.kind == Kind::Apply) {
        acc = apply(row.operation, operand<row.left>(in.a, in, r, acc));
    } else if constexpr (row.kind == Kind::Constant) {
        acc = in.constant;
    } else if constexpr (row.kind == Kind::Sum) {
        T term = in.constant * r[in.b];  // a statement of its own, which clang does not fuse with the next
#if defined(__x86_64__)  // nor GCC, which would where the machine has fused multiply-add: the product is rounded
        if constexpr (sizeof(T) <= sizeof(double)) asm("" : "+x"(term));
#elif defined(__aarch64__)
        asm("" : "+w"(term));
#endif
        acc = acc - term;  // a subtraction: `acc` is its first operand however it is compiled
    } else if constexpr (row.kind == Kind::Load) {
        const T* source = program.variables[in.a].source;
        if (!bound || source == nullptr) throw std::out_of_range(messages::missing_key);
        acc = *source;
    } else {
        static_assert(row.kind == Kind::Call, "every kind of opcode has its step");
        acc = program.unary_callables[in.callable](r[in.a]);
    }
    if constexpr (!std::is_const_v<Register>) r[in.result] = acc;
}

// The cases of a switch over an opcode, a byte: one for each of its 256 values, `CASE(n)` for the value n.
// Made from the table, by a step for each opcode (the steps beyond the table are never reached), with no
// test of the byte's range: every value has its case. A fold over the opcodes' tests instead, which GCC and
// clang also make a jump through a table, keeps a test of the range, two instructions a step.
#define EXPRKIT_CASES_4(CASE, n) CASE(n) CASE(n + 1) CASE(n + 2) CASE(n + 3)
#define EXPRKIT_CASES_16(CASE, n) EXPRKIT_CASES_4(CASE, n) EXPRKIT_CASES_4(CASE, n + 4) \
    EXPRKIT_CASES_4(CASE, n + 8) EXPRKIT_CASES_4(CASE, n + 12)
#define EXPRKIT_CASES_64(CASE, n) EXPRKIT_CASES_16(CASE, n) EXPRKIT_CASES_16(CASE, n + 16) \
    EXPRKIT_CASES_16(CASE, n + 32) EXPRKIT_CASES_16(CASE, n + 48)
#define EXPRKIT_OPCODE_CASES(CASE) EXPRKIT_CASES_64(CASE, 0) EXPRKIT_CASES_64(CASE, 64) \
    EXPRKIT_CASES_64(CASE, 128) EXPRKIT_CASES_64(CASE, 192)

// One jump per instruction, through the table the compiler makes of the switch; each case is its opcode's
// step. A case calls the step itself, which is always inlined: through a lambda that GCC may leave a call (at
// -O3 with link-time optimisation it did, in a larger unit), `acc`, `r` and `in` would live in memory. With
// `runs`, a case also carries out the `repeats` like instructions after it, in a loop (see evaluate_deep).
template <bool runs, typename T>
[[gnu::always_inline]] inline void run(const Program<T>& program, T* r, bool bound) {
    T acc{};
    for (const Instruction<T>*in = program.code.data(), *end = in + program.code.size(); in != end; ++in) {
#define EXPRKIT_STEP(n) case n: \
        if constexpr (runs) for (std::size_t k = in->repeats; k > 0; --k) step<n>(program, *in++, r, acc, bound); \
        step<n>(program, *in, r, acc, bound); break;
        switch (in->opcode) { EXPRKIT_OPCODE_CASES(EXPRKIT_STEP) }
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
// Whether a program that takes_values may have `opcode`: it loads nothing and calls no callable.
constexpr bool taken(std::size_t opcode) {
    return opcode < opcode_count && decode(opcode).kind != Kind::Load && decode(opcode).kind != Kind::Call;
}

// Out of the evaluations' way, so that a test of an array costs them two instructions.
[[noreturn, gnu::cold, gnu::noinline]] inline void refuse_no_values() { throw std::invalid_argument(messages::no_values); }

template <typename T>
[[gnu::noinline, gnu::aligned(64)]] T evaluate_one_taking(const Program<T>& program, const T* values) {
    if (values == nullptr) refuse_no_values();  // it has a variable (see Program::bind)
    const T* value = values;
    for (const Variable<T>& variable : program.variables) *variable.source = *value++;
    const Instruction<T>& in = program.code.front();
    T acc{};
#define EXPRKIT_STEP(n) case n: if constexpr (!taken(n)) __builtin_unreachable(); \
    step<n>(program, in, values, acc, true); break;
    switch (in.opcode) { EXPRKIT_OPCODE_CASES(EXPRKIT_STEP) }
#undef EXPRKIT_STEP
    return acc;
}

#undef EXPRKIT_OPCODE_CASES
#undef EXPRKIT_CASES_64
#undef EXPRKIT_CASES_16
#undef EXPRKIT_CASES_4

// Evaluates a program that takes_values (whose registers fit the machine's stack) with `values` (see
// run_on): a function of its own, so that the other evaluations carry none of it.
template <typename T>
[[gnu::noinline, gnu::aligned(64)]] T evaluate_loop_taking(const Program<T>& program, const T* values) {
    if (values == nullptr && !program.variables.empty()) refuse_no_values();
    T registers[Program<T>::local_registers];
    return run_on(program, true, registers, values);
}

// Evaluates a program that calls a caller's callable, which may let go of it meanwhile: held until the end.
template <typename T>
[[gnu::noinline]] T evaluate_holding(const std::shared_ptr<Program<T>>& program, bool bound) {
    const std::shared_ptr<const Program<T>> running = program;
    return evaluate(*running, bound);
}

}  // namespace exprkit::detail
