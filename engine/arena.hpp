// Where the nodes of a parse's tree live: one block with a slot for each token of the postfix sequence,
// the nodes in the order the builder makes them. The arena belongs to the parse and destroys the nodes
// all at once when the parse is done with the tree: nothing a tree allocates outlives it or is shared
// with another, and a tree costs one allocation, not one a node.
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

    // A node made in the arena, which destroys it: nothing may delete it. Its operands, arena nodes given
    // as plain pointers, become owning ones only once there is room, and the builder hands every node a
    // moved callable: no constructor here throws after taking its operands (which would delete them).
    template <typename Node, typename... Arguments>
    Node* make(Arguments&&... arguments) {
        if (made == capacity) throw std::logic_error("a tree outgrew the arena sized for it");
        Node* node = ::new (block.get() + made * slot) Node(adopted(std::forward<Arguments>(arguments))...);
        ++made;
        return node;
    }

    std::size_t size() const { return made; }

    // Calls `visit` with every node, in the order they were made: each after its operands.
    template <typename Visit>
    void for_each(Visit&& visit) const {
        for (std::size_t i = 0; i < made; ++i) visit(node_at(i));
    }

private:
    // A slot holds any node, on the boundary that any needs.
    static constexpr std::size_t slot_alignment =
        std::max({alignof(ValueNode<T>), alignof(VariableNode<T>), alignof(UnaryNode<T>), alignof(BinaryNode<T>)});
    static_assert(slot_alignment <= __STDCPP_DEFAULT_NEW_ALIGNMENT__, "the block starts on every node's boundary");
    static constexpr std::size_t slot =
        (std::max({sizeof(ValueNode<T>), sizeof(VariableNode<T>), sizeof(UnaryNode<T>), sizeof(BinaryNode<T>)}) +
         slot_alignment - 1) / slot_alignment * slot_alignment;

    std::unique_ptr<std::byte[]> block;
    std::size_t capacity = 0;  // slots
    std::size_t made = 0;

    // The node in slot `i`. A node's AstNode part starts where the node does (single inheritance from a
    // polymorphic base, as GCC and Clang lay it out).
    AstNode<T>& node_at(std::size_t i) const { return *std::launder(reinterpret_cast<AstNode<T>*>(block.get() + i * slot)); }

    static std::unique_ptr<AstNode<T>> adopted(AstNode<T>* operand) { return std::unique_ptr<AstNode<T>>(operand); }
    template <typename Argument>
    static Argument&& adopted(Argument&& argument) {
        return std::forward<Argument>(argument);
    }

    // Destroys the nodes, each after letting go of its operands, destroyed in their own turn.
    void clear() noexcept {
        for (std::size_t i = 0; i < made; ++i) {
            TreeWalk<T>::release_children(node_at(i));
            node_at(i).~AstNode();
        }
        made = 0;
    }
};

}  // namespace exprkit::detail
