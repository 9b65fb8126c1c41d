// Where tree nodes live. A parse makes one node per token, and one heap allocation each would cost a
// malloc and a free per node and scatter a tree over the heap. Nodes are instead bump-allocated, in the
// order a parse makes them, from blocks of 64 KiB: the nodes of a tree lie next to each other, in about
// the order every walk of it visits them, and the heap sees one allocation per block.
//
// Each thread allocates from blocks of its own, in two streams: nodes in the order a parse makes them,
// and apart from them the operators that continue a left-nested chain (BinaryNode::make says why). A
// block counts its live nodes and goes back to the heap with the last of them once its thread has moved
// on to another block, so memory is returned as trees are destroyed. A node may be freed on any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

#if defined(__SANITIZE_ADDRESS__)
#define EXPRKIT_ARENA_POISONS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define EXPRKIT_ARENA_POISONS 1
#endif
#endif
#ifdef EXPRKIT_ARENA_POISONS
#include <sanitizer/asan_interface.h>
#endif

namespace exprkit::detail {

class Arena {
public:
    static constexpr std::size_t block_size = std::size_t{1} << 16;
    static constexpr std::size_t largest = 256;  // a larger object gets a heap allocation of its own

    enum class Stream : std::size_t { Nodes, Chains };

    // `size` bytes on an `alignment` boundary, a power of two no larger than a block header's.
    static void* allocate(std::size_t size, std::size_t alignment, Stream stream = Stream::Nodes) {
        if (size > largest) return ::operator new(size);
        thread_local Cursors cursors;
        return cursors.of[static_cast<std::size_t>(stream)].allocate(size, alignment);
    }

    static void deallocate(void* object, std::size_t size) noexcept {
        if (size > largest) return ::operator delete(object);
        poison(object, size);
        release(block_of(object), 1);
    }

private:
    static constexpr std::size_t granule = alignof(std::max_align_t);

    // At the start of each block. While its thread allocates from it, `live` carries a hold larger than
    // any count of nodes, so that frees cannot bring it to zero; when the thread moves on, it gives back
    // the hold less the nodes it allocated, which leaves the count of those still alive.
    struct alignas(granule) Block {
        std::atomic<std::size_t> live;
    };
    static constexpr std::size_t hold = block_size;

    static Block* block_of(void* object) noexcept {
        return reinterpret_cast<Block*>(reinterpret_cast<std::uintptr_t>(object) & ~(block_size - 1));
    }

    static void release(Block* block, std::size_t count) noexcept {
        if (block->live.fetch_sub(count, std::memory_order_acq_rel) != count) return;
        block->~Block();
        if (spare() == nullptr && allocating_thread()) {
            poison(block, block_size);
            spare() = block;
            return;
        }
        free_block(block);
    }

    static void free_block(void* block) noexcept { ::operator delete(block, std::align_val_t{block_size}); }

    // A thread that allocates keeps one emptied block, whichever thread emptied it, for the next block it
    // starts: short formulas made and dropped in turn would otherwise take a block from the heap and give
    // it back again and again, at the price of a system call and fresh pages whenever the heap shrinks.
    // Plain thread-locals, usable while and after the thread's other thread-locals are destroyed.
    static void*& spare() noexcept {
        thread_local void* block = nullptr;
        return block;
    }
    static bool& allocating_thread() noexcept {
        thread_local bool allocating = false;
        return allocating;
    }

    class Cursor {
    public:
        Cursor() = default;
        Cursor(const Cursor&) = delete;
        Cursor& operator=(const Cursor&) = delete;
        ~Cursor() { leave(); }

        void* allocate(std::size_t size, std::size_t alignment) {
            std::size_t padding = (alignment - reinterpret_cast<std::uintptr_t>(next) % alignment) % alignment;
            if (remaining < padding + size) {
                start_block();
                padding = 0;  // a block's first object starts on its largest boundary
            }
            std::byte* object = next + padding;
            next = object + size;
            remaining -= padding + size;
            ++allocated;
            unpoison(object, size);
            return object;
        }

        void leave() noexcept {
            if (block != nullptr) release(block, hold - allocated);
            block = nullptr;
            remaining = 0;
        }

    private:
        Block* block = nullptr;
        std::byte* next = nullptr;
        std::size_t remaining = 0;
        std::size_t allocated = 0;

        void start_block() {
            void* raw = std::exchange(spare(), nullptr);
            if (raw == nullptr) raw = ::operator new(block_size, std::align_val_t{block_size});
            unpoison(raw, sizeof(Block));
            leave();
            block = new (raw) Block{{hold}};
            next = static_cast<std::byte*>(raw) + sizeof(Block);
            remaining = block_size - sizeof(Block);
            allocated = 0;
            poison(next, remaining);
        }
    };

    // A thread's cursors; when the thread ends they give up their blocks, and the spare goes back.
    struct Cursors {
        Cursor of[2];
        Cursors() { allocating_thread() = true; }
        Cursors(const Cursors&) = delete;
        Cursors& operator=(const Cursors&) = delete;
        ~Cursors() {
            for (Cursor& cursor : of) cursor.leave();
            allocating_thread() = false;
            if (void* block = std::exchange(spare(), nullptr)) free_block(block);
        }
    };

    // Under AddressSanitizer the free parts of a block are poisoned, so that a node used after it was
    // freed is reported as it would be with one heap allocation per node.
    static void poison([[maybe_unused]] void* start, [[maybe_unused]] std::size_t size) noexcept {
#ifdef EXPRKIT_ARENA_POISONS
        ASAN_POISON_MEMORY_REGION(start, size);
#endif
    }
    static void unpoison([[maybe_unused]] void* start, [[maybe_unused]] std::size_t size) noexcept {
#ifdef EXPRKIT_ARENA_POISONS
        ASAN_UNPOISON_MEMORY_REGION(start, size);
#endif
    }
};

}  // namespace exprkit::detail
