// Expression tree nodes: constants, variables, one-argument functions and binary operators.
// The tree builder hands each node its callable and its children; the root answers evaluate(),
// evaluate(values), clone() and is_valid(). A missing variable throws std::out_of_range; an empty
// callable std::bad_function_call; a caller's callable may throw anything, which passes through.
//
// No operation recurses per level. When a node adopts its children it threads its subtree into one
// chain in evaluation order (post-order, right operand before left), so every walk is a loop along
// that chain with a value stack whose size each node knows from construction. The first evaluation
// from an operator node also flattens its chain into a compact program of steps, which later
// evaluations run from one contiguous array instead of chasing node pointers.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <memory_resource>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <type_traits>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "function_tables.hpp"
#include "name_map.hpp"
#include "node_blocks.hpp"

namespace exprkit {

// Variable values by name. The table may draw its entries from a memory resource of the caller's, such
// as a buffer on the stack for the values of a single evaluation; by default they come from the heap.
template <typename T>
using VariableTable = std::pmr::unordered_map<std::string, T, detail::NameHash, detail::NameEqual>;

template <typename T>
class ValueNode;
template <typename T>
class VariableNode;
template <typename T>
class UnaryNode;
template <typename T>
class BinaryNode;

namespace detail {
template <typename T>
struct TreeWalk;
template <typename T>
class OperatorNode;
}

template <typename T>
class AstNode {
public:
    virtual ~AstNode() = default;
    virtual T evaluate() const = 0;
    virtual T evaluate(const VariableTable<T>& values) const = 0;
    virtual std::unique_ptr<AstNode> clone() const = 0;
    virtual bool is_valid() const = 0;

    AstNode(const AstNode&) = delete;
    AstNode& operator=(const AstNode&) = delete;

    // Every node, also one made outside a parse, is carved from the node blocks; delete finds its block.
    static void* operator new(std::size_t size) { return detail::NodeBlocks::allocate(size); }
    static void operator delete(void* node, std::size_t size) noexcept { detail::NodeBlocks::deallocate(node, size); }

protected:
    enum class Kind : std::uint8_t { Value, Variable, Unary, Binary };

    explicit AstNode(Kind node_kind) : kind(node_kind) {}

private:
    friend struct detail::TreeWalk<T>;
    friend class UnaryNode<T>;
    friend class BinaryNode<T>;

    // A subtree's nodes form a chain in evaluation order that ends at the subtree's root; `next` links
    // each node to the one after it in its parent's chain (null at the root of the whole tree).
    AstNode* next = nullptr;
    std::uint32_t stack_need = 1;  // value-stack slots that evaluating this subtree takes
    const Kind kind;
};

namespace detail {

// One step of a flattened evaluation: a constant, a variable to look up, or an operation on the top of
// the value stack. Built-in operations are steps of their own; a caller's callable is called through
// the node's copy of it.
enum class StepKind : std::uint8_t {
    Value, Variable, UnaryCall, BinaryCall,
    Add, Subtract, Multiply, Divide, Power,
    Sqrt, Exp, Sin, Cos, Tan, Csec, Sec, Cot, Asin, Acos, Atan, Ln, Log, Abs, Negate,
};

constexpr StepKind step_kind_of(UnaryOp op) {
    return static_cast<StepKind>(static_cast<int>(StepKind::Sqrt) + static_cast<int>(op));
}
constexpr StepKind step_kind_of(BinaryOp op) {
    return static_cast<StepKind>(static_cast<int>(StepKind::Add) + static_cast<int>(op));
}
constexpr UnaryOp unary_op_of(StepKind kind) {
    return static_cast<UnaryOp>(static_cast<int>(kind) - static_cast<int>(StepKind::Sqrt));
}
static_assert(step_kind_of(UnaryOp::Negate) == StepKind::Negate && step_kind_of(UnaryOp::Log) == StepKind::Log,
              "every built-in function has the step of the same name");
static_assert(step_kind_of(BinaryOp::Power) == StepKind::Power && step_kind_of(BinaryOp::Divide) == StepKind::Divide,
              "every built-in operator has the step of the same name");

template <typename T>
struct Step {
    static_assert(std::is_trivially_copyable_v<T>, "steps hold values of the number type by copy");
    union {
        T value;
        const VariableNode<T>* variable;
        const UnaryFunction<T>* unary;
        const BinaryFunction<T>* binary;
    };
    StepKind kind;
    // For a variable: which of the evaluation's remembered values stands for its name (see run).
    std::uint8_t name_slot;
};

// How many distinct variable names an evaluation remembers the values of; further names are looked
// up at every occurrence.
inline constexpr std::uint8_t remembered_names = 32;  // one bit each in an evaluation's 32-bit mask

// The evaluation order of a subtree as steps, with a value stack for deep evaluations. A nested or
// concurrent evaluation of the same subtree finds the stack busy and takes one of its own.
template <typename T>
struct Program {
    std::vector<Step<T>> steps;
    std::size_t stack_need = 1;
    std::unique_ptr<T[]> stack;
    std::atomic<bool> stack_busy{false};
};

template <typename T>
std::unique_ptr<AstNode<T>> require_child(std::unique_ptr<AstNode<T>> child) {
    if (!child) throw std::invalid_argument("operand subtree must not be empty");
    return child;
}

}  // namespace detail

template <typename T>
class ValueNode final : public AstNode<T> {
public:
    const T value;

