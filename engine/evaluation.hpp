// The evaluation loop: runs a compiled program over a stack of values whose top is kept apart, in a
// register. Constants and variables push a value; an operation replaces the values it takes with its
// result. Throws std::out_of_range at a
// variable that has no value, std::bad_function_call at an empty callable; a caller's callable may throw
// anything, which passes through.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <utility>

#include "errors.hpp"
#include "language.hpp"
#include "program.hpp"

namespace exprkit::detail {

// Carries out `in` if its opcode is `opcode`. With `bound`, a variable is read from its table entry;
// without, the first variable met fails its lookup, as when no values are given at all.
template <bool bound, std::size_t opcode, typename T>
[[gnu::always_inline]] inline bool step(const Instruction<T>& in, T* stack, std::size_t& size, T& top) {
    if (in.opcode != opcode) return false;
    if constexpr (opcode < operation_count) {
        constexpr auto operation = static_cast<Operation>(opcode);
        if constexpr (is_binary(operation)) {
            // The left operand was pushed last, as the right one is evaluated first: fn(left, right).
            top = apply(operation, top, stack[--size]);
        } else {
            top = apply(operation, top);
        }
    } else if constexpr (opcode < opcode_of(Opcode::Constant)) {
        constexpr Operation operation = operator_with_constant(opcode).operation;
        top = constant_on_the_right(opcode) ? apply(operation, top, in.constant) : apply(operation, in.constant, top);
    } else if constexpr (opcode == opcode_of(Opcode::Constant)) {
        stack[size++] = top;
        top = in.constant;
    } else if constexpr (opcode == opcode_of(Opcode::Variable)) {
        if (!bound || in.variable == nullptr) throw std::out_of_range(messages::missing_key);
        stack[size++] = top;
        top = *in.variable;
    } else if constexpr (opcode == opcode_of(Opcode::CallUnary)) {
        top = (*in.unary)(top);
    } else {
        static_assert(opcode == opcode_of(Opcode::CallBinary), "every opcode has its step");
        top = (*in.binary)(top, stack[--size]);
    }
    return true;
}

// Each instruction is tried against every opcode in turn, which the compiler makes one jump through a
// table: a case for each built-in operation, made from its row and its arithmetic, without a list of the
// operations here.
template <bool bound, typename T, std::size_t... opcode>
T run(const Program<T>& program, T* stack, std::index_sequence<opcode...>) {
    std::size_t size = 0;
    T top{};  // the first push stores this below everything, in a slot the program counts for it
    for (const Instruction<T>& in : program.code) static_cast<void>((step<bound, opcode>(in, stack, size, top) || ...));
    return top;
}

template <bool bound, typename T>
T run(const Program<T>& program, T* stack) {
    return run<bound>(program, stack, std::make_index_sequence<opcode_count>());
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
