// Where tree nodes live. A parse makes one node per token, so a long text makes millions of small
// objects; one heap allocation each would cost a malloc and a free per node, scatter the tree over the
// heap and leave the allocator millions of small chunks to merge after the tree is gone. Instead nodes
// are carved in order from blocks of 64 KiB: the nodes of one parse lie next to each other, in the
// order the parse makes them, and the heap sees one allocation per block.
//
// Each block counts its nodes still alive and returns to the heap with the last of them, so memory is
// given back as trees are destroyed, as it would be with one allocation per node. Every thread carves
// from blocks of its own; a node may be deleted on any thread.
//
// A tally counts, block by block, what one thread carves while it is open. The owner of everything
// counted can give it all up at once, block count by block count, without visiting the objects: a
// tree of a million nodes that own nothing else is freed that way in a few hundred steps.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define EXPRKIT_POISONS_BLOCKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define EXPRKIT_POISONS_BLOCKS 1
#endif
#endif

#ifdef EXPRKIT_POISONS_BLOCKS
#include <sanitizer/asan_interface.h>
#endif

namespace exprkit::detail {

class NodeBlocks {
    struct Block;

public:
    static constexpr std::size_t block_size = std::size_t{1} << 16;
    static constexpr std::size_t largest_carved = 512;  // anything bigger gets a heap allocation of its own

    // Where a node is carved; each stream has a cursor of its own. Every walk of a tree follows its
    // evaluation chain, which visits each term of a long sum from its operands up, and the operators
    // joining the terms one after another after all the terms. Operators are carved apart from
    // operands, and the joining ones (an operator whose left operand is an operator, the spine of a
    // left-nested chain) apart from the rest: each stream is then walked in order through memory
    // instead of jumping a whole term at each step.
    enum class Stream { Operands, Operators, LeftSpines };

    static void* allocate(std::size_t size, Stream stream = Stream::Operands) {
        if (size > largest_carved) return ::operator new(size);
        size = carved_size(size);
        Cursor& cursor = current(stream);
        if (cursor.remaining < size) cursor.start_block();
        std::byte* carved = cursor.next;
        cursor.next += size;
        cursor.remaining -= size;
        ++cursor.carved;
        unpoison(carved, size);
        return carved;
    }

    static void deallocate(void* node, std::size_t size) noexcept {
        if (size > largest_carved) {
            ::operator delete(node);
            return;
        }
        poison(node, carved_size(size));
        release(block_of(node), 1);
    }

    // Frees carved memory whose objects are already destroyed, with one update of a block's count for
    // many of its objects instead of one per object: an atomic update per node would stall the walk that
    // destroys a large tree. The counts of the last few blocks met are kept, since a walk alternates
    // between the blocks of its streams.
    class Release {
    public:
        Release() = default;
        Release(const Release&) = delete;
        Release& operator=(const Release&) = delete;
        ~Release() {
            for (Pending& entry : pending) entry.flush();
        }

        void add(void* carved, std::size_t size) noexcept {
            poison(carved, carved_size(size));
            Block* block = block_of(carved);
            for (Pending& entry : pending) {
                if (entry.block == block) {
                    ++entry.count;
                    return;
                }
            }
            Pending& oldest = pending[next_out];
            next_out = (next_out + 1) % kept_blocks;
            oldest.flush();
            oldest = Pending{block, 1};
        }

    private:
        struct Pending {
            Block* block = nullptr;
            std::size_t count = 0;

            void flush() noexcept {
                if (block != nullptr) release(block, count);
                block = nullptr;
                count = 0;
            }
        };
        static constexpr std::size_t kept_blocks = 4;
        Pending pending[kept_blocks];
        std::size_t next_out = 0;
    };

    // What was carved on one thread while a Counting scope was open: how many objects in each block.
    class Tally {
    public:
        // Dropping a tally gives nothing back: the objects it counted are then deallocated one by one.
        Tally() = default;
        Tally(Tally&&) noexcept = default;
        Tally& operator=(Tally&&) noexcept = default;
        Tally(const Tally&) = delete;
        Tally& operator=(const Tally&) = delete;

        // Whether the tally holds every object carved while it was open (it cannot grow when memory
        // runs out); only then may release() stand in for deallocating them.
        bool counts_all() const noexcept { return complete; }
        bool empty() const noexcept { return shares.empty(); }

        std::size_t objects() const noexcept {
            std::size_t total = 0;
            for (const Share& share : shares) total += share.count;
            return total;
        }

        // Frees every object counted, as a deallocate() of each would. Only for the owner of all of
        // them, after destroying them, when the tally counts_all(); none of them may have been
        // deallocated or be deallocated after.
        void release() noexcept {
            for (const Share& share : shares) NodeBlocks::release(share.block, share.count);
            shares.clear();
        }

    private:
        friend class NodeBlocks;
        struct Share {
            Block* block;
            std::size_t count;
        };
        std::vector<Share> shares;
        bool complete = true;

        void add(Share share) noexcept {
            if (!complete) return;
            try {
                shares.push_back(share);
            } catch (...) {
                complete = false;  // out of memory: the owner deallocates the objects one by one instead
            }
        }
    };

