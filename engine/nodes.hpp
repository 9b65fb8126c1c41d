// Expression tree nodes (constants, variables, one-argument functions, binary operators) answering evaluate(),
// evaluate(values), clone() and is_valid(). A missing variable throws std::out_of_range, an empty callable
// std::bad_function_call. A node links its subtree into one chain in evaluation order (post-order, right
// operand first); every walk (TreeWalk) loops along it, never recursing, so no depth exhausts the stack.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "function_tables.hpp"

namespace exprkit {
namespace detail {

template <typename T>
struct TreeWalk;
template <typename T>
class OperatorNode;

// The value named `key`; a miss throws std::out_of_range with the engine's message (at()'s varies).
template <typename Map>
const typename Map::mapped_type& lookup(const Map& map, const std::string& key) {
    const auto found = map.find(key);
    if (found == map.end()) throw std::out_of_range(messages::missing_key);
    return found->second;
}

}  // namespace detail

template <typename T>
class AstNode {
public:
    enum class Kind : std::uint8_t { Value, Variable, Unary, Binary };

    virtual ~AstNode() = default;
    virtual T evaluate() const = 0;
    virtual T evaluate(const VariableTable<T>& values) const = 0;
    virtual std::unique_ptr<AstNode> clone() const = 0;
    virtual bool is_valid() const = 0;

    AstNode(const AstNode&) = delete;
    AstNode& operator=(const AstNode&) = delete;

    Kind kind() const { return static_cast<Kind>(link & kind_bits); }
    // Whether evaluating the subtree calls a callable other than a built-in operation.
    bool calls_callers_code() const { return (link & calls_bit) != 0; }

protected:
    explicit AstNode(Kind node_kind) : link(static_cast<std::uintptr_t>(node_kind)) {}

private:
    friend struct detail::TreeWalk<T>;
    friend class detail::OperatorNode<T>;

    // The next node in the chain (null at the top), with the kind and calls_bit in the low bits that a
    // node's alignment leaves free: a node costs two words besides its own data.
    static constexpr std::uintptr_t kind_bits = 3;
    static constexpr std::uintptr_t calls_bit = 4;
    static constexpr std::uintptr_t tag_bits = kind_bits | calls_bit;
    static_assert(alignof(void*) > tag_bits, "a node's address leaves room for its tags");
    std::uintptr_t link;

    AstNode* next() const { return reinterpret_cast<AstNode*>(link & ~tag_bits); }
    void set_next(AstNode* node) { link = reinterpret_cast<std::uintptr_t>(node) | (link & tag_bits); }
};

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
    const VariableTable<T>* const table;  // not owned: the table this variable is bound to

    VariableNode(std::string variable_name, const VariableTable<T>* bound_table)
        : AstNode<T>(AstNode<T>::Kind::Variable), name(std::move(variable_name)), table(bound_table) {}

    T evaluate() const override {
        if (table == nullptr) throw std::out_of_range(messages::missing_key);
        return detail::lookup(*table, name);
    }
    T evaluate(const VariableTable<T>& values) const override { return detail::lookup(values, name); }
    std::unique_ptr<AstNode<T>> clone() const override { return std::make_unique<VariableNode>(name, table); }
    bool is_valid() const override { return table != nullptr && table->count(name) != 0; }
};

namespace detail {

// What unary and binary nodes share: walks along their chain, and a callable that may be a built-in operation.
template <typename T>
class OperatorNode : public AstNode<T> {
public:
    T evaluate() const override {
        return TreeWalk<T>::evaluate(*this, [](const VariableNode<T>& variable) { return variable.evaluate(); });
    }
    T evaluate(const VariableTable<T>& values) const override {
        return TreeWalk<T>::evaluate(*this, [&values](const VariableNode<T>& leaf) { return leaf.evaluate(values); });
    }
    std::unique_ptr<AstNode<T>> clone() const override { return TreeWalk<T>::clone(*this); }
    bool is_valid() const override { return TreeWalk<T>::is_valid(*this); }