    explicit ValueNode(T node_value) : AstNode<T>(AstNode<T>::Kind::Value), value(node_value) {}

    T evaluate() const override { return value; }
    T evaluate(const VariableTable<T>&) const override { return value; }
    std::unique_ptr<AstNode<T>> clone() const override { return std::make_unique<ValueNode>(value); }
    bool is_valid() const override { return true; }
};

template <typename T>
class VariableNode final : public AstNode<T> {
public:
    const std::string name;
    const VariableTable<T>* const table;  // not owned; the table this variable is bound to

    VariableNode(std::string variable_name, const VariableTable<T>* bound_table)
        : AstNode<T>(AstNode<T>::Kind::Variable), name(std::move(variable_name)), table(bound_table) {}

    T evaluate() const override { return read_bound(); }
    T evaluate(const VariableTable<T>& values) const override { return detail::lookup(values, name); }
    std::unique_ptr<AstNode<T>> clone() const override { return std::make_unique<VariableNode>(name, table); }
    bool is_valid() const override { return table != nullptr && detail::find_name(*table, name) != nullptr; }

    T read_bound() const {
        if (table == nullptr) throw std::out_of_range(messages::missing_key);
        return detail::lookup(*table, name);
    }
};

namespace detail {

// What unary and binary nodes share: the walks over their subtree, and the program that the first
// evaluation flattens it into.
template <typename T>
class OperatorNode : public AstNode<T> {
public:
    ~OperatorNode() override { delete program.load(std::memory_order_acquire); }

    T evaluate() const override;
    T evaluate(const VariableTable<T>& values) const override;
    std::unique_ptr<AstNode<T>> clone() const override;
    bool is_valid() const override;

protected:
    using AstNode<T>::AstNode;

private:
    mutable std::atomic<Program<T>*> program{nullptr};
};

}  // namespace detail

template <typename T>
class UnaryNode final : public detail::OperatorNode<T> {
public:
    const UnaryFunction<T> fn;

    UnaryNode(UnaryFunction<T> function, std::unique_ptr<AstNode<T>> operand)
        : detail::OperatorNode<T>(AstNode<T>::Kind::Unary),
          fn(std::move(function)),
          child(detail::require_child(std::move(operand))) {
        child->next = this;
        this->stack_need = child->stack_need;
    }
    ~UnaryNode() override;

private:
    friend struct detail::TreeWalk<T>;
    std::unique_ptr<AstNode<T>> child;
};

template <typename T>
class BinaryNode final : public detail::OperatorNode<T> {
public:
    const BinaryFunction<T> fn;

