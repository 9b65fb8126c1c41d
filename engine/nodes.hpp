// Expression tree nodes: constants, variables, one-argument functions and binary operators.
// The tree builder hands each node its callable and its children; the root answers evaluate(),
// evaluate(values), clone() and is_valid(). A missing variable throws std::out_of_range; an empty
// callable std::bad_function_call; a caller's callable may throw anything, which passes through.
//
// No operation recurses per level. When a node adopts its children it threads its subtree into one
// chain in evaluation order (post-order, right operand before left), so every walk is a loop along
// that chain with a value stack whose size each node knows from construction. The first evaluation
// from an operator node also flattens its chain into a compact program of steps, which later
// evaluations run from one contiguous array instead of chasing node pointers; in it, a subexpression
// of built-ins that occurs again is computed once.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <memory_resource>
#include <optional>
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
// the node's copy of it. Keep and Reuse save a result that the program needs again and push it back.
enum class StepKind : std::uint8_t {
    Value, Variable, UnaryCall, BinaryCall, Keep, Reuse,
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
    // For a variable: which of the evaluation's remembered values stands for its name. For Keep and
    // Reuse: which of its kept results (see run).
    std::uint8_t slot;
};

// How many distinct variable names an evaluation remembers the values of; further names are looked
// up at every occurrence.
inline constexpr std::uint8_t remembered_names = 32;  // one bit each in an evaluation's 32-bit mask

// How many results of repeated subexpressions an evaluation keeps; further repeats are computed again.
inline constexpr std::uint8_t kept_results = 32;

constexpr bool is_builtin_operation(StepKind kind) { return kind >= StepKind::Add; }
static_assert(static_cast<int>(StepKind::Negate) < 64, "step kinds fit a 64-bit set");

// A subexpression of built-in operations that occurs again with the same operands (sin(y) twice in
// sin(y)^2+sin(y)) gives the same result every time, bit for bit: the built-ins are pure and a
// variable has one value throughout an evaluation that calls no caller's callable. Its first
// occurrence then keeps its result, and each later one becomes a single step that reuses it. The
// first occurrence is still evaluated first, so a missing name fails where it did.
//
// Works on the steps of a program that calls no caller's callable. Each subexpression's steps are a
// contiguous run ending at its operation; subexpressions are identified by value numbering: equal
// operation and equal operand numbers give equal numbers.
template <typename T>
class RepeatSharing {
public:
    // The steps with repeats computed once, or nothing when no subexpression repeats.
    static std::optional<std::vector<Step<T>>> share(const std::vector<Step<T>>& steps) {
        if (steps.size() >= none || !some_operation_recurs(steps)) return std::nullopt;
        RepeatSharing sharing(steps);
        if (!sharing.any_repeat) return std::nullopt;
        sharing.choose_kept_results();
        return sharing.rewrite();
    }

private:
    static constexpr std::uint32_t none = ~std::uint32_t{0};

    // What makes two steps compute the same value: the kind, the operand numbers (or the variable's
    // remembered slot) and a constant's bits.
    struct Shape {
        std::uint64_t bits = 0;
        std::uint32_t first = none;
        std::uint32_t second = none;
        StepKind kind = StepKind::Value;

        bool operator==(const Shape& other) const {
            return bits == other.bits && first == other.first && second == other.second && kind == other.kind;
        }
        std::uint64_t hash() const {
            std::uint64_t h = bits * 0x9E3779B97F4A7C15ull;
            h ^= (std::uint64_t{first} << 32 | second) + 0x632BE59BD9B4E019ull + (h << 6) + (h >> 2);
            h ^= static_cast<std::uint64_t>(kind) * 0xC2B2AE3D27D4EB4Full;
            return h ^ (h >> 29);
        }
    };

    struct StepFacts {
        std::uint32_t number;        // the value number of the step's result
        std::uint32_t repeat_until;  // the last step of the largest repeat that starts here, or none
    };
    struct NumberFacts {
        Shape shape;
        std::uint32_t first_end;  // the step that first computes it
        std::uint8_t kept_slot;   // its kept result's slot + 1, or 0
    };

    const std::vector<Step<T>>& steps;
    std::vector<StepFacts> at_step;
    std::vector<NumberFacts> numbers;
    bool any_repeat = false;