    // The built-in operation `fn` applies, or null for a caller's callable.
    const Operation* builtin() const { return operation ? &*operation : nullptr; }

protected:
    OperatorNode(typename AstNode<T>::Kind kind, std::optional<Operation> builtin)
        : AstNode<T>(kind), operation(builtin) {
        if (!operation) this->link |= AstNode<T>::calls_bit;
    }

    // Takes `operand` as a child, whose subtree's chain goes on with `next`.
    std::unique_ptr<AstNode<T>> adopt(std::unique_ptr<AstNode<T>> operand, AstNode<T>* next) {
        if (!operand) throw std::invalid_argument("operand subtree must not be empty");
        operand->set_next(next);
        this->link |= operand->link & AstNode<T>::calls_bit;
        return operand;
    }

private:
    const std::optional<Operation> operation;
};

}  // namespace detail

template <typename T>
class UnaryNode final : public detail::OperatorNode<T> {
public:
    const UnaryFunction<T> fn;

    UnaryNode(UnaryFunction<T> function, std::unique_ptr<AstNode<T>> operand)
        : UnaryNode(std::move(function), std::nullopt, std::move(operand)) {}
    UnaryNode(detail::Operation builtin, std::unique_ptr<AstNode<T>> operand)
        : UnaryNode(detail::Builtin<T>{builtin}, builtin, std::move(operand)) {}
    ~UnaryNode() override {
        if (child) detail::TreeWalk<T>::dismantle(*this);
    }

private:
    friend struct detail::TreeWalk<T>;
    std::unique_ptr<AstNode<T>> child;

    UnaryNode(UnaryFunction<T> function, std::optional<detail::Operation> builtin,
              std::unique_ptr<AstNode<T>> operand)
        : detail::OperatorNode<T>(AstNode<T>::Kind::Unary, builtin), fn(std::move(function)),
          child(this->adopt(std::move(operand), this)) {}
};

template <typename T>
class BinaryNode final : public detail::OperatorNode<T> {
public:
    const BinaryFunction<T> fn;

    BinaryNode(BinaryFunction<T> function, std::unique_ptr<AstNode<T>> left_operand,
               std::unique_ptr<AstNode<T>> right_operand)
        : BinaryNode(std::move(function), std::nullopt, std::move(left_operand), std::move(right_operand)) {}
    BinaryNode(detail::Operation builtin, std::unique_ptr<AstNode<T>> left_operand,
               std::unique_ptr<AstNode<T>> right_operand)
        : BinaryNode(detail::Builtin<T>{builtin}, builtin, std::move(left_operand), std::move(right_operand)) {}
    ~BinaryNode() override {
        if (left && right) detail::TreeWalk<T>::dismantle(*this);
    }

private:
    friend struct detail::TreeWalk<T>;
    std::unique_ptr<AstNode<T>> left;
    std::unique_ptr<AstNode<T>> right;

    // The right operand's chain goes on with the left one's, which ends at this node.
    BinaryNode(BinaryFunction<T> function, std::optional<detail::Operation> builtin,
               std::unique_ptr<AstNode<T>> left_operand, std::unique_ptr<AstNode<T>> right_operand)
        : detail::OperatorNode<T>(AstNode<T>::Kind::Binary, builtin), fn(std::move(function)),
          left(this->adopt(std::move(left_operand), this)),
          right(this->adopt(std::move(right_operand), detail::TreeWalk<T>::first_of(*left))) {}
};

namespace detail {

template <typename T>
struct TreeWalk {
    using Node = AstNode<T>;
    using Kind = typename Node::Kind;
    using Unary = UnaryNode<T>;
    using Binary = BinaryNode<T>;

    // The first node of a subtree's chain, reached through right operands, which are evaluated first.
    static Node* first_of(const Node& root) {
        const Node* node = &root;
        while (node->kind() == Kind::Unary || node->kind() == Kind::Binary) {
            node = node->kind() == Kind::Unary ? static_cast<const Unary*>(node)->child.get()
                                               : static_cast<const Binary*>(node)->right.get();
        }
        return const_cast<Node*>(node);
    }

