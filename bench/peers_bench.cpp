// exprkit next to its C++ peers and to hand-written C++, on the formulas of formulas.hpp (which
// bench/peers_formulas.py makes): nanoseconds per evaluation with the five variables' values changed
// before each, as markdown tables, and each engine's largest difference, in ulps, from the hand-written
// C++ that keeps every C library call. Exits with 1 when one of exprkit's ways differs or fails.
//   peers_bench [rounds]      (default 31; bench/peers.sh builds and runs it)
#include "formulas.hpp"
#include "peers.hpp"

#include <exprkit/expression.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <limits>
#include <string>
#include <unordered_map>
#include <vector>

namespace peers {

std::vector<Peer>& built_peers() {
    static std::vector<Peer> peers;
    return peers;
}

}  // namespace peers

namespace {

using namespace peers;
using Expression = exprkit::Expression<double>;

// exprkit's fastest documented way: values by position, in the order of variables().
std::unique_ptr<Runner> exprkit_eval_at(const Formula& formula) {
    struct State {
        Expression expression;
        std::vector<double> values;
        std::array<double, variable_count> unused{};  // the variables that the formula lacks
    };
    auto state = std::make_unique<State>(State{Expression(formula.text), {}, {}});
    const std::vector<std::string>& names = state->expression.variables();
    state->values.assign(names.size(), 0.0);
    Slots slots{};
    for (std::size_t k = 0; k < variable_count; ++k) {
        const auto at = std::find(names.begin(), names.end(), variable_names[k]);
        slots[k] = at == names.end() ? &state->unused[k] : &state->values[at - names.begin()];
    }
    return make_runner(slots, [state = std::move(state)] { return state->expression.eval_at(state->values.data()); });
}

// eval_with and a function that finds a name's value by comparing it with each variable's name.
std::unique_ptr<Runner> exprkit_eval_with(const Formula& formula) {
    struct State {
        Expression expression;
        std::array<double, variable_count> values{};
    };
    auto state = std::make_unique<State>(State{Expression(formula.text), {}});
    Slots slots{};
    for (std::size_t k = 0; k < variable_count; ++k) slots[k] = &state->values[k];
    return make_runner(slots, [state = std::move(state)] {
        const auto& values = state->values;
        return state->expression.eval_with([&values](const std::string& name) -> const double* {
            for (std::size_t k = 0; k < variable_count; ++k) {
                if (name == variable_names[k]) return &values[k];
            }
            return nullptr;
        });
    });
}

// eval with a map of all five variables; the loop changes the values where the map keeps them.
std::unique_ptr<Runner> exprkit_eval_map(const Formula& formula) {
    struct State {
        Expression expression;
        std::unordered_map<std::string, double> values;
    };
    auto state = std::make_unique<State>(State{Expression(formula.text), {}});
    Slots slots{};
    for (std::size_t k = 0; k < variable_count; ++k) slots[k] = &state->values[variable_names[k]];
    return make_runner(slots, [state = std::move(state)] { return state->expression.eval(state->values); });
}

std::unique_ptr<Runner> hand_written(double (*function)(const double*)) {
    auto values = std::make_unique<std::array<double, variable_count>>();
    Slots slots{};
    for (std::size_t k = 0; k < variable_count; ++k) slots[k] = &(*values)[k];
    return make_runner(slots, [values = std::move(values), function] { return function(values->data()); });
}

// The timing loop with a call of a function that does nothing but return a value: what every figure includes.
[[gnu::noinline]] double first_value(const double* values) { return values[0]; }

struct Engine {
    const char* name;
    std::function<std::unique_ptr<Runner>(const Formula&)> compile;  // empty: the peer was not built in
};

Engine peer(const char* name) {
    for (const Peer& built : built_peers()) {
        if (std::strcmp(built.name, name) == 0) {
            return {name, [compile = built.compile](const Formula& f) { return compile(f.peer_text, variable_names); }};
        }
    }
    return {name, {}};
}

// One engine on one formula: its runner, or why it has none; its loop length and least time.
struct Cell {
    std::unique_ptr<Runner> runner;
    const char* missing = "skipped";
    std::size_t count = 1;
    double best = std::numeric_limits<double>::infinity();
    std::uint64_t ulps = 0;
    double ns() const { return best / static_cast<double>(count); }
};

constexpr std::uint64_t nan_apart = std::numeric_limits<std::uint64_t>::max();

// How many doubles lie from `a` to `b`; 0 for equal values and for two NaNs.
std::uint64_t ulps_between(double a, double b) {
    if (a == b || (std::isnan(a) && std::isnan(b))) return 0;
    if (std::isnan(a) || std::isnan(b)) return nan_apart;
    const auto ordered = [](double d) {
        std::uint64_t bits;
        std::memcpy(&bits, &d, sizeof bits);
        return bits >> 63 ? ~bits : bits | (std::uint64_t{1} << 63);
    };
    const std::uint64_t x = ordered(a), y = ordered(b);
    return x > y ? x - y : y - x;
}

// A loop long enough to take a millisecond.
std::size_t calibrated_count(Runner& runner) {
    std::size_t count = 1;
    while (runner.time(points, count) < 1e6 && count < (std::size_t{1} << 30)) count *= 2;
    return count;
}

std::string ns_text(const Cell& cell) {
    if (!cell.runner) return cell.missing;
    const double ns = cell.ns();
    if (ns < 100) {
        char text[32];
        std::snprintf(text, sizeof text, "%.1f", ns);
        return text;
    }
    std::string digits = std::to_string(std::llround(ns));
    for (auto at = static_cast<std::ptrdiff_t>(digits.size()) - 3; at > 0; at -= 3) digits.insert(static_cast<std::size_t>(at), ",");
    return digits;
}

std::string ratio_text(const Cell& over, const Cell& under) {
    if (!over.runner || !under.runner) return "–";
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", over.ns() / under.ns());
    return text;
}

std::string ulps_text(const Cell& cell) {
    if (!cell.runner) return cell.missing;
    return cell.ulps == nan_apart ? "NaN" : std::to_string(cell.ulps);
}

void print_row(const std::string& first, const std::vector<std::string>& rest) {
    std::printf("| %s |", first.c_str());
    for (const std::string& cell : rest) std::printf(" %s |", cell.c_str());
    std::printf("\n");
}

void print_head(const std::vector<std::string>& names) {
    print_row("formula", names);
    std::printf("|---|");
    for (std::size_t i = 0; i < names.size(); ++i) std::printf("---:|");
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 31;
    enum Column { at, with, map, muparser, tinyexpr, exprtk, written, kept_calls, column_count };
    const std::vector<Engine> engines{
        {"eval_at", exprkit_eval_at},
        {"eval_with", exprkit_eval_with},
        {"eval(map)", exprkit_eval_map},
        peer("muparser"),
        peer("tinyexpr"),
        peer("ExprTk"),
        {"C++", [](const Formula& f) { return hand_written(f.written); }},
        {"C++, every call kept", [](const Formula& f) { return hand_written(f.kept); }},
    };
    constexpr std::size_t formula_count = std::size(formulas);
    std::vector<std::vector<Cell>> cells(formula_count);
    bool exprkit_exact = true;
    for (std::size_t f = 0; f < formula_count; ++f) {
        cells[f].resize(column_count);
        for (std::size_t e = 0; e < column_count; ++e) {
            Cell& cell = cells[f][e];
            if (!engines[e].compile) continue;
            try {
                cell.runner = engines[e].compile(formulas[f]);
            } catch (const std::exception& error) {
                cell.missing = "failed";
                std::fprintf(stderr, "%s failed on %s: %s\n", engines[e].name, formulas[f].label, error.what());
                exprkit_exact = exprkit_exact && e > map;
                continue;
            }
            for (std::size_t p = 0; p < point_count; ++p) {
                const std::uint64_t apart = ulps_between(cell.runner->evaluate_at(points[p]), formulas[f].kept(points[p]));
                cell.ulps = std::max(cell.ulps, apart);
            }
            exprkit_exact = exprkit_exact && (e > map || cell.ulps == 0);
            cell.count = calibrated_count(*cell.runner);
        }
    }
    Cell loop;  // the loop alone
    loop.runner = hand_written(first_value);
    loop.count = calibrated_count(*loop.runner);
    for (int round = 0; round < rounds; ++round) {
        loop.best = std::min(loop.best, loop.runner->time(points, loop.count));
        for (auto& row : cells) {
            for (Cell& cell : row) {
                if (cell.runner) cell.best = std::min(cell.best, cell.runner->time(points, cell.count));
            }
        }
    }

    std::printf("Nanoseconds per evaluation, the least of %d interleaved rounds; before each evaluation the five "
                "variables get new values (that loop, with a call of a function that returns one of them: %.1f ns). "
                "exprkit is eval_at, its fastest way.\n\n",
                rounds, loop.ns());
    print_head({"exprkit", "muparser", "tinyexpr", "ExprTk", "C++", "C++, every call kept", "exprkit / muparser",
                "exprkit / C++ with calls"});
    for (std::size_t f = 0; f < formula_count; ++f) {
        const auto& row = cells[f];
        print_row(formulas[f].label, {ns_text(row[at]), ns_text(row[muparser]), ns_text(row[tinyexpr]), ns_text(row[exprtk]),
                                      ns_text(row[written]), ns_text(row[kept_calls]), ratio_text(row[at], row[muparser]),
                                      ratio_text(row[at], row[kept_calls])});
    }
    std::printf("\nexprkit's ways, nanoseconds per evaluation:\n\n");
    print_head({"eval_at", "eval_with", "eval(map)"});
    for (std::size_t f = 0; f < formula_count; ++f) {
        print_row(formulas[f].label, {ns_text(cells[f][at]), ns_text(cells[f][with]), ns_text(cells[f][map])});
    }
    std::printf("\nLargest difference from the C++ with every call kept over %zu sets of values, in ulps:\n\n", point_count);
    print_head({"eval_at", "eval_with", "eval(map)", "muparser", "tinyexpr", "ExprTk", "C++"});
    for (std::size_t f = 0; f < formula_count; ++f) {
        const auto& row = cells[f];
        print_row(formulas[f].label, {ulps_text(row[at]), ulps_text(row[with]), ulps_text(row[map]), ulps_text(row[muparser]),
                                      ulps_text(row[tinyexpr]), ulps_text(row[exprtk]), ulps_text(row[written])});
    }
    if (!exprkit_exact) std::fprintf(stderr, "\nexprkit differs from the C++ with every call kept, or failed\n");
    return exprkit_exact ? 0 : 1;
}
