// Expression tree nodes: constants, variables, one-argument functions and binary operators.
// The tree builder hands each node its callable and its children; every node answers evaluate(),
// evaluate(values), clone() and is_valid(). A missing variable throws std::out_of_range, an empty
// callable std::bad_function_call; a caller's callable may throw anything, which passes through.
//
// When a node adopts its children it links its subtree into one chain in evaluation order, so that
// every walk (walks.hpp) is a loop.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>

#include "arena.hpp"
#include "errors.hpp"
#include "function_tables.hpp"
#include "walks.hpp"

namespace exprkit {

// Variable values by name: the table an Expression keeps, and the values given to an evaluation.
template <typename T>
using VariableTable = std::unordered_map<std::string, T>;

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

    static void* operator new(std::size_t size) { return detail::Arena::allocate(size, alignment); }
    static void operator delete(void* node, std::size_t size) noexcept { detail::Arena::deallocate(node, size); }

    Kind kind() const { return static_cast<Kind>(link & kind_bits); }

protected:
    explicit AstNode(Kind node_kind) : link(static_cast<std::uintptr_t>(node_kind)) {}

private:
    friend struct detail::TreeWalk<T>;
    friend class UnaryNode<T>;
    friend class BinaryNode<T>;

    // What every kind of node may hold, and so where a node may start.
    static constexpr std::size_t alignment =
        std::max({alignof(void*), alignof(T), alignof(std::string), alignof(UnaryFunction<T>), alignof(BinaryFunction<T>)});

    // The node after this one in its parent's chain (null at the top), with the node's kind in the low
    // bits that a node's alignment leaves free: a node costs two words besides its own data.
    static constexpr std::uintptr_t kind_bits = 3;
    static_assert(alignof(void*) > kind_bits, "a node's address leaves room for its kind");
    std::uintptr_t link;

    AstNode* next() const { return reinterpret_cast<AstNode*>(link & ~kind_bits); }
    void set_next(AstNode* node) { link = reinterpret_cast<std::uintptr_t>(node) | (link & kind_bits); }
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
        : detail::OperatorNode<T>(AstNode<T>::Kind::Unary), fn(std::move(function)),
          child(detail::require_child(std::move(operand))) {
        child->set_next(this);
    }
    ~UnaryNode() override {
        if (child) detail::TreeWalk<T>::dismantle(*this);
    }

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
        : detail::OperatorNode<T>(AstNode<T>::Kind::Binary), fn(std::move(function)),
          left(detail::require_child(std::move(left_operand))), right(detail::require_child(std::move(right_operand))) {
        right->set_next(detail::TreeWalk<T>::first_of(*left));
        left->set_next(this);
    }
    ~BinaryNode() override {
        if (left && right) detail::TreeWalk<T>::dismantle(*this);
    }

    // The node for fn(left, right), as the tree builder makes it. An operator whose left operand is an
    // operator continues a left-nested chain, as those joining the terms of a long sum do; every walk
    // meets the operators of such a chain one after another, after all of its terms, so they are placed
    // together, apart from the terms, and a walk reads both in order instead of jumping a term a step.
    static std::unique_ptr<AstNode<T>> make(BinaryFunction<T> function, std::unique_ptr<AstNode<T>> left_operand,
                                            std::unique_ptr<AstNode<T>> right_operand) {
        const bool chain = left_operand && left_operand->kind() == AstNode<T>::Kind::Binary;
        void* memory = detail::Arena::allocate(sizeof(BinaryNode), AstNode<T>::alignment,
                                               chain ? detail::Arena::Stream::Chains : detail::Arena::Stream::Nodes);
        try {
            return std::unique_ptr<AstNode<T>>(
                ::new (memory) BinaryNode(std::move(function), std::move(left_operand), std::move(right_operand)));
        } catch (...) {
            detail::Arena::deallocate(memory, sizeof(BinaryNode));
            throw;
        }
    }

private:
    friend struct detail::TreeWalk<T>;
    std::unique_ptr<AstNode<T>> left;
    std::unique_ptr<AstNode<T>> right;
};

}  // namespace exprkit