    // Calls `visit` with every node of the subtree, in evaluation order; the root comes last.
    template <typename Action>
    static void visit(const Node& root, Action&& action) {
        for (const Node* node = first_of(root);; node = node->next()) {
            action(*node);
            if (node == &root) return;
        }
    }

    // The value of the subtree, each variable read through `lookup`. An operator pops its left operand (pushed
    // last, the right one being evaluated first) and takes the right one below it: fn(left, right).
    template <typename Lookup>
    static T evaluate(const Node& root, const Lookup& lookup) {
        constexpr std::size_t local_slots = 64;
        T local[local_slots];
        std::size_t size = 0;
        std::size_t need = 0;  // values the evaluation holds at once
        visit(root, [&](const Node& node) {
            if (node.kind() == Kind::Value || node.kind() == Kind::Variable) need = std::max(need, ++size);
            if (node.kind() == Kind::Binary) --size;
        });
        std::unique_ptr<T[]> deep;
        T* stack = need > local_slots ? (deep = std::make_unique<T[]>(need)).get() : local;
        size = 0;
        visit(root, [&](const Node& node) {
            switch (node.kind()) {
                case Kind::Value: stack[size++] = static_cast<const ValueNode<T>&>(node).value; break;
                case Kind::Variable: stack[size++] = lookup(static_cast<const VariableNode<T>&>(node)); break;
                case Kind::Unary: stack[size - 1] = static_cast<const Unary&>(node).fn(stack[size - 1]); break;
                case Kind::Binary:
                    --size;
                    stack[size - 1] = static_cast<const Binary&>(node).fn(stack[size], stack[size - 1]);
                    break;
            }
        });
        return stack[0];
    }

    static bool is_valid(const Node& root) {
        bool valid = true;
        visit(root, [&](const Node& node) { valid = valid && (node.kind() != Kind::Variable || node.is_valid()); });
        return valid;
    }

    // A deep copy, rebuilt along the chain: each operator takes its operands' copies off a stack.
    static std::unique_ptr<Node> clone(const Node& root) {
        std::vector<std::unique_ptr<Node>> built;  // the left operand's copy is made last, on top of the right's
        visit(root, [&](const Node& node) {
            switch (node.kind()) {
                case Kind::Value:
                case Kind::Variable: built.push_back(node.clone()); break;
                case Kind::Unary:
                    built.back() = copy_of(static_cast<const Unary&>(node), std::move(built.back()));
                    break;
                case Kind::Binary: {
                    auto left = std::move(built.back());
                    built.pop_back();
                    built.back() = copy_of(static_cast<const Binary&>(node), std::move(left), std::move(built.back()));
                    break;
                }
            }
        });
        return std::move(built.back());
    }

    // Deletes every node below `root`, each after letting go of its children, deleted before it.
    static void dismantle(Node& root) noexcept {
        for (Node* node = first_of(root); node != &root;) {
            Node* following = node->next();
            release_children(*node);
            delete node;
            node = following;
        }
        release_children(root);
    }

    static void release_children(Node& node) noexcept {
        if (node.kind() == Kind::Unary) {
            static_cast<void>(static_cast<Unary&>(node).child.release());
        } else if (node.kind() == Kind::Binary) {
            auto& binary = static_cast<Binary&>(node);
            static_cast<void>(binary.right.release());
            static_cast<void>(binary.left.release());
        }
    }

private:
    // A node like `node` over the given operands: the same built-in operation, or a copy of its callable.
    template <typename Operator, typename... Operands>
    static std::unique_ptr<Node> copy_of(const Operator& node, Operands&&... operands) {
        const auto* operation = node.builtin();
        if (operation) return std::make_unique<Operator>(*operation, std::move(operands)...);
        return std::make_unique<Operator>(node.fn, std::move(operands)...);
    }
};

}  // namespace detail
}  // namespace exprkit
