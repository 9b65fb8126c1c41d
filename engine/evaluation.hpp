// The evaluation loop: fills a program's variable registers from the table and runs its instructions
// over the registers. Throws std::out_of_range at a variable without a value, std::bad_function_call at an
// empty callable, and whatever a caller's callable throws.
#pragma once

#include <algorithm>
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

// Carries out `in`, whose opcode is `opcode`, on the registers `r` and the machine register `acc`. With
// `bound`, a variable is read from its table entry; without, the first one met fails its lookup.
template <std::size_t opcode, typename T>
[[gnu::always_inline]] inline void step(const Program<T>& program, const Instruction<T>& in, T* r, T& acc, bool bound) {
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
    } else if constexpr (opcode == opcode_of(Opcode::Load)) {
        const T* source = program.sources[in.a];
        if (!bound || source == nullptr) throw std::out_of_range(messages::missing_key);
        acc = *source;
    } else {
        static_assert(opcode == opcode_of(Opcode::Call), "every opcode has its step");
        acc = program.unary_callables[in.callable](r[in.a]);
    }
    r[in.result] = acc;
}

// Cases in the switch of run(): every opcode, and room for a few more rows.
inline constexpr std::size_t opcode_slots = 80;
static_assert(opcode_count <= opcode_slots, "the switch in run() needs a case for every opcode: add cases");

template <std::size_t opcode>
inline constexpr std::integral_constant<std::size_t, opcode> slot{};

// One jump per instruction, through the table the compiler makes of a switch over the opcodes (of a chain
// of tests GCC makes strings of comparisons); each case is its opcode's step, made from the language's rows.
template <typename T>
[[gnu::always_inline]] inline void run(const Program<T>& program, T* r, bool bound) {
    T acc{};
    for (const Instruction<T>*in = program.code.data(), *end = in + program.code.size(); in != end; ++in) {
        const auto take = [&](auto opcode) { step<decltype(opcode)::value>(program, *in, r, acc, bound); };
        switch (in->opcode) {
            case 0: take(slot<0>); break; case 1: take(slot<1>); break; case 2: take(slot<2>); break; case 3: take(slot<3>); break;
            case 4: take(slot<4>); break; case 5: take(slot<5>); break; case 6: take(slot<6>); break; case 7: take(slot<7>); break;
            case 8: take(slot<8>); break; case 9: take(slot<9>); break; case 10: take(slot<10>); break; case 11: take(slot<11>); break;
            case 12: take(slot<12>); break; case 13: take(slot<13>); break; case 14: take(slot<14>); break; case 15: take(slot<15>); break;
            case 16: take(slot<16>); break; case 17: take(slot<17>); break; case 18: take(slot<18>); break; case 19: take(slot<19>); break;
            case 20: take(slot<20>); break; case 21: take(slot<21>); break; case 22: take(slot<22>); break; case 23: take(slot<23>); break;
            case 24: take(slot<24>); break; case 25: take(slot<25>); break; case 26: take(slot<26>); break; case 27: take(slot<27>); break;
            case 28: take(slot<28>); break; case 29: take(slot<29>); break; case 30: take(slot<30>); break; case 31: take(slot<31>); break;
            case 32: take(slot<32>); break; case 33: take(slot<33>); break; case 34: take(slot<34>); break; case 35: take(slot<35>); break;
            case 36: take(slot<36>); break; case 37: take(slot<37>); break; case 38: take(slot<38>); break; case 39: take(slot<39>); break;
            case 40: take(slot<40>); break; case 41: take(slot<41>); break; case 42: take(slot<42>); break; case 43: take(slot<43>); break;
            case 44: take(slot<44>); break; case 45: take(slot<45>); break; case 46: take(slot<46>); break; case 47: take(slot<47>); break;
            case 48: take(slot<48>); break; case 49: take(slot<49>); break; case 50: take(slot<50>); break; case 51: take(slot<51>); break;
            case 52: take(slot<52>); break; case 53: take(slot<53>); break; case 54: take(slot<54>); break; case 55: take(slot<55>); break;
            case 56: take(slot<56>); break; case 57: take(slot<57>); break; case 58: take(slot<58>); break; case 59: take(slot<59>); break;
            case 60: take(slot<60>); break; case 61: take(slot<61>); break; case 62: take(slot<62>); break; case 63: take(slot<63>); break;
            case 64: take(slot<64>); break; case 65: take(slot<65>); break; case 66: take(slot<66>); break; case 67: take(slot<67>); break;
            case 68: take(slot<68>); break; case 69: take(slot<69>); break; case 70: take(slot<70>); break; case 71: take(slot<71>); break;
            case 72: take(slot<72>); break; case 73: take(slot<73>); break; case 74: take(slot<74>); break; case 75: take(slot<75>); break;
            case 76: take(slot<76>); break; case 77: take(slot<77>); break; case 78: take(slot<78>); break; case 79: take(slot<79>); break;
            default: __builtin_unreachable();
        }
    }
}

// Evaluates `program` on the registers `r`: with `bound`, its variables' values read from their table
// entries, when it starts or, where a caller's callable could tell, where the code meets them.
template <typename T>
[[gnu::always_inline]] inline T run_on(const Program<T>& program, bool bound, T* r) {
    if (!program.calls) {
        if (!(bound ? program.binds_every_variable : program.variables.empty())) {
            throw std::out_of_range(messages::missing_key);  // nothing could tell which instruction met it
        }
        T* variable_register = r + program.results;
        for (const T* value : program.sources) *variable_register++ = *value;
    }
    run(program, r, bound);
    return r[program.result];
}

// An evaluation whose registers do not fit the machine's stack: on the program's own while no other
// evaluation (nested or on another thread) uses them, else on registers made for it.
template <typename T>
[[gnu::noinline]] T evaluate_deep(const Program<T>& program, bool bound) {
    struct Lease {
        std::atomic<bool>& busy;
        const bool taken = !busy.exchange(true, std::memory_order_acquire);
        ~Lease() {
            if (taken) busy.store(false, std::memory_order_release);
        }
    } lease{program.deep_frame_busy};
    std::unique_ptr<T[]> own;
    if (!lease.taken) own = std::make_unique<T[]>(program.registers());
    return run_on(program, bound, lease.taken ? program.deep_frame.get() : own.get());
}

template <typename T>
T evaluate(const Program<T>& program, bool bound) {
    if (program.registers() > Program<T>::local_registers) return evaluate_deep(program, bound);
    T registers[Program<T>::local_registers];
    return run_on(program, bound, registers);
}

// Evaluates a program that calls a caller's callable, which may let go of it meanwhile: held until the end.
template <typename T>
[[gnu::noinline]] T evaluate_holding(const std::shared_ptr<Program<T>>& program, bool bound) {
    const std::shared_ptr<const Program<T>> running = program;
    return evaluate(*running, bound);
}

}  // namespace exprkit::detail
