// muparser (Debian's libmuparser-dev) for bench/peers_bench.cpp: the variables defined once by pointer
// (DefineVar), the formula evaluated by Eval.
#include "peers.hpp"

#include <muParser.h>

#include <stdexcept>

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

const Registration registration({"muparser", compile});

}  // namespace
