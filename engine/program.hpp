// A compiled program: a tree's evaluation order as one flat array of instructions, which an evaluation
// runs in a loop (evaluation.hpp) instead of chasing node pointers. A built-in operation is an opcode of
// its own, and so is a built-in operator with a constant operand, whose constant then takes no
// instruction (nothing can observe when a constant is read); a caller's callable is called through the
// node's copy of it; a variable is read straight from its entry in the variable table, found once, when
// the program is compiled.
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

// What an instruction does: a built-in operation (its value in language.hpp), then a built-in operator
// with a constant right operand and one with a constant left operand (in the order of the operator
// rows), then the rest.
inline constexpr std::size_t operator_count = operator_rows.size();
enum class Opcode : std::uint8_t { Constant = operation_count + 2 * operator_count, Variable, CallUnary, CallBinary };
inline constexpr std::size_t opcode_count = operation_count + 2 * operator_count + 4;

constexpr std::uint8_t opcode_of(Opcode opcode) { return static_cast<std::uint8_t>(opcode); }
constexpr std::uint8_t opcode_of(Operation operation) { return static_cast<std::uint8_t>(operation); }

// The operator of an opcode with a constant operand, and whether the constant is its right operand.
constexpr const OperatorRow& operator_with_constant(std::size_t opcode) {
    return operator_rows[(opcode - operation_count) % operator_count];
}
constexpr bool constant_on_the_right(std::size_t opcode) { return opcode < operation_count + operator_count; }

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
    std::vector<Instruction<T>> code;  // the tree's nodes in the order of its chain, constant operands folded
    std::size_t stack_need = 0;
    // The one-argument callables a caller supplied that the program calls, as often as the tree holds
    // them: a binding that must report what they keep alive reads this list, not the whole tree.
    std::vector<const UnaryFunction<T>*> callers_callables;
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
        std::vector<std::size_t> starts;  // where the code of each operand not yet taken begins
        std::size_t depth = 0;
        TreeWalk<T>::visit(root, [&](const AstNode<T>& node) {
            Instruction<T> in = instruction_of(node, table, depth);
            std::size_t start = code.size();
            if (node.kind() == AstNode<T>::Kind::Unary) start = take(starts);
            if (node.kind() == AstNode<T>::Kind::Binary) {
                const std::size_t left = take(starts);
                start = take(starts);
                if (in.opcode < operation_count) fold(in, start, left);
            }
            code.push_back(in);
            starts.push_back(start);
            stack_need = std::max(stack_need, depth + 1);  // with a slot for what the first push stores
        });
        code.erase(std::remove_if(code.begin(), code.end(), [](const auto& in) { return in.opcode == folded; }), code.end());
        if (stack_need > local_slots) deep_stack = std::make_unique<T[]>(stack_need);
    }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    // Reads every variable of `root`, the tree it was compiled from, from its entry in `table`, or marks
    // it missing there.
    void bind(const AstNode<T>& root, const VariableTable<T>& table) {
        auto in = code.begin();  // the variables' instructions are in the order of their nodes
        for_each_variable(root, [&](const std::string& name) {
            while (in->opcode != opcode_of(Opcode::Variable)) ++in;
            (in++)->variable = entry_of(name, table);
        });
    }

    // One line per instruction of the program compiled from `root`, for tests and debugging:
    // "constant 3", "variable x", "binary ^", "binary ^ right 2", "binary * left 3", "unary sin",
    // "call unary", "call binary".
    std::string dump(const AstNode<T>& root) const {
        std::vector<const std::string*> names;
        for_each_variable(root, [&names](const std::string& name) { names.push_back(&name); });
        auto name = names.begin();
        std::ostringstream out;
        for (const Instruction<T>& in : code) {
            if (in.opcode < operation_count) {
                const auto operation = static_cast<Operation>(in.opcode);
                out << (is_binary(operation) ? "binary " : "unary ") << operation_name(operation);
            } else if (in.opcode < opcode_of(Opcode::Constant)) {
                out << "binary " << operator_with_constant(in.opcode).symbol
                    << (constant_on_the_right(in.opcode) ? " right " : " left ") << in.constant;
            } else if (in.opcode == opcode_of(Opcode::Constant)) {
                out << "constant " << in.constant;
            } else if (in.opcode == opcode_of(Opcode::Variable)) {
                out << "variable " << **name++ << (in.variable ? "" : " (missing)");
            } else {
                out << (in.opcode == opcode_of(Opcode::CallUnary) ? "call unary" : "call binary");
            }
            out << '\n';
        }
        return out.str();
    }

private:
    static constexpr std::uint8_t folded = 0xff;  // a constant that its operator's instruction holds

    template <typename Visit>
    static void for_each_variable(const AstNode<T>& root, Visit&& visit) {
        TreeWalk<T>::visit(root, [&](const AstNode<T>& node) {
            if (node.kind() == AstNode<T>::Kind::Variable) visit(static_cast<const VariableNode<T>&>(node).name);
        });
    }

    static std::size_t take(std::vector<std::size_t>& starts) {
        const std::size_t start = starts.back();
        starts.pop_back();
        return start;
    }

    // Makes `in`, a built-in operator whose right operand's code begins at `right` and left operand's at
    // `left` (the end), hold a constant operand itself. The right one is marked folded and dropped at
    // the end; the left one, the last instruction made, goes now.
    void fold(Instruction<T>& in, std::size_t right, std::size_t left) {
        const auto operation = static_cast<Operation>(in.opcode);
        if (left - right == 1 && code[right].opcode == opcode_of(Opcode::Constant)) {
            in.constant = code[right].constant;
            in.opcode = static_cast<std::uint8_t>(operation_count + operator_index(operation));
            code[right].opcode = folded;
        } else if (code.size() - left == 1 && code.back().opcode == opcode_of(Opcode::Constant)) {
            in.constant = code.back().constant;
            in.opcode = static_cast<std::uint8_t>(operation_count + operator_count + operator_index(operation));
            code.pop_back();
        }
    }

    static constexpr std::size_t operator_index(Operation operation) {
        std::size_t index = 0;
        while (operator_rows[index].operation != operation) ++index;
        return index;
    }

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
            if constexpr (std::is_same_v<Function, UnaryFunction<T>>) callers_callables.push_back(&fn);
        }
    }
};

}  // namespace exprkit::detail
