// Expression tree nodes: constants, variables, one-argument functions and binary operators.
// The tree builder hands each node its callable and its children; the root answers evaluate(),
// evaluate(values), clone() and is_valid(). A missing variable throws std::out_of_range; an empty
// callable std::bad_function_call; a caller's callable may throw anything, which passes through.
//
// No operation recurses per level. When a node adopts its children it threads its subtree into one
// chain in evaluation order (post-order, right operand before left), so every walk is a loop along
// that chain with a value stack whose size each node knows from construction.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "function_tables.hpp"

namespace exprkit {

template <typename T>
using VariableTable = std::unordered_map<std::string, T>;

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
    mutable bool scratch_busy = false;  // an evaluation is using this node's cached value stack
};

namespace detail {

// A value stack cached by an operator node for deep evaluations, taken for the length of one evaluation.
// A nested evaluation of the same subtree (from inside a callable) finds it busy and takes a stack of
// its own.
template <typename T>
class ScratchLease {
public:
    ScratchLease(std::unique_ptr<T[]>& cached, bool& busy, std::size_t slots) {
        if (busy) {
            own = std::make_unique<T[]>(slots);
            data_ = own.get();
            return;
        }
        if (!cached) cached = std::make_unique<T[]>(slots);
        busy = true;
        busy_flag = &busy;
        data_ = cached.get();
    }
    ~ScratchLease() {
        if (busy_flag) *busy_flag = false;
    }
    ScratchLease(const ScratchLease&) = delete;
    ScratchLease& operator=(const ScratchLease&) = delete;
    T* data() const { return data_; }

private:
    bool* busy_flag = nullptr;
    std::unique_ptr<T[]> own;
    T* data_ = nullptr;
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
    bool is_valid() const override { return table != nullptr && table->find(name) != table->end(); }

    T read_bound() const {
        if (table == nullptr) throw std::out_of_range(messages::missing_key);
        return detail::lookup(*table, name);
    }
};

template <typename T>
class UnaryNode final : public AstNode<T> {
public:
    const UnaryFunction<T> fn;

    UnaryNode(UnaryFunction<T> function, std::unique_ptr<AstNode<T>> operand)
        : AstNode<T>(AstNode<T>::Kind::Unary),
          fn(std::move(function)),
          child(detail::require_child(std::move(operand))),
          op(detail::builtin_op(fn)) {
        child->next = this;
        this->stack_need = child->stack_need;
    }
    ~UnaryNode() override;

    T evaluate() const override;
    T evaluate(const VariableTable<T>& values) const override;
    std::unique_ptr<AstNode<T>> clone() const override;
    bool is_valid() const override;

private:
    friend struct detail::TreeWalk<T>;
    std::unique_ptr<AstNode<T>> child;
    const detail::UnaryOp op;
    mutable std::unique_ptr<T[]> scratch;
};

template <typename T>
class BinaryNode final : public AstNode<T> {
public:
    const BinaryFunction<T> fn;

    BinaryNode(BinaryFunction<T> function, std::unique_ptr<AstNode<T>> left_operand,
               std::unique_ptr<AstNode<T>> right_operand)
        : AstNode<T>(AstNode<T>::Kind::Binary),
          fn(std::move(function)),
          left(detail::require_child(std::move(left_operand))),
          right(detail::require_child(std::move(right_operand))),
          op(detail::builtin_op(fn)) {
        right->next = detail::TreeWalk<T>::first_of(*left);
        left->next = this;
        this->stack_need = std::max(right->stack_need, left->stack_need + 1);
    }
    ~BinaryNode() override;

    T evaluate() const override;
    T evaluate(const VariableTable<T>& values) const override;
    std::unique_ptr<AstNode<T>> clone() const override;
    bool is_valid() const override;

private:
    friend struct detail::TreeWalk<T>;
    std::unique_ptr<AstNode<T>> left;
    std::unique_ptr<AstNode<T>> right;
    const detail::BinaryOp op;
    mutable std::unique_ptr<T[]> scratch;
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
    static T evaluate(const Node& root, std::unique_ptr<T[]>& scratch, const Lookup& lookup) {
        if (root.stack_need <= inline_slots) {
            T slots[inline_slots];
            return run(root, slots, lookup);
        }
        const ScratchLease<T> lease(scratch, root.scratch_busy, root.stack_need);
        return run(root, lease.data(), lookup);
    }

    // Leaves push their value; a function replaces the top; an operator pops its left operand (pushed
    // last, as the right one is evaluated first) and combines it with the right one below it.
    template <typename Lookup>
    static T run(const Node& root, T* stack, const Lookup& lookup) {
        std::size_t size = 0;
        for (const Node* node = first_of(root);; node = node->next) {
            switch (node->kind) {
                case Kind::Value:
                    stack[size++] = static_cast<const ValueNode<T>*>(node)->value;
                    break;
                case Kind::Variable:
                    stack[size++] = lookup(*static_cast<const VariableNode<T>*>(node));
                    break;
                case Kind::Unary: {
                    const auto* unary = static_cast<const UnaryNode<T>*>(node);
                    T& top = stack[size - 1];
                    top = unary->op == UnaryOp::Custom ? unary->fn(top) : apply(unary->op, top);
                    break;
                }
                case Kind::Binary: {
                    const auto* binary = static_cast<const BinaryNode<T>*>(node);
                    const T left = stack[--size];
                    T& right = stack[size - 1];
                    right = binary->op == BinaryOp::Custom ? binary->fn(left, right) : apply(binary->op, left, right);
                    break;
                }
            }
            if (node == &root) return stack[0];
        }
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
        Node* node = first_of(root);
        while (node != &root) {
            Node* following = node->next;
            release_children(*node);
            delete node;
            node = following;
        }
        release_children(root);
    }

private:
    static std::unique_ptr<Node> pop(std::vector<std::unique_ptr<Node>>& stack) {
        auto top = std::move(stack.back());
        stack.pop_back();
        return top;
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
T UnaryNode<T>::evaluate() const {
    return detail::TreeWalk<T>::evaluate(*this, scratch, detail::BoundLookup<T>{});
}

template <typename T>
T UnaryNode<T>::evaluate(const VariableTable<T>& values) const {
    return detail::TreeWalk<T>::evaluate(*this, scratch, detail::GivenLookup<T>{values});
}

template <typename T>
std::unique_ptr<AstNode<T>> UnaryNode<T>::clone() const {
    return detail::TreeWalk<T>::clone(*this);
}

template <typename T>
bool UnaryNode<T>::is_valid() const {
    return detail::TreeWalk<T>::is_valid(*this);
}

template <typename T>
BinaryNode<T>::~BinaryNode() {
    if (left && right) detail::TreeWalk<T>::dismantle(*this);
}

template <typename T>
T BinaryNode<T>::evaluate() const {
    return detail::TreeWalk<T>::evaluate(*this, scratch, detail::BoundLookup<T>{});
}

template <typename T>
T BinaryNode<T>::evaluate(const VariableTable<T>& values) const {
    return detail::TreeWalk<T>::evaluate(*this, scratch, detail::GivenLookup<T>{values});
}

template <typename T>
std::unique_ptr<AstNode<T>> BinaryNode<T>::clone() const {
    return detail::TreeWalk<T>::clone(*this);
}

template <typename T>
bool BinaryNode<T>::is_valid() const {
    return detail::TreeWalk<T>::is_valid(*this);
}

}  // namespace exprkit