    BinaryNode(BinaryFunction<T> function, std::unique_ptr<AstNode<T>> left_operand,
               std::unique_ptr<AstNode<T>> right_operand)
        : detail::OperatorNode<T>(AstNode<T>::Kind::Binary),
          fn(std::move(function)),
          left(detail::require_child(std::move(left_operand))),
          right(detail::require_child(std::move(right_operand))) {
        right->next = detail::TreeWalk<T>::first_of(*left);
        left->next = this;
        this->stack_need = std::max(right->stack_need, left->stack_need + 1);
    }
    ~BinaryNode() override;

    static void* operator new(std::size_t size) {
        return detail::NodeBlocks::allocate(size, detail::NodeBlocks::Stream::Operators);
    }
    static void operator delete(void* node, std::size_t size) noexcept { detail::NodeBlocks::deallocate(node, size); }

    // The tree builder's form, `new (*left) BinaryNode(fn, std::move(left), std::move(right))`: an
    // operator whose left operand is itself a binary operator continues a left-nested chain, such as
    // the terms of a long sum, and is carved with the others of that spine.
    static void* operator new(std::size_t size, const AstNode<T>& left_operand) {
        const bool spine = left_operand.kind == AstNode<T>::Kind::Binary;
        return detail::NodeBlocks::allocate(size, spine ? detail::NodeBlocks::Stream::LeftSpines
                                                        : detail::NodeBlocks::Stream::Operators);
    }
    // Frees the memory when the constructor of the form above throws.
    static void operator delete(void* node, const AstNode<T>&) noexcept {
        detail::NodeBlocks::deallocate(node, sizeof(BinaryNode));
    }

private:
    friend struct detail::TreeWalk<T>;
    std::unique_ptr<AstNode<T>> left;
    std::unique_ptr<AstNode<T>> right;
};

namespace detail {

// The loops over a subtree's evaluation chain that stand in for recursion.
template <typename T>
struct TreeWalk {
    using Node = AstNode<T>;
    using Kind = typename Node::Kind;
    static constexpr std::size_t inline_slots = 32;

    // The first node of a subtree's chain: its leftmost leaf in evaluation order, reached through
    // right operands, as those are evaluated first.
    static Node* first_of(const Node& root) {
        const Node* node = &root;
        for (;;) {
            if (node->kind == Kind::Unary) {
                node = static_cast<const UnaryNode<T>*>(node)->child.get();
            } else if (node->kind == Kind::Binary) {
                node = static_cast<const BinaryNode<T>*>(node)->right.get();
            } else {
                return const_cast<Node*>(node);
            }
        }
    }

    template <typename Lookup>
    static T evaluate(const Node& root, std::atomic<Program<T>*>& slot, const Lookup& lookup) {
        Program<T>& program = program_of(root, slot);
        if (program.stack_need <= inline_slots) {
            T slots[inline_slots];
            return run(program, slots, lookup);
        }
        bool idle = false;
        if (program.stack_busy.compare_exchange_strong(idle, true, std::memory_order_acquire)) {
            const StackRelease release{program.stack_busy};
            return run(program, program.stack.get(), lookup);
        }
        const auto own = std::make_unique<T[]>(program.stack_need);
        return run(program, own.get(), lookup);
    }