    // Numbers every step, and records where a subexpression that was computed before starts again.
    explicit RepeatSharing(const std::vector<Step<T>>& program_steps) : steps(program_steps) {
        at_step.reserve(steps.size());
        numbers.reserve(steps.size());
        // Open addressing, at most half full: value numbers, found by their shape's hash.
        std::vector<std::uint32_t> table(std::size_t{16} << log2_at_least(steps.size() / 8 + 1), none);
        const std::size_t mask = table.size() - 1;
        struct Operand {
            std::uint32_t number;
            std::uint32_t start;
        };
        std::vector<Operand> operands;
        operands.reserve(32);  // deeper trees grow it
        std::uint64_t unique = 0;
        for (std::uint32_t at = 0; at < steps.size(); ++at) {
            const Step<T>& step = steps[at];
            Shape shape;
            shape.kind = step.kind;
            std::uint32_t start = at;
            if (step.kind == StepKind::Value) {
                shape.bits = bits_of(step.value, unique);
            } else if (step.kind == StepKind::Variable) {
                if (step.slot < remembered_names) {
                    shape.first = step.slot;
                } else {
                    shape.bits = ++unique;  // not remembered, so never taken as equal to another
                }
            } else if (is_binary(step.kind)) {
                const Operand left = operands.back();
                operands.pop_back();
                const Operand right = operands.back();
                operands.pop_back();
                shape.first = right.number;
                shape.second = left.number;
                start = right.start;
            } else {
                const Operand operand = operands.back();
                operands.pop_back();
                shape.first = operand.number;
                start = operand.start;
            }
            std::size_t probe = static_cast<std::size_t>(shape.hash()) & mask;
            while (table[probe] != none && !(numbers[table[probe]].shape == shape)) probe = (probe + 1) & mask;
            if (table[probe] == none) {
                table[probe] = static_cast<std::uint32_t>(numbers.size());
                numbers.push_back({shape, at, 0});
            } else if (is_builtin_operation(step.kind)) {
                at_step[start].repeat_until = at;  // steps are visited in order, so the outermost comes last
                any_repeat = true;
            }
            at_step.push_back({table[probe], none});
            operands.push_back({table[probe], start});
        }
    }

    // Gives each repeated result that a rewritten program reuses a slot, in order of first reuse.
    void choose_kept_results() {
        std::uint8_t used = 0;
        for (std::size_t at = 0; at < steps.size();) {
            const std::uint32_t until = at_step[at].repeat_until;
            if (until == none) {
                ++at;
                continue;
            }
            std::uint8_t& slot = numbers[at_step[until].number].kept_slot;
            if (slot == 0 && used < kept_results) slot = ++used;
            at = until + 1;
        }
    }

    std::vector<Step<T>> rewrite() const {
        std::vector<Step<T>> shared;
        shared.reserve(steps.size());
        for (std::size_t at = 0; at < steps.size();) {
            const std::uint32_t until = at_step[at].repeat_until;
            if (until != none && numbers[at_step[until].number].kept_slot != 0) {
                shared.push_back(slot_step(StepKind::Reuse, numbers[at_step[until].number].kept_slot));
                at = until + 1;
                continue;
            }
            // Not shared (no slot left): the steps as they were, up to the end of the repeat.
            const std::size_t end = until == none ? at : until;
            for (; at <= end; ++at) {
                shared.push_back(steps[at]);
                const NumberFacts& computed = numbers[at_step[at].number];
                if (computed.kept_slot != 0 && computed.first_end == at) {
                    shared.push_back(slot_step(StepKind::Keep, computed.kept_slot));
                }
            }
        }
        return shared;
    }

    static Step<T> slot_step(StepKind kind, std::uint8_t kept_slot) {
        Step<T> step{};
        step.kind = kind;
        step.slot = static_cast<std::uint8_t>(kept_slot - 1);
        return step;
    }

    static bool is_binary(StepKind kind) { return kind >= StepKind::Add && kind <= StepKind::Power; }

    // Whether some built-in operation occurs twice: without that nothing can repeat, and a short
    // formula is spared the numbering.
    static bool some_operation_recurs(const std::vector<Step<T>>& steps) {
        std::uint64_t seen = 0;
        for (const Step<T>& step : steps) {
            if (!is_builtin_operation(step.kind)) continue;
            const std::uint64_t bit = std::uint64_t{1} << static_cast<unsigned>(step.kind);
            if ((seen & bit) != 0) return true;
            seen |= bit;
        }
        return false;
    }

    static std::size_t log2_at_least(std::size_t count) {
        std::size_t shift = 0;
        while ((std::size_t{1} << shift) < count) ++shift;
        return shift;
    }

    // A constant's bits, so that 0 and -0 differ and a NaN equals only a NaN of the same bits.
    static std::uint64_t bits_of(const T& value, std::uint64_t& unique) {
        if constexpr (sizeof(T) <= sizeof(std::uint64_t)) {
            std::uint64_t bits = 0;
            std::memcpy(&bits, &value, sizeof(T));
            return bits;
        } else {
            return ~++unique;  // wider types are not compared: each constant stands alone
        }
    }
};

// The evaluation order of a subtree as steps, with a value stack for deep evaluations. A nested or
// concurrent evaluation of the same subtree finds the stack busy and takes one of its own.
template <typename T>
struct Program {
    std::vector<Step<T>> steps;
    std::size_t stack_need = 1;
    std::unique_ptr<T[]> stack;
    std::atomic<bool> stack_busy{false};

    // The same program with its repeated subexpressions computed once, made when it is run a second
    // time: a program run once is not worth the search. The program itself when nothing repeats;
    // absent when it calls a caller's callable.
    bool may_share = false;
    std::atomic<bool> ran{false};
    std::atomic<Program*> shared{nullptr};

