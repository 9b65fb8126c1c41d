// ExprTk (its header from the cexprtk sdist on PyPI) for bench/peers_bench.cpp: the variables added to
// a symbol table by reference, the formula evaluated by expression::value.
#include "peers.hpp"

#include <exprtk.hpp>

#include <stdexcept>

namespace {

using namespace peers;

std::unique_ptr<Runner> compile(const std::string& text, const Names& names) {
    struct State {
        std::array<double, variable_count> values{};
        exprtk::symbol_table<double> symbols;
        exprtk::expression<double> expression;
    };
    auto state = std::make_unique<State>();
    Slots slots{};
    for (std::size_t k = 0; k < variable_count; ++k) {
        slots[k] = &state->values[k];
        state->symbols.add_variable(names[k], state->values[k]);
    }
    state->expression.register_symbol_table(state->symbols);
    exprtk::parser<double> parser;
    if (!parser.compile(text, state->expression)) throw std::runtime_error(parser.error());
    return make_runner(slots, [state = std::move(state)] { return state->expression.value(); });
}

const Registration registration({"ExprTk", compile});

}  // namespace
