// muparser (Debian's libmuparser-dev) for bench/peers_bench.cpp: the variables defined once by pointer
// (DefineVar), the formula evaluated by Eval.
#include "peers.hpp"

#include <muParser.h>

#include <memory>
#include <stdexcept>

extern "C" void omp_set_num_threads(int);  // libgomp's, which Debian's muparser uses

namespace {

using namespace peers;

std::unique_ptr<Runner> compile(const std::string& text, const Names& names) {
    struct State {
        mu::Parser parser;
        std::array<double, variable_count> values{};
    };
    auto state = std::make_unique<State>();
    Slots slots{};
    try {
        for (std::size_t k = 0; k < variable_count; ++k) {
            slots[k] = &state->values[k];
            state->parser.DefineVar(names[k], slots[k]);
        }
        state->parser.SetExpr(text);
        state->parser.Eval();  // the first Eval parses the text; the later ones run its bytecode
    } catch (const mu::Parser::exception_type& error) {
        throw std::runtime_error(error.GetMsg());
    }
    return make_runner(slots, [state = std::move(state)] { return state->parser.Eval(); });
}

// The bulk Eval(results, n): each variable defined as its column, which muparser reads at each point's offset,
// on `threads` OpenMP threads (Debian's library is built with OpenMP).
Bulk compile_bulk(const std::string& text, const Names& names, const Columns& columns, unsigned threads) {
    auto parser = std::make_shared<mu::Parser>();
    try {
        for (std::size_t k = 0; k < variable_count; ++k) parser->DefineVar(names[k], const_cast<double*>(columns[k]));
        parser->SetExpr(text);
        parser->Eval();
    } catch (const mu::Parser::exception_type& error) {
        throw std::runtime_error(error.GetMsg());
    }
    return [parser, threads](std::size_t n, double* results) {
        omp_set_num_threads(static_cast<int>(threads));
        parser->Eval(results, static_cast<int>(n));
    };
}

const Registration registration({"muparser", compile});
const BulkRegistration bulk_registration({"muparser", compile_bulk});

}  // namespace
