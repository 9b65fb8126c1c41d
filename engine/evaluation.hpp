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

// Carries out `in`, whose opcode is `opcode`, on the registers `r`. With `bound`, a variable is read from
// its table entry; without, the first one met fails its lookup, as when no values are given at all.
template <std::size_t opcode, typename T>
[[gnu::always_inline]] inline void step(const Program<T>& program, const Instruction<T>& in, T* r, bool bound) {
    if constexpr (opcode >= opcode_count) {
        // not an opcode: a case of the switch in run() that no instruction reaches
    } else if constexpr (opcode < operation_count) {
        constexpr auto operation = static_cast<Operation>(opcode);
        if constexpr (is_binary(operation)) {
            r[in.result] = apply(operation, r[in.a], r[in.b]);
        } else {
            r[in.result] = apply(operation, r[in.a]);
        }
    } else if constexpr (opcode < opcode_of(Opcode::Constant)) {
        constexpr Operation operation = operator_of(opcode).operation;
        if constexpr (form_of(opcode) == constant_right) r[in.result] = apply(operation, r[in.a], in.constant);
        if constexpr (form_of(opcode) == constant_left) r[in.result] = apply(operation, in.constant, r[in.a]);
    } else if constexpr (opcode == opcode_of(Opcode::Constant)) {
        r[in.result] = in.constant;
    } else if constexpr (opcode == opcode_of(Opcode::Load)) {
        const T* source = program.sources[in.a];
        if (!bound || source == nullptr) throw std::out_of_range(messages::missing_key);
        r[in.result] = *source;
    } else if constexpr (opcode == opcode_of(Opcode::CallUnary)) {
        r[in.result] = program.unary_callables[in.callable](r[in.a]);
    } else {
        static_assert(opcode == opcode_of(Opcode::CallBinary), "every opcode has its step");
        r[in.result] = program.binary_callables[in.callable](r[in.a], r[in.b]);
    }
}

// Cases in the switch of run(): every opcode, and room for a few more rows.
inline constexpr std::size_t opcode_slots = 48;
static_assert(opcode_count <= opcode_slots, "the switch in run() needs a case for every opcode: add cases");

template <std::size_t opcode>
inline constexpr std::integral_constant<std::size_t, opcode> slot{};

// One jump per instruction, through the table the compiler makes of a switch over the opcodes (of a chain
// of tests GCC makes strings of comparisons); each case is its opcode's step, made from the language's rows.
template <typename T>
[[gnu::always_inline]] inline void run(const Program<T>& program, T* r, bool bound) {
    for (const Instruction<T>*in = program.code.data(), *end = in + program.code.size(); in != end; ++in) {
        const auto take = [&](auto opcode) { step<decltype(opcode)::value>(program, *in, r, bound); };
        switch (in->opcode) {
            case 0: take(slot<0>); break;   case 1: take(slot<1>); break;   case 2: take(slot<2>); break;   case 3: take(slot<3>); break;
            case 4: take(slot<4>); break;   case 5: take(slot<5>); break;   case 6: take(slot<6>); break;   case 7: take(slot<7>); break;
            case 8: take(slot<8>); break;   case 9: take(slot<9>); break;   case 10: take(slot<10>); break; case 11: take(slot<11>); break;
            case 12: take(slot<12>); break; case 13: take(slot<13>); break; case 14: take(slot<14>); break; case 15: take(slot<15>); break;
            case 16: take(slot<16>); break; case 17: take(slot<17>); break; case 18: take(slot<18>); break; case 19: take(slot<19>); break;
            case 20: take(slot<20>); break; case 21: take(slot<21>); break; case 22: take(slot<22>); break; case 23: take(slot<23>); break;
            case 24: take(slot<24>); break; case 25: take(slot<25>); break; case 26: take(slot<26>); break; case 27: take(slot<27>); break;
            case 28: take(slot<28>); break; case 29: take(slot<29>); break; case 30: take(slot<30>); break; case 31: take(slot<31>); break;
            case 32: take(slot<32>); break; case 33: take(slot<33>); break; case 34: take(slot<34>); break; case 35: take(slot<35>); break;
            case 36: take(slot<36>); break; case 37: take(slot<37>); break; case 38: take(slot<38>); break; case 39: take(slot<39>); break;
            case 40: take(slot<40>); break; case 41: take(slot<41>); break; case 42: take(slot<42>); break; case 43: take(slot<43>); break;
            case 44: take(slot<44>); break; case 45: take(slot<45>); break; case 46: take(slot<46>); break; case 47: take(slot<47>); break;
            default: break;
        }
    }
}

// The registers of one evaluation: on the machine's stack when they fit, else the program's own while
// no other evaluation (nested or on another thread) uses them, else made for this one.
template <typename T>
class Frame {
    std::atomic<bool>* busy = nullptr;  // set, with `own`, before `registers`
    std::unique_ptr<T[]> own;

public:
    T* const registers;

    Frame(const Program<T>& program, T* local)
        : registers(program.registers() <= Program<T>::local_registers ? local : deep_or_own(program)) {}
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;
    ~Frame() {
        if (busy) busy->store(false, std::memory_order_release);
    }

private:
    T* deep_or_own(const Program<T>& program) {
        if (!program.deep_frame_busy.exchange(true, std::memory_order_acquire)) {
            busy = &program.deep_frame_busy;
            return program.deep_frame.get();
        }
        own = std::make_unique<T[]>(program.registers());
        return own.get();
    }
};

// Evaluates `program`: with `bound`, its variables' values read from their table entries, when it starts
// or, where a caller's callable could tell, where the code meets them.
template <typename T>
T evaluate(const Program<T>& program, bool bound) {
    const bool read_now = !program.calls;
    if (read_now && !program.variables.empty() && !(bound && program.binds_every_variable)) {
        throw std::out_of_range(messages::missing_key);  // nothing could tell which instruction met it
    }
    T local[Program<T>::local_registers];
    const Frame<T> frame(program, local);
    T* const r = frame.registers;
    if (read_now) {
        T* variable_register = r + program.results;
        for (const T* value : program.sources) *variable_register++ = *value;
    }
    run(program, r, bound);
    return r[program.result];
}

}  // namespace exprkit::detail
