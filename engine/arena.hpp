// Where a parse's tree lives: one block with room for a node of any kind per postfix token, holding the nodes
// in the order the builder makes them. It belongs to the parse and destroys the nodes all at once when the parse
// is done with the tree: nothing a tree allocates outlives it, and a tree costs one allocation, not one a node.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <new>
#include <stdexcept>
#include <utility>

#include "nodes.hpp"

namespace exprkit::detail {

template <typename T>
class NodeArena {
public:
    NodeArena() = default;
    NodeArena(const NodeArena&) = delete;
    NodeArena& operator=(const NodeArena&) = delete;
    ~NodeArena() { clear(); }

    // Destroys the nodes made so far and makes room for `nodes` more.
    void reset(std::size_t nodes) {
        clear();
        if (nodes <= capacity) return;
        block.reset();
        capacity = 0;
        block.reset(new std::byte[nodes * slot]);  // left as it is: a node's constructor writes what it uses
        capacity = nodes;
    }

    // A node made in the arena, which destroys it: nothing may delete it. Its operands (plain pointers) become
    // owning only once there is room, and every callable comes moved: no constructor throws after taking them.
    template <typename Node, typename... Arguments>
    Node* make(Arguments&&... arguments) {
        if (used + size_of<Node>() > capacity * slot) throw std::logic_error("a tree outgrew the arena sized for it");
        Node* node = ::new (block.get() + used) Node(adopted(std::forward<Arguments>(arguments))...);
        used += size_of<Node>();
        return node;
    }

    // Calls `visit` with every node, in the order they were made: each after its operands.
    template <typename Visit>
    void for_each(Visit&& visit) const {
        for (std::size_t at = 0; at < used; at += size_of(node_at(at).kind())) visit(node_at(at));
    }

private:
    // A node takes its size, rounded up to every node's boundary.
    static constexpr std::size_t alignment =
        std::max({alignof(ValueNode<T>), alignof(VariableNode<T>), alignof(UnaryNode<T>), alignof(BinaryNode<T>)});
    static_assert(alignment <= __STDCPP_DEFAULT_NEW_ALIGNMENT__, "the block starts on every node's boundary");
    template <typename Node>
    static constexpr std::size_t size_of() { return (sizeof(Node) + alignment - 1) / alignment * alignment; }
    static constexpr std::size_t slot = std::max({size_of<ValueNode<T>>(), size_of<VariableNode<T>>(),
                                                  size_of<UnaryNode<T>>(), size_of<BinaryNode<T>>()});
    static std::size_t size_of(typename AstNode<T>::Kind kind) {
        using Kind = typename AstNode<T>::Kind;
        return kind == Kind::Value ? size_of<ValueNode<T>>() : kind == Kind::Variable ? size_of<VariableNode<T>>()
             : kind == Kind::Unary ? size_of<UnaryNode<T>>() : size_of<BinaryNode<T>>();
    }

    std::unique_ptr<std::byte[]> block;
    std::size_t capacity = 0;  // nodes of any kind
    std::size_t used = 0;      // bytes

    // The node at byte `at`: its AstNode part starts where it does (single inheritance from a polymorphic
    // base, as GCC and Clang lay it out).
    AstNode<T>& node_at(std::size_t at) const { return *std::launder(reinterpret_cast<AstNode<T>*>(block.get() + at)); }

    static std::unique_ptr<AstNode<T>> adopted(AstNode<T>* operand) { return std::unique_ptr<AstNode<T>>(operand); }
    template <typename Argument>
    static Argument&& adopted(Argument&& argument) { return std::forward<Argument>(argument); }

    // Destroys the nodes, each after letting go of its operands, destroyed in their own turn.
    void clear() noexcept {
        for (std::size_t at = 0; at < used;) {
            AstNode<T>& node = node_at(at);
            at += size_of(node.kind());
            TreeWalk<T>::release_children(node);
            node.~AstNode();
        }
        used = 0;
    }
};

}  // namespace exprkit::detail
