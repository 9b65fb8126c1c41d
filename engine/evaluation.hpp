// The evaluation loop: runs a compiled program over a stack of values. Constants and variables push a
// value; an operation replaces the values it takes with its result. Throws std::out_of_range at a
// variable that has no value, std::bad_function_call at an empty callable; a caller's callable may throw
// anything, which passes through.
#pragma once

#include <atomic>
#include <memory>
#include <stdexcept>

#include "errors.hpp"
#include "language.hpp"
#include "program.hpp"

namespace exprkit::detail {

// With `bound`, variables are read from their table entries; without, the first variable met fails
// its lookup, as when no values are given at all.
template <bool bound, typename T>
T run(const Program<T>& program, T* stack) {
    std::size_t size = 0;
    for (const Instruction<T>& in : program.code) {
        switch (in.opcode) {
            case Opcode::Constant: stack[size++] = in.constant; break;
            case Opcode::Variable:
                if (!bound || in.variable == nullptr) throw std::out_of_range(messages::missing_key);
                stack[size++] = *in.variable;
                break;
            case Opcode::CallUnary: stack[size - 1] = (*in.unary)(stack[size - 1]); break;
            case Opcode::Unary: stack[size - 1] = apply(in.operation, stack[size - 1]); break;
            // The left operand was pushed last, as the right one is evaluated first: fn(left, right).
            case Opcode::CallBinary:
                --size;
                stack[size - 1] = (*in.binary)(stack[size], stack[size - 1]);
                break;
            case Opcode::Binary:
                --size;
                stack[size - 1] = apply(in.operation, stack[size], stack[size - 1]);
                break;
        }
    }
    return stack[0];
}

template <bool bound, typename T>
T run(const Program<T>& program) {
    if (program.stack_need <= Program<T>::local_slots) {
        T stack[Program<T>::local_slots];
        return run<bound>(program, stack);
    }
    if (!program.deep_stack_busy.exchange(true, std::memory_order_acquire)) {
        struct Release {
            std::atomic<bool>& busy;
            ~Release() { busy.store(false, std::memory_order_release); }
        } release{program.deep_stack_busy};
        return run<bound>(program, program.deep_stack.get());
    }
    const auto own = std::make_unique<T[]>(program.stack_need);
    return run<bound>(program, own.get());
}

}  // namespace exprkit::detail