    Program() = default;
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;
    ~Program() {
        Program* other = shared.load(std::memory_order_acquire);
        if (other != this) delete other;
    }
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
        Program<T>& program = runnable(program_of(root, slot));
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
        T kept[kept_results];     // written by each Keep before any Reuse of its slot
        for (const Step<T>& step : program.steps) {
            switch (step.kind) {
                case StepKind::Value: stack[size++] = step.value; break;
                case StepKind::Variable: {
                    const std::uint8_t slot = step.slot;
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
                case StepKind::Keep: kept[step.slot] = stack[size - 1]; break;
                case StepKind::Reuse: stack[size++] = kept[step.slot]; break;
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

    // Destroys what the root node itself holds (its callable, its program, its name) but none of its
    // children and not its memory: for a tree whose other nodes are freed with the blocks they sit in.
    static void destroy_root_only(Node& root) noexcept {
        release_children(root);
        root.~Node();
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
        Program<T>& made = *built;
        return keep_first(slot, made, std::move(built));
    }

    // Publishes `made` in `slot`, owned from then on by `owner` (empty when `made` is owned elsewhere),
    // unless another thread published first: then that one is used and `owner` drops `made`.
    static Program<T>& keep_first(std::atomic<Program<T>*>& slot, Program<T>& made, std::unique_ptr<Program<T>> owner) {
        Program<T>* published = nullptr;
        if (!slot.compare_exchange_strong(published, &made, std::memory_order_acq_rel)) return *published;
        static_cast<void>(owner.release());
        return made;
    }

    static std::unique_ptr<Program<T>> program_for_stack(std::size_t stack_need) {
        auto program = std::make_unique<Program<T>>();
        program->stack_need = stack_need;
        if (stack_need > inline_slots) program->stack = std::make_unique<T[]>(stack_need);
        return program;
    }

    static std::unique_ptr<Program<T>> flatten(const Node& root) {
        auto program = program_for_stack(root.stack_need);
        NameMap<std::uint8_t> slots;  // the distinct variable names, numbered in order of appearance
        bool calls_callers_code = false;
        for (const Node* node = first_of(root);; node = node->next) {
            Step<T> step = step_of(*node);
            if (step.kind == StepKind::Variable) step.slot = slot_of(step.variable->name, slots);
            calls_callers_code = calls_callers_code || step.kind == StepKind::UnaryCall || step.kind == StepKind::BinaryCall;
            program->steps.push_back(step);
            if (node == &root) break;
        }
        // A caller's callable may have side effects, or change a variable's value between two
        // occurrences of a subexpression: such a program computes everything where it stands.
        program->may_share = !calls_callers_code;
        return program;
    }

    // The program to run: from the second run on, the one that computes repeats once. Two threads that
    // race to make it keep the one published first.
    static Program<T>& runnable(Program<T>& plain) {
        if (!plain.may_share) return plain;
        if (Program<T>* shared = plain.shared.load(std::memory_order_acquire)) return *shared;
        if (!plain.ran.exchange(true, std::memory_order_relaxed)) return plain;
        std::optional<std::vector<Step<T>>> steps = RepeatSharing<T>::share(plain.steps);
        if (!steps) return keep_first(plain.shared, plain, nullptr);
        auto built = program_for_stack(plain.stack_need);
        built->steps = std::move(*steps);
        Program<T>& made = *built;
        return keep_first(plain.shared, made, std::move(built));
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

// A tree, and with it the tally of the blocks its nodes were carved from when no node below the root
// owns anything besides its memory (callables that are built-ins, names short enough to be kept
// inside their string). Such a tree is freed by destroying the root alone and handing each block back
// its count, instead of a walk that visits every node: for a long formula, a few hundred steps in
// place of millions.
template <typename T>
class OwnedTree {
public:
    OwnedTree() = default;
    // A tree freed node by node.
    explicit OwnedTree(std::unique_ptr<AstNode<T>> tree) noexcept : root(std::move(tree)) {}
    // A tree freed with its blocks; `nodes` counts every node of `tree` and nothing else.
    OwnedTree(std::unique_ptr<AstNode<T>> tree, NodeBlocks::Tally nodes) noexcept : root(std::move(tree)) {
        if (nodes.counts_all()) carved = std::move(nodes);
    }
    OwnedTree(OwnedTree&& other) noexcept = default;
    OwnedTree& operator=(OwnedTree&& other) noexcept {
        if (this != &other) {
            reset();
            root = std::move(other.root);
            carved = std::move(other.carved);
        }
        return *this;
    }
    OwnedTree(const OwnedTree&) = delete;
    OwnedTree& operator=(const OwnedTree&) = delete;
    ~OwnedTree() { reset(); }

    AstNode<T>* operator->() const noexcept { return root.get(); }
    AstNode<T>& operator*() const noexcept { return *root; }
    explicit operator bool() const noexcept { return root != nullptr; }

    void reset() noexcept {
        if (root && !carved.empty()) {
            TreeWalk<T>::destroy_root_only(*root.release());
            carved.release();
        }
        root.reset();
    }

private:
    std::unique_ptr<AstNode<T>> root;
    NodeBlocks::Tally carved;  // empty when the nodes are deleted one by one
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
