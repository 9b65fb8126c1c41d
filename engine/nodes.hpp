// Expression tree nodes: constants, variables, one-argument functions and binary operators, answering
// evaluate(), evaluate(values), clone() and is_valid(). A missing variable throws std::out_of_range, an
// empty callable std::bad_function_call. A node that adopts its children links its subtree into one chain
// in evaluation order, which the walks (walks.hpp) follow; and it says whether it applies a built-in
// operation and whether its subtree calls a caller's callable, as a compiled program needs to know.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>

#include "errors.hpp"
#include "function_tables.hpp"
#include "walks.hpp"

namespace exprkit {

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

    void set_calls_callers_code(bool calls) { link |= calls ? calls_bit : 0; }

private:
    friend struct detail::TreeWalk<T>;
    friend class UnaryNode<T>;
    friend class BinaryNode<T>;

    // The node after this one in its parent's chain (null at the top), with the node's kind and whether
    // its subtree calls a caller's callable in the low bits that a node's alignment leaves free: a node
    // costs two words besides its own data.
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

template <typename T>
std::unique_ptr<AstNode<T>> require_child(std::unique_ptr<AstNode<T>> child) {
    if (!child) throw std::invalid_argument("operand subtree must not be empty");
    return child;
}

// What unary and binary nodes share: their operations are walks along their chain.
template <typename T>
class OperatorNode : public AstNode<T> {
public:
    T evaluate() const override {
        return TreeWalk<T>::evaluate(*this, [](const VariableNode<T>& variable) { return variable.evaluate(); });
    }
    T evaluate(const VariableTable<T>& values) const override {
        return TreeWalk<T>::evaluate(*this, [&values](const VariableNode<T>& variable) { return lookup(values, variable.name); });
    }
    std::unique_ptr<AstNode<T>> clone() const override { return TreeWalk<T>::clone(*this); }
    bool is_valid() const override { return TreeWalk<T>::is_valid(*this); }

protected:
    using AstNode<T>::AstNode;
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

    // The built-in operation `fn` applies, or null for a caller's callable.
    const detail::Operation* builtin() const { return operation ? &*operation : nullptr; }

private:
    friend struct detail::TreeWalk<T>;
    const std::optional<detail::Operation> operation;
    std::unique_ptr<AstNode<T>> child;

    UnaryNode(UnaryFunction<T> function, std::optional<detail::Operation> builtin, std::unique_ptr<AstNode<T>> operand)
        : detail::OperatorNode<T>(AstNode<T>::Kind::Unary), fn(std::move(function)), operation(builtin),
          child(detail::require_child(std::move(operand))) {
        child->set_next(this);
        this->set_calls_callers_code(!operation || child->calls_callers_code());
    }
};

template <typename T>
class BinaryNode final : public detail::OperatorNode<T> {
public:
    const BinaryFunction<T> fn;

    BinaryNode(BinaryFunction<T> function, std::unique_ptr<AstNode<T>> left_operand,
               std::unique_ptr<AstNode<T>> right_operand)
        : BinaryNode(std::move(function), std::nullopt, std::move(left_operand), std::move(right_operand)) {}
    BinaryNode(detail::Operation builtin, std::unique_ptr<AstNode<T>> left_operand, std::unique_ptr<AstNode<T>> right_operand)
        : BinaryNode(detail::Builtin<T>{builtin}, builtin, std::move(left_operand), std::move(right_operand)) {}
    ~BinaryNode() override {
        if (left && right) detail::TreeWalk<T>::dismantle(*this);
    }

    // The built-in operation `fn` applies, or null for a caller's callable.
    const detail::Operation* builtin() const { return operation ? &*operation : nullptr; }

private:
    friend struct detail::TreeWalk<T>;
    const std::optional<detail::Operation> operation;
    std::unique_ptr<AstNode<T>> left;
    std::unique_ptr<AstNode<T>> right;

    BinaryNode(BinaryFunction<T> function, std::optional<detail::Operation> builtin,
               std::unique_ptr<AstNode<T>> left_operand, std::unique_ptr<AstNode<T>> right_operand)
        : detail::OperatorNode<T>(AstNode<T>::Kind::Binary), fn(std::move(function)), operation(builtin),
          left(detail::require_child(std::move(left_operand))), right(detail::require_child(std::move(right_operand))) {
        right->set_next(detail::TreeWalk<T>::first_of(*left));
        left->set_next(this);
        this->set_calls_callers_code(!operation || left->calls_callers_code() || right->calls_callers_code());
    }
};

}  // namespace exprkit
