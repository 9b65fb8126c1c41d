// A compiled program: a tree's evaluation order as one flat array of instructions, which an evaluation
// runs in a loop (evaluation.hpp) instead of chasing node pointers. A built-in operation is an
// opcode of its own; a caller's callable is called through the node's copy of it; a variable is
// read straight from its entry in the variable table, found once, when the program is compiled.
//
// Invariants: a program lives no longer than its tree, whose callables it points at; and a variable's
// entry stays where it is until the table is cleared, so whoever clears the table binds every program
// that may still run to the refilled table (bind()).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <memory>
#include <sstream>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "function_tables.hpp"
#include "language.hpp"
#include "nodes.hpp"

namespace exprkit::detail {

// What an instruction does. A built-in operation is an opcode of its own, its value in language.hpp;
// the others are numbered after the operations.
enum class Opcode : std::uint8_t { Constant = operation_count, Variable, CallUnary, CallBinary };
inline constexpr std::size_t opcode_count = operation_count + 4;

constexpr std::uint8_t opcode_of(Opcode opcode) { return static_cast<std::uint8_t>(opcode); }
constexpr std::uint8_t opcode_of(Operation operation) { return static_cast<std::uint8_t>(operation); }

template <typename T>
struct Instruction {
    static_assert(std::is_trivially_copyable_v<T>, "instructions hold constants by copy");
    union {
        T constant;
        const T* variable;  // the value in the variable table; null while the table lacks the name
        const UnaryFunction<T>* unary;
        const BinaryFunction<T>* binary;
    };
    std::uint8_t opcode;  // an Operation or an Opcode
};

template <typename T>
struct Program {
    std::vector<Instruction<T>> code;  // the tree's nodes, one instruction each, in the order of its chain
    std::size_t stack_need = 0;
    bool calls_callers_code = false;
    bool binds_every_variable = true;  // when it was compiled
    // The value stack of an evaluation too deep for the machine's stack, made with the program so that
    // evaluating allocates nothing; a nested or concurrent evaluation finds it busy and makes its own.
    std::unique_ptr<T[]> deep_stack;
    mutable std::atomic<bool> deep_stack_busy{false};

    static constexpr std::size_t local_slots = 64;  // values an evaluation keeps on the machine's stack

    // Compiles the tree under `root`, its variables read from `table`; `size_hint` nodes are expected.
    Program(const AstNode<T>& root, const VariableTable<T>& table, std::size_t size_hint = 0) {
        code.reserve(size_hint);
        std::size_t depth = 0;
        TreeWalk<T>::visit(root, [&](const AstNode<T>& node) {
            code.push_back(instruction_of(node, table, depth));
            stack_need = std::max(stack_need, depth + 1);  // with a slot for what the first push stores
        });
        if (stack_need > local_slots) deep_stack = std::make_unique<T[]>(stack_need);
    }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    // Reads every variable of `root`, the tree it was compiled from, from its entry in `table`, or marks
    // it missing there.
    void bind(const AstNode<T>& root, const VariableTable<T>& table) {
        std::size_t at = 0;
        TreeWalk<T>::visit(root, [&](const AstNode<T>& node) {
            if (node.kind() == AstNode<T>::Kind::Variable) {
                code[at].variable = entry_of(static_cast<const VariableNode<T>&>(node).name, table);
            }
            ++at;
        });
    }

    // One line per instruction of the program compiled from `root`, for tests and debugging:
    // "constant 3", "variable x", "binary ^", "unary sin", "call unary", "call binary".
    std::string dump(const AstNode<T>& root) const {
        std::ostringstream out;
        auto in = code.begin();
        TreeWalk<T>::visit(root, [&](const AstNode<T>& node) {
            if (in->opcode < operation_count) {
                const auto operation = static_cast<Operation>(in->opcode);
                out << (is_binary(operation) ? "binary " : "unary ") << operation_name(operation);
            } else if (in->opcode == opcode_of(Opcode::Constant)) {
                out << "constant " << in->constant;
            } else if (in->opcode == opcode_of(Opcode::Variable)) {
                out << "variable " << static_cast<const VariableNode<T>&>(node).name << (in->variable ? "" : " (missing)");
            } else {
                out << (in->opcode == opcode_of(Opcode::CallUnary) ? "call unary" : "call binary");
            }
            out << '\n';
            ++in;
        });
        return out.str();
    }

private:
    static const T* entry_of(const std::string& name, const VariableTable<T>& table) {
        const auto found = table.find(name);
        return found == table.end() ? nullptr : &found->second;
    }

    // The instruction for `node`; `depth` follows the number of values on the stack after it.
    Instruction<T> instruction_of(const AstNode<T>& node, const VariableTable<T>& table, std::size_t& depth) {
        Instruction<T> in{};
        switch (node.kind()) {
            case AstNode<T>::Kind::Value:
                in.opcode = opcode_of(Opcode::Constant);
                in.constant = static_cast<const ValueNode<T>&>(node).value;
                ++depth;
                break;
            case AstNode<T>::Kind::Variable:
                in.opcode = opcode_of(Opcode::Variable);
                in.variable = entry_of(static_cast<const VariableNode<T>&>(node).name, table);
                binds_every_variable = binds_every_variable && in.variable != nullptr;
                ++depth;
                break;
            case AstNode<T>::Kind::Unary:
                set_operation(in, static_cast<const UnaryNode<T>&>(node).fn, Opcode::CallUnary, in.unary);
                break;
            case AstNode<T>::Kind::Binary:
                set_operation(in, static_cast<const BinaryNode<T>&>(node).fn, Opcode::CallBinary, in.binary);
                --depth;
                break;
        }
        return in;
    }

    template <typename Function>
    void set_operation(Instruction<T>& in, const Function& fn, Opcode call, const Function*& called) {
        if (const Operation* operation = builtin_operation(fn)) {
            in.opcode = opcode_of(*operation);
        } else {
            in.opcode = opcode_of(call);
            called = &fn;
            calls_callers_code = true;
        }
    }
};

}  // namespace exprkit::detail