    // Constants and variables push a value; an operation replaces the top of the stack. A binary one
    // pops its left operand, pushed last as the right one is evaluated first, and combines it with the
    // right one below it: fn(left, right).
    //
    // A name that occurs again is not looked up again: its value is remembered from its first lookup
    // until the next call of a caller's callable, which is the only code that can change a table while
    // the evaluation runs. Each value read is therefore the one a lookup at that point would give, and
    // a missing name still fails at its first occurrence.
    template <typename Lookup>
    static T run(const Program<T>& program, T* stack, const Lookup& lookup) {
        std::size_t size = 0;
        T remembered[remembered_names];
        std::uint32_t known = 0;  // bit i: remembered[i] holds the value of the names of slot i
        for (const Step<T>& step : program.steps) {
            switch (step.kind) {
                case StepKind::Value: stack[size++] = step.value; break;
                case StepKind::Variable: {
                    const std::uint8_t slot = step.name_slot;
                    if (slot >= remembered_names) {
                        stack[size++] = lookup(*step.variable);
                    } else if ((known >> slot & 1u) != 0) {
                        stack[size++] = remembered[slot];
                    } else {
                        remembered[slot] = lookup(*step.variable);
                        known |= std::uint32_t{1} << slot;
                        stack[size++] = remembered[slot];
                    }
                    break;
                }
                case StepKind::UnaryCall:
                    stack[size - 1] = (*step.unary)(stack[size - 1]);
                    known = 0;
                    break;
                case StepKind::BinaryCall:
                    --size;
                    stack[size - 1] = (*step.binary)(stack[size], stack[size - 1]);
                    known = 0;
                    break;
                case StepKind::Add: --size; stack[size - 1] = stack[size] + stack[size - 1]; break;
                case StepKind::Subtract: --size; stack[size - 1] = stack[size] - stack[size - 1]; break;
                case StepKind::Multiply: --size; stack[size - 1] = stack[size] * stack[size - 1]; break;
                case StepKind::Divide: --size; stack[size - 1] = stack[size] / stack[size - 1]; break;
                case StepKind::Power: --size; stack[size - 1] = apply(BinaryOp::Power, stack[size], stack[size - 1]); break;
                default: stack[size - 1] = apply(unary_op_of(step.kind), stack[size - 1]); break;
            }
        }
        return stack[0];
    }

    static bool is_valid(const Node& root) {
        for (const Node* node = first_of(root);; node = node->next) {
            if (node->kind == Kind::Variable && !node->is_valid()) return false;
            if (node == &root) return true;
        }
    }

    // Rebuilds the subtree along its chain: each operator takes its copied operands off the stack
    // (right first, then left, as they were copied).
    static std::unique_ptr<Node> clone(const Node& root) {
        std::vector<std::unique_ptr<Node>> built;
        for (const Node* node = first_of(root);; node = node->next) {
            switch (node->kind) {
                case Kind::Value:
                case Kind::Variable:
                    built.push_back(node->clone());
                    break;
                case Kind::Unary: {
                    auto operand = pop(built);
                    built.push_back(
                        std::make_unique<UnaryNode<T>>(static_cast<const UnaryNode<T>*>(node)->fn, std::move(operand)));
                    break;
                }
                case Kind::Binary: {
                    auto left = pop(built);
                    auto right = pop(built);
                    built.push_back(std::make_unique<BinaryNode<T>>(static_cast<const BinaryNode<T>*>(node)->fn,
                                                                    std::move(left), std::move(right)));
                    break;
                }
            }
            if (node == &root) return pop(built);
        }
    }

    // Deletes every node below `root`, children before parents, without recursion: each operator
    // node lets go of its (already deleted) children first, so its destructor has nothing left to do.
    static void dismantle(Node& root) {
        NodeBlocks::Release freed;
        Node* node = first_of(root);
        while (node != &root) {
            Node* following = node->next;
            release_children(*node);
            const std::size_t size = size_of(*node);
            node->~Node();
            freed.add(node, size);
            node = following;
        }
        release_children(root);
    }

private:
    struct StackRelease {
        std::atomic<bool>& busy;
        ~StackRelease() { busy.store(false, std::memory_order_release); }
    };

    // The subtree's program, flattened on first use. Two threads that race to build it keep the one
    // published first.
    static Program<T>& program_of(const Node& root, std::atomic<Program<T>*>& slot) {
        if (Program<T>* ready = slot.load(std::memory_order_acquire)) return *ready;
        auto built = flatten(root);
        Program<T>* published = nullptr;
        if (slot.compare_exchange_strong(published, built.get(), std::memory_order_acq_rel)) return *built.release();
        return *published;
    }

    static std::unique_ptr<Program<T>> flatten(const Node& root) {
        auto program = std::make_unique<Program<T>>();
        program->stack_need = root.stack_need;
        if (root.stack_need > inline_slots) program->stack = std::make_unique<T[]>(root.stack_need);
        NameMap<std::uint8_t> slots;  // the distinct variable names, numbered in order of appearance
        for (const Node* node = first_of(root);; node = node->next) {
            Step<T> step = step_of(*node);
            if (step.kind == StepKind::Variable) step.name_slot = slot_of(step.variable->name, slots);
            program->steps.push_back(step);
            if (node == &root) return program;
        }
    }

