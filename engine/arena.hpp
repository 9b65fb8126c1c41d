// Where the nodes of a parse's tree live: one block, with room for as many nodes as the postfix sequence
// has tokens, that holds the nodes one after another in the order the builder makes them. The arena
// belongs to the parse and destroys its nodes all at once when the parse is done with the tree: nothing
// one tree allocates outlives it or is shared with another, and a tree costs one allocation, not one a
// node.
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
        const std::size_t bytes = nodes * largest;
        if (bytes <= capacity) return;
        block.reset();
        capacity = 0;
        block.reset(new std::byte[bytes]);  // left as it is: a node's constructor writes what it uses
        capacity = bytes;
    }

    // A node made in the arena, which destroys it: nothing may delete it. Its operands, nodes of the
    // arena too, are given as plain pointers and handed to the node's constructor as owning ones only
    // once there is room; the builder gives every node a moved callable, so no constructor here throws
    // after it has taken its operands (which would delete them).
    template <typename Node, typename... Arguments>
    Node* make(Arguments&&... arguments) {
        if (capacity - used < size_of<Node>()) throw std::logic_error("a tree outgrew the arena sized for it");
        Node* node = ::new (block.get() + used) Node(adopted(std::forward<Arguments>(arguments))...);
        used += size_of<Node>();
        ++made;
        return node;
    }

    std::size_t size() const { return made; }

    // Calls `visit` with every node, in the order they were made: each after its operands.
    template <typename Visit>
    void for_each(Visit&& visit) const {
        for (std::size_t at = 0; at < used;) {
            const AstNode<T>& node = node_at(at);
            at += size_of(node.kind());
            visit(node);
        }
    }

private:
    static constexpr std::size_t alignment =
        std::max({alignof(ValueNode<T>), alignof(VariableNode<T>), alignof(UnaryNode<T>), alignof(BinaryNode<T>)});
    static_assert(alignment <= __STDCPP_DEFAULT_NEW_ALIGNMENT__, "the block starts on every node's boundary");

    // What a node of the type takes: every node starts on the boundary that any needs.
    template <typename Node>
    static constexpr std::size_t size_of() {
        return (sizeof(Node) + alignment - 1) / alignment * alignment;
    }
    static constexpr std::size_t largest = std::max({size_of<ValueNode<T>>(), size_of<VariableNode<T>>(),
                                                     size_of<UnaryNode<T>>(), size_of<BinaryNode<T>>()});

    std::unique_ptr<std::byte[]> block;
    std::size_t capacity = 0;
    std::size_t used = 0;
    std::size_t made = 0;

    // The node made at `at`. A node's AstNode part starts where the node does (single inheritance from a
    // polymorphic base, as GCC and Clang lay it out).
    AstNode<T>& node_at(std::size_t at) const { return *std::launder(reinterpret_cast<AstNode<T>*>(block.get() + at)); }

    static std::unique_ptr<AstNode<T>> adopted(AstNode<T>* operand) { return std::unique_ptr<AstNode<T>>(operand); }
    template <typename Argument>
    static Argument&& adopted(Argument&& argument) {
        return std::forward<Argument>(argument);
    }

    static std::size_t size_of(typename AstNode<T>::Kind kind) {
        switch (kind) {
            case AstNode<T>::Kind::Value: return size_of<ValueNode<T>>();
            case AstNode<T>::Kind::Variable: return size_of<VariableNode<T>>();
            case AstNode<T>::Kind::Unary: return size_of<UnaryNode<T>>();
            case AstNode<T>::Kind::Binary: break;
        }
        return size_of<BinaryNode<T>>();
    }

    // Destroys the nodes in the order they were made, each letting go of its operands first: those are
    // destroyed in their own turn.
    void clear() noexcept {
        for (std::size_t at = 0; at < used;) {
            AstNode<T>& node = node_at(at);
            at += size_of(node.kind());
            TreeWalk<T>::release_children(node);
            node.~AstNode();
        }
        used = 0;
        made = 0;
    }
};

}  // namespace exprkit::detail
