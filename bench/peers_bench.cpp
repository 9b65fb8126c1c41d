// exprkit next to its C++ peers and to hand-written C++, on the formulas of formulas.hpp (which
// bench/peers_formulas.py makes): nanoseconds per evaluation with the five variables' values changed
// before each, as markdown tables, and each engine's largest difference, in ulps, from the hand-written
// C++ that keeps every C library call. Exits with 1 when one of exprkit's ways differs or fails.
//   peers_bench [rounds] [bulk rounds]   (default 31 and 5; 0 rounds: the bulk rows alone; bench/peers.sh runs it)
#include "formulas.hpp"
#include "peers.hpp"

#include <exprkit/expression.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <iterator>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

namespace peers {

std::vector<Peer>& built_peers() {
    static std::vector<Peer> peers;
    return peers;
}

std::vector<BulkPeer>& built_bulk_peers() {
    static std::vector<BulkPeer> peers;
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
    bool exprkit = false;                                             // one of exprkit's ways, which must agree
};

Engine peer(const char* name) {
    for (const Peer& built : built_peers()) {
        if (std::strcmp(built.name, name) == 0) {
            return {name, [compile = built.compile](const Formula& f) { return compile(f.peer_text, variable_names); }};
        }
    }
    return {name, {}};
}

// One engine on one formula: its runner, or why it has none; its loop length, least time and largest
// difference from the C++ with every call kept.
struct Cell {
    const char* engine;
    std::unique_ptr<Runner> runner;
    const char* missing = "skipped";
    std::size_t count = 1;
    double best = std::numeric_limits<double>::infinity();
    std::uint64_t ulps = 0;
    double ns() const { return best / static_cast<double>(count); }
};
using Row = std::vector<Cell>;  // a formula's cells, one per engine

const Cell& cell_of(const Row& row, const char* engine) {
    return *std::find_if(row.begin(), row.end(), [engine](const Cell& cell) { return std::strcmp(cell.engine, engine) == 0; });
}

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

// Compiles the formula, measures how far its results are from the C++ with every call kept, and sizes its loop.
Cell prepared(const Engine& engine, const Formula& formula) {
    Cell cell{engine.name};
    if (!engine.compile) return cell;
    try {
        cell.runner = engine.compile(formula);
    } catch (const std::exception& error) {
        cell.missing = "failed";
        std::fprintf(stderr, "%s failed on %s: %s\n", engine.name, formula.label, error.what());
        return cell;
    }
    for (std::size_t p = 0; p < point_count; ++p) {
        cell.ulps = std::max(cell.ulps, ulps_between(cell.runner->evaluate_at(points[p]), formula.kept(points[p])));
    }
    cell.count = calibrated_count(*cell.runner);
    return cell;
}

// A column of a table: its head, and its text for a formula's row.
struct Column {
    const char* head;
    std::function<std::string(const Row&)> text;
};

Column ns_column(const char* head, const char* engine) {
    return {head, [engine](const Row& row) {
                const Cell& cell = cell_of(row, engine);
                if (!cell.runner) return std::string(cell.missing);
                char text[32];
                if (cell.ns() < 100) {
                    std::snprintf(text, sizeof text, "%.1f", cell.ns());
                    return std::string(text);
                }
                std::string digits = std::to_string(std::llround(cell.ns()));
                for (auto at = static_cast<std::ptrdiff_t>(digits.size()) - 3; at > 0; at -= 3) {
                    digits.insert(static_cast<std::size_t>(at), ",");
                }
                return digits;
            }};
}

Column ratio_column(const char* head, const char* over, const char* under) {
    return {head, [over, under](const Row& row) {
                const Cell& a = cell_of(row, over);
                const Cell& b = cell_of(row, under);
                if (!a.runner || !b.runner) return std::string("–");
                char text[32];
                std::snprintf(text, sizeof text, "%.2f", a.ns() / b.ns());
                return std::string(text);
            }};
}

Column ulps_column(const char* engine) {
    return {engine, [engine](const Row& row) {
                const Cell& cell = cell_of(row, engine);
                if (!cell.runner) return std::string(cell.missing);
                return cell.ulps == nan_apart ? std::string("NaN") : std::to_string(cell.ulps);
            }};
}

void print_table(const std::vector<Row>& rows, const std::vector<Column>& columns) {
    std::printf("| formula |");
    for (const Column& column : columns) std::printf(" %s |", column.head);
    std::printf("\n|---|");
    for (std::size_t i = 0; i < columns.size(); ++i) std::printf("---:|");
    std::printf("\n");
    for (std::size_t f = 0; f < rows.size(); ++f) {
        std::printf("| %s |", formulas[f].label);
        for (const Column& column : columns) std::printf(" %s |", column.text(rows[f]).c_str());
        std::printf("\n");
    }
}

// The bulk rows: each formula over many points, the five variables' values in columns drawn as the points are
// (0.5 to 1.5); every engine writes its n results, which are compared with the hand-written loop's.
struct BulkCell {
    const char* engine;
    Bulk run;
    double best = std::numeric_limits<double>::infinity();  // nanoseconds per point
    std::uint64_t ulps = 0;
};

// exprkit's bulk form (eval_columns, the columns in the order of variables()) or its eval_at loop.
Bulk exprkit_bulk(const Formula& formula, const Columns& columns, unsigned threads, bool loop) {
    auto e = std::make_shared<Expression>(formula.text);
    std::vector<const double*> ordered;
    for (const std::string& name : e->variables()) ordered.push_back(columns[std::string("xyzuv").find(name)]);
    if (!loop) return [e, ordered, threads](std::size_t n, double* out) { e->eval_columns(ordered.data(), n, out, threads); };
    return [e, ordered](std::size_t n, double* out) {
        double values[variable_count];
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t k = 0; k < ordered.size(); ++k) values[k] = ordered[k][i];
            out[i] = e->eval_at(values);
        }
    };
}

