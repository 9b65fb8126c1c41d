// The walks over a tree: loops along the chain that the nodes thread through their subtree in evaluation
// order (post-order, right operand before left), never recursions, so that a tree of any depth can be
// evaluated, copied, checked and destroyed. The nodes (nodes.hpp) build their operations on these.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

namespace exprkit {

template <typename T>
class AstNode;
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
struct TreeWalk {
    using Node = AstNode<T>;
    using Kind = typename Node::Kind;

    // The first node of a subtree's chain: its leftmost leaf in evaluation order, reached through
    // right operands, since those are evaluated first.
    static Node* first_of(const Node& root) {
        const Node* node = &root;
        for (;;) {
            if (node->kind() == Kind::Unary) {
                node = static_cast<const UnaryNode<T>*>(node)->child.get();
            } else if (node->kind() == Kind::Binary) {
                node = static_cast<const BinaryNode<T>*>(node)->right.get();
            } else {
                return const_cast<Node*>(node);
            }
        }
    }

    // Calls `visit` with every node of the subtree, in evaluation order; the root comes last.
    template <typename Action>
    static void visit(const Node& root, Action&& action) {
        for (const Node* node = first_of(root);; node = node->next()) {
            action(*node);
            if (node == &root) return;
        }
    }

    // The value of the subtree, each variable read through `lookup`. An operator pops its left operand,
    // pushed last as the right one is evaluated first, and takes the right one below it: fn(left, right).
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
                case Kind::Unary: stack[size - 1] = static_cast<const UnaryNode<T>&>(node).fn(stack[size - 1]); break;
                case Kind::Binary:
                    --size;
                    stack[size - 1] = static_cast<const BinaryNode<T>&>(node).fn(stack[size], stack[size - 1]);
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
        std::vector<std::unique_ptr<Node>> built;
        const auto pop = [&built] {
            auto top = std::move(built.back());
            built.pop_back();
            return top;
        };
        visit(root, [&](const Node& node) {
            switch (node.kind()) {
                case Kind::Value:
                case Kind::Variable: built.push_back(node.clone()); break;
                case Kind::Unary: built.push_back(copy_of(static_cast<const UnaryNode<T>&>(node), pop())); break;
                case Kind::Binary: {
                    auto left = pop();
                    auto right = pop();
                    built.push_back(copy_of(static_cast<const BinaryNode<T>&>(node), std::move(left), std::move(right)));
                    break;
                }
            }
        });
        return pop();
    }

    // Deletes every node below `root`, each after letting go of its children, deleted before it.
    static void dismantle(Node& root) noexcept {
        Node* node = first_of(root);
        while (node != &root) {
            Node* following = node->next();
            release_children(*node);
            delete node;
            node = following;
        }
        release_children(root);
    }

    static void release_children(Node& node) noexcept {
        if (node.kind() == Kind::Unary) {
            static_cast<void>(static_cast<UnaryNode<T>&>(node).child.release());
        } else if (node.kind() == Kind::Binary) {
            auto& binary = static_cast<BinaryNode<T>&>(node);
            static_cast<void>(binary.right.release());
            static_cast<void>(binary.left.release());
        }
    }

private:
    // A node like `node` over the given operands: the same built-in operation, or a copy of its callable.
    template <typename Operator, typename... Operands>
    static std::unique_ptr<Node> copy_of(const Operator& node, Operands&&... operands) {
        if (const auto* operation = node.builtin()) return std::make_unique<Operator>(*operation, std::move(operands)...);
        return std::make_unique<Operator>(node.fn, std::move(operands)...);
    }
};

}  // namespace detail
}  // namespace exprkit
