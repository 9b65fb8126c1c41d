// A compiled program: a tree's evaluation as one flat array of instructions, run in a loop
// (evaluation.hpp). A built-in operation is an opcode of its own, and so is a built-in operator with a
// constant operand, which then takes no instruction; a built-in on constants alone is done once, here,
// by the same apply() and so to the same bits; a caller's callable is called through the program's copy;
// a variable is read straight from its entry in the variable table. The program keeps its names and
// callables, so the tree can go once it is compiled, and a copy can be bound to another table.
//
// Order: where a caller's callable could tell, the right operand goes first, as the language says.
// Elsewhere nothing can tell (built-ins have no side effects, and a missing variable fails alike
// wherever it is met), and the left one goes first: a long sum then needs two values on the stack, not
// one a term, and a long text can be compiled a piece at a time, each appended to the code so far.
//
// Invariant: a variable's entry stays where it is until the table is cleared or replaced, so whoever
// does that binds every program that may still run to the table as it is then (bind()).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "arena.hpp"
#include "function_tables.hpp"
#include "language.hpp"
#include "nodes.hpp"

namespace exprkit::detail {

// Opcodes: the built-in operations (an operator's left operand on top of its right one); each operator
// in three forms, its right operand on top, a constant right operand, a constant left one; the rest.
inline constexpr std::size_t operator_count = operator_rows.size();
enum OperatorForm : std::size_t { left_first, constant_right, constant_left, operator_forms };
enum class Opcode : std::uint8_t { Constant = operation_count + operator_forms * operator_count, Variable, CallUnary, CallBinary };
inline constexpr std::size_t opcode_count = static_cast<std::size_t>(Opcode::CallBinary) + 1;

constexpr std::uint8_t opcode_of(Opcode opcode) { return static_cast<std::uint8_t>(opcode); }
constexpr std::uint8_t opcode_of(Operation operation) { return static_cast<std::uint8_t>(operation); }
constexpr std::uint8_t opcode_of(OperatorForm form, Operation operation) {
    std::size_t index = 0;
    while (operator_rows[index].operation != operation) ++index;
    return static_cast<std::uint8_t>(operation_count + form * operator_count + index);
}

// The form and the operator of an opcode between the operations and Constant.
constexpr OperatorForm form_of(std::size_t opcode) { return OperatorForm((opcode - operation_count) / operator_count); }
constexpr const OperatorRow& operator_of(std::size_t opcode) { return operator_rows[(opcode - operation_count) % operator_count]; }

template <typename T>
struct Instruction {
    static_assert(std::is_trivially_copyable_v<T>, "instructions hold constants by copy");
    union {
        T constant;
        const T* variable;     // the value in the variable table; null while the table lacks the name
        std::size_t callable;  // which of the program's callables
    };
    std::uint8_t opcode;  // an Operation or one of the opcodes above
    std::uint32_t name;   // a variable's: where its name is kept in the program's names
};

template <typename T>
struct Program {
    std::vector<Instruction<T>> code;
    std::string names;  // the variables' names, one after another
    std::vector<UnaryFunction<T>> unary_callables;  // the caller's callables the code calls, one a call
    std::vector<BinaryFunction<T>> binary_callables;
    std::size_t stack_need = 0;
    bool binds_every_variable = true;
    // The value stack of an evaluation too deep for the machine's stack, made with the program; a nested
    // or concurrent evaluation finds it busy and makes its own.
    std::unique_ptr<T[]> deep_stack;
    mutable std::atomic<bool> deep_stack_busy{false};
    mutable std::atomic<std::size_t> evaluations{0};  // running, when the code calls a caller's callable

    static constexpr std::size_t local_slots = 64;  // values an evaluation keeps on the machine's stack

    Program() = default;
    Program(const Program& other, const VariableTable<T>& table)  // a copy, reading `table`
        : code(other.code), names(other.names), unary_callables(other.unary_callables),
          binary_callables(other.binary_callables), stack_need(other.stack_need) {
        bind(table);
        finish();
    }

    // Compiles the tree under `root` after the code already here, its variables read from `table`. A tree
    // that calls no caller's callable and whose nodes are all those of `arena` goes left operand first:
    // in the order the nodes were made, where `placeholder`, the first, stands for the value that the code
    // so far leaves. Any other goes right operand first, along its chain.
    void append(const AstNode<T>& root, const VariableTable<T>& table, const NodeArena<T>* arena = nullptr,
                const AstNode<T>* placeholder = nullptr) {
        const bool left_first = arena && !root.calls_callers_code();
        // One operand for each value the code leaves (the first push also stores the top it makes room
        // for, hence the + 1 below).
        std::vector<Operand> operands;
        const auto compile = [&](const AstNode<T>& node) {
            if (&node == placeholder) {
                operands.push_back({code.size(), false, T()});
            } else {
                emit(node, table, left_first, operands);
            }
            stack_need = std::max(stack_need, operands.size() + 1);
        };
        if (left_first) {
            arena->for_each(compile);
        } else {
            TreeWalk<T>::visit(root, compile);
        }
        place(operands.back());
    }

    // Completes a program whose code is all there.
    void finish() {
        if (stack_need > local_slots) deep_stack = std::make_unique<T[]>(stack_need);
    }