    // Counts into `tally` every object carved on this thread while the scope lives. A scope opened
    // inside another counts for itself until it closes; the outer one then counts again.
    class Counting {
    public:
        explicit Counting(Tally& tally) : counted(tally), outer(open_tally()) {
            count_carved();
            open_tally() = &counted;
        }
        ~Counting() {
            count_carved();
            open_tally() = outer;
        }
        Counting(const Counting&) = delete;
        Counting& operator=(const Counting&) = delete;

    private:
        Tally& counted;
        Tally* const outer;
    };

private:
    static constexpr std::size_t granule = alignof(std::max_align_t);

    // What an object of `size` bytes takes of a block: every carved object starts on a granule.
    static constexpr std::size_t carved_size(std::size_t size) noexcept { return (size + granule - 1) & ~(granule - 1); }

    // Sits at the start of each block. While a thread carves from the block, `outstanding` starts from
    // a hold far above any count of nodes, so that deletions cannot bring it to zero; when the thread
    // moves on it gives back the hold less the nodes it carved, leaving the count of live nodes.
    struct alignas(granule) Block {
        std::atomic<std::size_t> outstanding;
    };
    static constexpr std::size_t hold = block_size;  // more than the nodes a block can hold

    static Block* block_of(void* carved) noexcept {
        return reinterpret_cast<Block*>(reinterpret_cast<std::uintptr_t>(carved) & ~(block_size - 1));
    }

    static void release(Block* block, std::size_t count) noexcept {
        if (block->outstanding.fetch_sub(count, std::memory_order_acq_rel) == count) recycle(block);
    }

    // An emptied block is kept as the thread's spare, if it has none yet, for the next block it starts:
    // small trees made and dropped in turn would otherwise fetch and return a block from the heap again
    // and again. One spare a thread is all that stays out of the heap.
    static void recycle(Block* block) noexcept {
        block->~Block();
        Block*& kept = spare();
        if (kept == nullptr && carving_thread()) {
            // Objects freed with a tally were never poisoned one by one.
            poison(reinterpret_cast<std::byte*>(block) + sizeof(Block), block_size - sizeof(Block));
            kept = block;
            return;
        }
        ::operator delete(static_cast<void*>(block), std::align_val_t{block_size});
    }

    // Plain thread-locals, usable also while and after the thread's other thread-locals are destroyed.
    // Only a thread that carves keeps a spare: its cursors hand the spare back when the thread ends.
    static Block*& spare() noexcept {
        thread_local Block* block = nullptr;
        return block;
    }
    static bool& carving_thread() noexcept {
        thread_local bool carving = false;
        return carving;
    }

    // The tally that what this thread carves goes to, if one is open.
    static Tally*& open_tally() noexcept {
        thread_local Tally* tally = nullptr;
        return tally;
    }

    struct Cursor {
        Block* block = nullptr;
        std::byte* next = nullptr;
        std::size_t remaining = 0;
        std::size_t carved = 0;
        std::size_t counted = 0;  // of `carved`, those already in a tally or carved with none open

        // Adds what was carved from the block since the last count to the open tally, if any.
        void count_carved() noexcept {
            if (Tally* tally = open_tally(); tally != nullptr && carved > counted) tally->add({block, carved - counted});
            counted = carved;
        }

        void start_block() {
            void* raw = spare();
            if (raw != nullptr) {
                spare() = nullptr;
            } else {
                raw = ::operator new(block_size, std::align_val_t{block_size});
            }
            leave_block();
            block = new (raw) Block{{hold}};
            next = static_cast<std::byte*>(raw) + sizeof(Block);
            remaining = block_size - sizeof(Block);
            carved = 0;
            counted = 0;
            poison(next, remaining);
        }

        void leave_block() noexcept {
            if (block == nullptr) return;
            count_carved();
            release(block, hold - carved);
            block = nullptr;
            remaining = 0;
        }
    };

    // A thread's cursors; when the thread ends they give up their blocks, and the spare goes back.
    struct ThreadCursors {
        Cursor cursors[3];

        ThreadCursors() { carving_thread() = true; }
        ThreadCursors(const ThreadCursors&) = delete;
        ThreadCursors& operator=(const ThreadCursors&) = delete;
        ~ThreadCursors() {
            for (Cursor& cursor : cursors) cursor.leave_block();
            carving_thread() = false;
            if (Block* kept = std::exchange(spare(), nullptr)) {
                ::operator delete(static_cast<void*>(kept), std::align_val_t{block_size});
            }
        }
    };

    static ThreadCursors& thread_cursors() {
        thread_local ThreadCursors thread;
        return thread;
    }
    static Cursor& current(Stream stream) { return thread_cursors().cursors[static_cast<std::size_t>(stream)]; }

    static void count_carved() noexcept {
        for (Cursor& cursor : thread_cursors().cursors) cursor.count_carved();
    }

    // Under AddressSanitizer the free parts of a block are poisoned, so that a node used after its
    // deletion is still reported as it would be with one allocation per node.
    static void poison([[maybe_unused]] void* start, [[maybe_unused]] std::size_t size) noexcept {
#ifdef EXPRKIT_POISONS_BLOCKS
        ASAN_POISON_MEMORY_REGION(start, size);
#endif
    }
    static void unpoison([[maybe_unused]] void* start, [[maybe_unused]] std::size_t size) noexcept {
#ifdef EXPRKIT_POISONS_BLOCKS
        ASAN_UNPOISON_MEMORY_REGION(start, size);
#endif
    }
};

}  // namespace exprkit::detail
