// The evaluation loop: fills a program's variable registers from the table and runs its instructions over
// them. Throws std::out_of_range at a variable without a value, std::bad_function_call at an empty callable,
// and whatever a caller's callable throws. The functions that evaluate start at a multiple of 64 bytes, so
// that the loop lies alike against the processor's fetch blocks in every program (the same code took up to a
// quarter longer or shorter on the short formulas, wherever the linker put it).
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <type_traits>

#include "errors.hpp"
#include "instructions.hpp"
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
[[gnu::always_inline]] inline void step(const Program<T>& program, const Instruction<T>& in, Register* r, T& acc,
                                        bool bound) {
    constexpr OpcodeRow row = decode(opcode < opcode_count ? opcode : 0);
    if constexpr (opcode >= opcode_count) {
        return;  // a case of a switch below that no instruction reaches
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

// A switch over an opcode byte with a case for each of its 256 values, `CASE(n)` for the value n, made from
// the table by each opcode's step (none beyond the table is reached): every value has its case, so the jump
// tests no range. (A fold over the opcodes' tests, also a jump through a table, keeps a test of the range.)
#define EXPRKIT_CASES_4(CASE, n) CASE(n) CASE(n + 1) CASE(n + 2) CASE(n + 3)
#define EXPRKIT_CASES_16(CASE, n) EXPRKIT_CASES_4(CASE, n) EXPRKIT_CASES_4(CASE, n + 4) \
    EXPRKIT_CASES_4(CASE, n + 8) EXPRKIT_CASES_4(CASE, n + 12)
#define EXPRKIT_CASES_64(CASE, n) EXPRKIT_CASES_16(CASE, n) EXPRKIT_CASES_16(CASE, n + 16) \
    EXPRKIT_CASES_16(CASE, n + 32) EXPRKIT_CASES_16(CASE, n + 48)
#define EXPRKIT_OPCODE_SWITCH(opcode, CASE) switch (opcode) { \
    EXPRKIT_CASES_64(CASE, 0) EXPRKIT_CASES_64(CASE, 64) EXPRKIT_CASES_64(CASE, 128) EXPRKIT_CASES_64(CASE, 192) }

// One jump per instruction; each case calls its step itself, always inlined (through a lambda, which GCC at
// -O3 with link-time optimisation left a call, `acc`, `r` and `in` lived in memory). With `runs`, a case
// also carries out the `repeats` like instructions after it, in a loop (see evaluate_deep).
template <bool runs, typename T>
[[gnu::always_inline]] inline void run(const Program<T>& program, T* r, bool bound) {
    T acc{};
    for (const Instruction<T>*in = program.code.data(), *end = in + program.code.size(); in != end; ++in) {
#define EXPRKIT_STEP(n) case n: \
        if constexpr (runs) for (std::size_t k = in->repeats; k > 0; --k) step<n>(program, *in++, r, acc, bound); \
        step<n>(program, *in, r, acc, bound); break;
        EXPRKIT_OPCODE_SWITCH(in->opcode, EXPRKIT_STEP)
#undef EXPRKIT_STEP
    }
}

// Evaluates `program` on the registers `r`: with `bound`, its variables' values read from their entries,
// when it starts or, where a caller's callable could tell, where the code meets them. With `values` (of a
// program that takes_values), each is stored into its entry and its register in one pass, so that the
// registers need not wait for the table (a copy alone would become memcpy's, whose wide reads stall on
// values just stored one by one).
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
// (nested or concurrent) uses them, else on its own. Such a program is long, a long sum's schedule puts like
// after like, and it runs each run of one opcode in a loop: a sixth of the 2000 distinct terms' time.
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

// Out of the evaluations' way: a test of an array costs them two instructions.
[[noreturn, gnu::cold, gnu::noinline]] inline void refuse_no_values() {
    throw std::invalid_argument(messages::no_values);
}

// Evaluates a program of one instruction that takes_values (`x+1`, `sin(x)`): one jump to its step, no loop.
// Its operands are read from `values` itself, const so that the step writes none: variables, whose registers
// come first, or constants, as no instruction came before. It loads and calls nothing: no case for those.
template <typename T>
[[gnu::noinline, gnu::aligned(64)]] T evaluate_one_taking(const Program<T>& program, const T* values) {
    if (values == nullptr) refuse_no_values();  // it reads a variable (see Program::bind)
    const T* value = values;
    for (const Variable<T>& variable : program.variables) *variable.source = *value++;
    const Instruction<T>& in = program.code.front();
    T acc{};
    constexpr auto taken = [](std::size_t n) { return n < opcode_count && decode(n).kind <= Kind::Constant; };
#define EXPRKIT_STEP(n) case n: if constexpr (!taken(n)) __builtin_unreachable(); \
    step<n>(program, in, values, acc, true); break;
    EXPRKIT_OPCODE_SWITCH(in.opcode, EXPRKIT_STEP)
#undef EXPRKIT_STEP
    return acc;
}

#undef EXPRKIT_OPCODE_SWITCH
#undef EXPRKIT_CASES_64
#undef EXPRKIT_CASES_16
#undef EXPRKIT_CASES_4

// Evaluates a program that takes_values with `values` (see run_on): a function of its own, so that the
// other evaluations carry none of it.
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