    // Reads every variable from its entry in `table`, or marks it missing (also when memory runs out).
    void bind(const VariableTable<T>& table) noexcept {
        binds_every_variable = true;
        for (Instruction<T>& in : code) {
            if (in.opcode != opcode_of(Opcode::Variable)) continue;
            try {
                in.variable = entry_of(name_of(in), table);
            } catch (const std::bad_alloc&) {
                in.variable = nullptr;
                binds_every_variable = false;
            }
        }
    }

    // Calls `visit` with the name of each variable the code reads, as often as it reads it.
    template <typename Visit>
    void for_each_name(Visit&& visit) const {
        for (const Instruction<T>& in : code) {
            if (in.opcode == opcode_of(Opcode::Variable)) visit(name_of(in));
        }
    }

    // The name of the variable that `in` reads.
    std::string name_of(const Instruction<T>& in) const { return std::string(names.data() + in.name); }

private:
    // An operand not yet taken by its operator: its code from `start` on, or a constant that has no code
    // yet, since the operator that takes it may hold it itself or fold it with its other operand.
    struct Operand { std::size_t start; bool constant; T value; };

    static Operand take(std::vector<Operand>& operands) {
        const Operand operand = operands.back();
        operands.pop_back();
        return operand;
    }

    const T* entry_of(const std::string& name, const VariableTable<T>& table) noexcept {
        const auto found = table.find(name);
        binds_every_variable = binds_every_variable && found != table.end();
        return found == table.end() ? nullptr : &found->second;
    }

    // Gives a constant operand its instruction, at `at` (its place in the order of the code).
    void place(Operand& operand, std::size_t at) {
        if (!operand.constant) return;
        Instruction<T> in{};
        in.opcode = opcode_of(Opcode::Constant);
        in.constant = operand.value;
        code.insert(code.begin() + static_cast<std::ptrdiff_t>(at), in);
        operand.constant = false;
    }
    void place(Operand& operand) { place(operand, code.size()); }

    // Appends the instruction of `node`, whose operands' code is in place.
    void emit(const AstNode<T>& node, const VariableTable<T>& table, bool left_first, std::vector<Operand>& operands) {
        if (node.kind() == AstNode<T>::Kind::Value) return operands.push_back({code.size(), true, static_cast<const ValueNode<T>&>(node).value});
        Instruction<T> in{};
        Operand made{code.size(), false, T()};
        if (node.kind() == AstNode<T>::Kind::Variable) {
            const std::string& name = static_cast<const VariableNode<T>&>(node).name;
            in.opcode = opcode_of(Opcode::Variable);
            in.variable = entry_of(name, table);
            in.name = keep_name(name);
        } else if (node.kind() == AstNode<T>::Kind::Unary) {
            const auto& unary = static_cast<const UnaryNode<T>&>(node);
            made = take(operands);
            if (made.constant && unary.builtin()) return operands.push_back({made.start, true, apply(*unary.builtin(), made.value)});
            place(made);
            in.opcode = unary.builtin() ? opcode_of(*unary.builtin()) : call(unary_callables, unary.fn, in, Opcode::CallUnary);
        } else {
            Operand second = take(operands);
            made = take(operands);
            Operand& left = left_first ? made : second;
            Operand& right = left_first ? second : made;
            const auto& binary = static_cast<const BinaryNode<T>&>(node);
            if (left.constant && right.constant && binary.builtin()) {
                return operands.push_back({made.start, true, apply(*binary.builtin(), left.value, right.value)});
            }
            emit_operator(binary, left_first, left, right, in);
        }
        code.push_back(in);
        operands.push_back({made.start, false, T()});
    }

    // Sets `in` for a binary operator. A built-in one holds a constant operand itself; a caller's callable
    // takes both operands from the stack, the right one below.
    void emit_operator(const BinaryNode<T>& node, bool left_first_order, Operand& left, Operand& right, Instruction<T>& in) {
        if (!node.builtin()) {
            place(right, left.constant ? code.size() : left.start);  // right operand first
            place(left);
            in.opcode = call(binary_callables, node.fn, in, Opcode::CallBinary);
            return;
        }
        const Operation operation = *node.builtin();
        if (right.constant || left.constant) {
            in.opcode = opcode_of(right.constant ? constant_right : constant_left, operation);
            in.constant = (right.constant ? right : left).value;
            if (right.constant) place(left);  // the only value the operator takes from the stack
        } else {
            in.opcode = left_first_order ? opcode_of(left_first, operation) : opcode_of(operation);
        }
    }

    template <typename Function>
    static std::uint8_t call(std::vector<Function>& callables, const Function& fn, Instruction<T>& in, Opcode opcode) {
        in.callable = callables.size();
        callables.push_back(fn);
        return opcode_of(opcode);
    }

    // A NUL ends each name: an Expression's names are letters.
    std::uint32_t keep_name(const std::string& name) {
        const std::size_t at = names.size();
        if (at + name.size() >= std::numeric_limits<std::uint32_t>::max()) throw std::length_error("names beyond 4 GiB");
        names.append(name).push_back('\0');
        return static_cast<std::uint32_t>(at);
    }
};

}  // namespace exprkit::detail