    static std::uint8_t slot_of(const std::string& name, NameMap<std::uint8_t>& slots) {
        if (const std::uint8_t* known = find_name(slots, name)) return *known;
        if (slots.size() >= remembered_names) return remembered_names;
        const auto slot = static_cast<std::uint8_t>(slots.size());
        slots.emplace(name, slot);
        return slot;
    }

    static Step<T> step_of(const Node& node) {
        Step<T> step{};
        switch (node.kind) {
            case Kind::Value:
                step.kind = StepKind::Value;
                step.value = static_cast<const ValueNode<T>&>(node).value;
                break;
            case Kind::Variable:
                step.kind = StepKind::Variable;
                step.variable = &static_cast<const VariableNode<T>&>(node);
                break;
            case Kind::Unary: {
                const auto& unary = static_cast<const UnaryNode<T>&>(node);
                step.unary = &unary.fn;
                const UnaryOp op = builtin_op(unary.fn);
                step.kind = op == UnaryOp::Custom ? StepKind::UnaryCall : step_kind_of(op);
                break;
            }
            case Kind::Binary: {
                const auto& binary = static_cast<const BinaryNode<T>&>(node);
                step.binary = &binary.fn;
                const BinaryOp op = builtin_op(binary.fn);
                step.kind = op == BinaryOp::Custom ? StepKind::BinaryCall : step_kind_of(op);
                break;
            }
        }
        return step;
    }

    static std::unique_ptr<Node> pop(std::vector<std::unique_ptr<Node>>& stack) {
        auto top = std::move(stack.back());
        stack.pop_back();
        return top;
    }

    static std::size_t size_of(const Node& node) {
        static_assert(sizeof(ValueNode<T>) <= NodeBlocks::largest_carved && sizeof(VariableNode<T>) <= NodeBlocks::largest_carved &&
                          sizeof(UnaryNode<T>) <= NodeBlocks::largest_carved && sizeof(BinaryNode<T>) <= NodeBlocks::largest_carved,
                      "every kind of node is carved from the node blocks");
        switch (node.kind) {
            case Kind::Value: return sizeof(ValueNode<T>);
            case Kind::Variable: return sizeof(VariableNode<T>);
            case Kind::Unary: return sizeof(UnaryNode<T>);
            case Kind::Binary: break;
        }
        return sizeof(BinaryNode<T>);
    }

    static void release_children(Node& node) {
        if (node.kind == Kind::Unary) {
            static_cast<void>(static_cast<UnaryNode<T>&>(node).child.release());
        } else if (node.kind == Kind::Binary) {
            auto& binary = static_cast<BinaryNode<T>&>(node);
            static_cast<void>(binary.right.release());
            static_cast<void>(binary.left.release());
        }
    }
};

template <typename T>
struct BoundLookup {
    T operator()(const VariableNode<T>& variable) const { return variable.read_bound(); }
};

template <typename T>
struct GivenLookup {
    const VariableTable<T>& values;
    T operator()(const VariableNode<T>& variable) const { return lookup(values, variable.name); }
};

}  // namespace detail

template <typename T>
UnaryNode<T>::~UnaryNode() {
    if (child) detail::TreeWalk<T>::dismantle(*this);
}

template <typename T>
BinaryNode<T>::~BinaryNode() {
    if (left && right) detail::TreeWalk<T>::dismantle(*this);
}

namespace detail {

template <typename T>
T OperatorNode<T>::evaluate() const {
    return TreeWalk<T>::evaluate(*this, program, BoundLookup<T>{});
}

template <typename T>
T OperatorNode<T>::evaluate(const VariableTable<T>& values) const {
    return TreeWalk<T>::evaluate(*this, program, GivenLookup<T>{values});
}

template <typename T>
std::unique_ptr<AstNode<T>> OperatorNode<T>::clone() const {
    return TreeWalk<T>::clone(*this);
}

template <typename T>
bool OperatorNode<T>::is_valid() const {
    return TreeWalk<T>::is_valid(*this);
}

}  // namespace detail

}  // namespace exprkit
