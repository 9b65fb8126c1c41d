// What bench/peers_bench.cpp and each peer's file share: a compiled formula as a Runner that times its
// evaluations, the loop that changes the variables' values before each, and the list of peers that
// were built in. A peer's compile() throws std::runtime_error when the peer rejects the text.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace peers {

inline constexpr std::size_t variable_count = 5;
inline constexpr char variable_letters[] = "xyzuv";  // the variables' names, one letter each
inline constexpr std::size_t point_count = 64;  // sets of values the loop goes through, a power of two
using Names = std::array<const char*, variable_count>;
using Slots = std::array<double*, variable_count>;  // where an engine reads each variable's value
using Points = const double (*)[variable_count];

// A formula compiled by one engine, with its variables bound to values it owns.
class Runner {
public:
    virtual ~Runner() = default;
    // Sets the values to `point` and evaluates once.
    virtual double evaluate_at(const double* point) = 0;
    // Nanoseconds taken by `count` evaluations, each after all values are changed to the next point's.
    virtual double time(Points points, std::size_t count) = 0;
};

inline volatile double sink;  // where the results of a timing go, so that no evaluation is left out

// A formula in each of its forms, printed from one tree by bench/peers_formulas.py.
struct Formula {
    const char* label;                        // how the tables name it
    const char* text;                         // exprkit's syntax
    const char* peer_text;                    // the same, parenthesised for the usual precedence
    double (*written)(const double* values);  // hand-written C++, as written
    double (*kept)(const double* values);     // the same, every C library call kept
    // The same kept over n points, each variable's values in a column: a loop of -O2 C++
    void (*bulk_kept)(const double* const* columns, std::size_t n, double* results);
};

// A Runner whose loop is compiled for `evaluate`, so that the loop costs every engine the same.
template <typename Evaluate>
class LoopRunner final : public Runner {
public:
    LoopRunner(const Slots& slots, Evaluate evaluate) : slots(slots), evaluate(std::move(evaluate)) {}

    double evaluate_at(const double* point) override {
        set(point);
        return evaluate();
    }

    // At a multiple of 64 bytes, so that the timed loop lies alike in every build: placed where the
    // linker put it, exprkit's `x+1` took 5.8 ns in one build and 8.2 in another with the same engine.
    [[gnu::aligned(64)]] double time(Points points, std::size_t count) override {
        double sum = 0;
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t i = 0; i < count; ++i) {
            set(points[i % point_count]);
            sum += evaluate();
        }
        const auto end = std::chrono::steady_clock::now();
        sink = sum;
        return std::chrono::duration<double, std::nano>(end - start).count();
    }

private:
    Slots slots;
    Evaluate evaluate;

    void set(const double* point) {
        for (std::size_t k = 0; k < variable_count; ++k) *slots[k] = point[k];
    }
};

template <typename Evaluate>
std::unique_ptr<Runner> make_runner(const Slots& slots, Evaluate evaluate) {
    return std::make_unique<LoopRunner<Evaluate>>(slots, std::move(evaluate));
}

// A peer built into the program: compiles `text` (the usual precedence) over the variables `names`.
struct Peer {
    const char* name;
    std::unique_ptr<Runner> (*compile)(const std::string& text, const Names& names);
};

// The peers whose files were built in; each file adds its own with a Registration.
std::vector<Peer>& built_peers();

struct Registration {
    explicit Registration(const Peer& peer) { built_peers().push_back(peer); }
};

// A formula compiled by one engine for the bulk rows: evaluates it at the first n points of the columns it was
// compiled with (one array per variable, in the order of variable_names), writing results[0 .. n).
using Bulk = std::function<void(std::size_t n, double* results)>;
using Columns = std::array<const double*, variable_count>;

// A peer's way over many points: compiles `text` over `names`, read from `columns`, to run on `threads` threads.
struct BulkPeer {
    const char* name;
    Bulk (*compile)(const std::string& text, const Names& names, const Columns& columns, unsigned threads);
};

std::vector<BulkPeer>& built_bulk_peers();

struct BulkRegistration {
    explicit BulkRegistration(const BulkPeer& peer) { built_bulk_peers().push_back(peer); }
};

// A loop over the points for an engine that evaluates one point at a time: sets the variables that `text` may
// name (those whose name it holds) from their columns, then evaluates.
template <typename Evaluate>
Bulk point_loop(const std::string& text, const Slots& slots, const Columns& columns, Evaluate evaluate) {
    std::vector<std::pair<double*, const double*>> used;
    for (std::size_t k = 0; k < variable_count; ++k) {
        if (text.find(variable_letters[k]) != std::string::npos) used.emplace_back(slots[k], columns[k]);
    }
    return [used, evaluate = std::move(evaluate)](std::size_t n, double* results) mutable {
        for (std::size_t i = 0; i < n; ++i) {
            for (const auto& [slot, column] : used) *slot = column[i];
            results[i] = evaluate();
        }
    };
}

// `value` as it is, and unknown to the optimizer: an empty asm statement that claims to change it, in
// the register that holds it. Hand-written C++ passes every C library call's arguments through it, so
// that the compiler neither merges repeated calls nor folds or replaces one (pow(x, 2) by x*x).
inline double kept(double value) {
#if defined(__x86_64__)
    asm volatile("" : "+x"(value));
#else
    asm volatile("" : "+m"(value));
#endif
    return value;
}

}  // namespace peers