Bulk bulk_peer(const char* name, const Formula& formula, const Columns& columns, unsigned threads) {
    for (const BulkPeer& peer : built_bulk_peers()) {
        if (std::strcmp(peer.name, name) == 0) return peer.compile(formula.peer_text, variable_names, columns, threads);
    }
    return {};
}

// Times every engine on every formula over `points` points (the 2000 distinct terms over a hundredth of them,
// whose slower engines would take minutes), the least of `rounds` interleaved rounds; prints the tables and
// returns whether exprkit gave the hand-written loop's bits everywhere.
bool bulk_rows(std::size_t points, int rounds) {
    std::vector<std::vector<double>> data(variable_count, std::vector<double>(points));
    std::mt19937_64 random(10);
    for (auto& column : data) for (double& value : column) value = 0.5 + std::uniform_real_distribution<double>()(random);
    Columns columns{};
    for (std::size_t k = 0; k < variable_count; ++k) columns[k] = data[k].data();
    std::vector<double> expected(points), got(points);
    const char* heads[] = {"exprkit bulk", "exprkit bulk, 2 threads", "muparser bulk", "muparser bulk, 2 threads",
                           "ExprTk loop", "tinyexpr loop", "C++ loop", "exprkit eval_at loop"};
    std::vector<std::vector<BulkCell>> rows;
    std::vector<std::size_t> counts;
    for (const Formula& f : formulas) {
        auto& row = rows.emplace_back();
        counts.push_back(std::strstr(f.label, "2000") ? points / 100 : points);
        const auto kept = [&f, columns](std::size_t n, double* out) { f.bulk_kept(columns.data(), n, out); };
        const Bulk made[] = {exprkit_bulk(f, columns, 1, false), exprkit_bulk(f, columns, 2, false),
                             bulk_peer("muparser", f, columns, 1), bulk_peer("muparser", f, columns, 2),
                             bulk_peer("ExprTk", f, columns, 1), bulk_peer("tinyexpr", f, columns, 1), kept,
                             exprkit_bulk(f, columns, 1, true)};
        for (std::size_t e = 0; e < std::size(heads); ++e) row.push_back({heads[e], made[e]});
    }
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t f = 0; f < rows.size(); ++f) {
            const std::size_t n = counts[f];
            formulas[f].bulk_kept(columns.data(), n, expected.data());
            for (BulkCell& cell : rows[f]) {
                if (!cell.run) continue;
                const auto start = std::chrono::steady_clock::now();
                cell.run(n, got.data());
                const std::chrono::duration<double, std::nano> taken = std::chrono::steady_clock::now() - start;
                cell.best = std::min(cell.best, taken.count() / static_cast<double>(n));
                for (std::size_t i = 0; i < n; ++i) cell.ulps = std::max(cell.ulps, ulps_between(got[i], expected[i]));
            }
        }
    }
    const auto ns = [](double value) {
        char text[32];
        std::snprintf(text, sizeof text, value < 100 ? "%.2f" : "%.0f", value);
        return std::string(text);
    };
    std::printf("\nOver many points: nanoseconds per point, the least of %d interleaved rounds over %zu points (the 2000 "
                "distinct terms over %zu), each variable's values in a column.\n\n| formula |", rounds, points, points / 100);
    for (const char* head : heads) std::printf(" %s |", head);
    std::printf(" bulk / muparser bulk | bulk / ExprTk | bulk / C++ | 2 threads' speed-up: exprkit, muparser |\n|---|");
    for (std::size_t i = 0; i < std::size(heads) + 4; ++i) std::printf("---:|");
    bool exact = true;
    for (std::size_t f = 0; f < rows.size(); ++f) {
        const auto& row = rows[f];
        std::printf("\n| %s |", formulas[f].label);
        for (const BulkCell& cell : row) std::printf(" %s |", cell.run ? ns(cell.best).c_str() : "skipped");
        const auto ratio = [&row](std::size_t a, std::size_t b) {
            if (!row[a].run || !row[b].run) return std::string("–");
            char text[16];
            std::snprintf(text, sizeof text, "%.2f", row[a].best / row[b].best);
            return std::string(text);
        };
        std::printf(" %s | %s | %s | %s, %s |", ratio(0, 2).c_str(), ratio(0, 4).c_str(), ratio(0, 6).c_str(),
                    ratio(0, 1).c_str(), ratio(2, 3).c_str());
        exact = exact && row[0].ulps == 0 && row[1].ulps == 0 && row[7].ulps == 0;
    }
    std::printf("\n\nOver many points, largest difference from the C++ loop, in ulps:\n\n| formula |");
    for (const char* head : heads) std::printf(" %s |", head);
    std::printf("\n|---|");
    for (std::size_t i = 0; i < std::size(heads); ++i) std::printf("---:|");
    for (std::size_t f = 0; f < rows.size(); ++f) {
        std::printf("\n| %s |", formulas[f].label);
        for (const BulkCell& cell : rows[f]) {
            std::printf(" %s |", !cell.run ? "skipped" : cell.ulps == nan_apart ? "NaN" : std::to_string(cell.ulps).c_str());
        }
    }
    std::printf("\n");
    return exact;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 31;
    const int bulk_rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    if (rounds == 0) {  // the bulk rows alone
        const bool exact = bulk_rows(1'000'000, bulk_rounds);
        if (!exact) std::fprintf(stderr, "\nexprkit's bulk differs from the C++ loop\n");
        return exact ? 0 : 1;
    }
    const std::vector<Engine> engines{
        {"eval_at", exprkit_eval_at, true},
        {"eval_with", exprkit_eval_with, true},
        {"eval(map)", exprkit_eval_map, true},
        peer("muparser"),
        peer("tinyexpr"),
        peer("ExprTk"),
        {"C++", [](const Formula& f) { return hand_written(f.written); }},
        {"C++, every call kept", [](const Formula& f) { return hand_written(f.kept); }},
    };
    std::vector<Row> rows;
    bool exprkit_exact = true;
    for (const Formula& formula : formulas) {
        Row& row = rows.emplace_back();
        for (const Engine& engine : engines) {
            row.push_back(prepared(engine, formula));
            exprkit_exact = exprkit_exact && !(engine.exprkit && (!row.back().runner || row.back().ulps != 0));
        }
    }
    Cell loop{"the loop alone", hand_written(first_value)};
    loop.count = calibrated_count(*loop.runner);
    for (int round = 0; round < rounds; ++round) {
        loop.best = std::min(loop.best, loop.runner->time(points, loop.count));
        for (Row& row : rows) {
            for (Cell& cell : row) {
                if (cell.runner) cell.best = std::min(cell.best, cell.runner->time(points, cell.count));
            }
        }
    }

    std::printf("Nanoseconds per evaluation, the least of %d interleaved rounds; before each evaluation the five "
                "variables get new values (that loop, with a call of a function that returns one of them: %.1f ns). "
                "exprkit is eval_at, its fastest way.\n\n",
                rounds, loop.ns());
    print_table(rows, {ns_column("exprkit", "eval_at"), ns_column("muparser", "muparser"), ns_column("tinyexpr", "tinyexpr"),
                       ns_column("ExprTk", "ExprTk"), ns_column("C++", "C++"),
                       ns_column("C++, every call kept", "C++, every call kept"),
                       ratio_column("exprkit / muparser", "eval_at", "muparser"),
                       ratio_column("exprkit / C++ with calls", "eval_at", "C++, every call kept")});
    std::printf("\nexprkit's ways, nanoseconds per evaluation:\n\n");
    print_table(rows, {ns_column("eval_at", "eval_at"), ns_column("eval_with", "eval_with"), ns_column("eval(map)", "eval(map)")});
    std::printf("\nLargest difference from the C++ with every call kept over %zu sets of values, in ulps:\n\n", point_count);
    print_table(rows, {ulps_column("eval_at"), ulps_column("eval_with"), ulps_column("eval(map)"), ulps_column("muparser"),
                       ulps_column("tinyexpr"), ulps_column("ExprTk"), ulps_column("C++")});
    exprkit_exact = bulk_rows(1'000'000, bulk_rounds) && exprkit_exact;
    if (!exprkit_exact) std::fprintf(stderr, "\nexprkit differs from the C++ with every call kept, or failed\n");
    return exprkit_exact ? 0 : 1;
}
