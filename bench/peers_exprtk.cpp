// ExprTk (its header from the cexprtk sdist on PyPI) for bench/peers_bench.cpp: the variables added to
// a symbol table by reference, the formula evaluated by expression::value; over many points, in a loop.
#include "peers.hpp"

#include <exprtk.hpp>

#include <stdexcept>

namespace {

using namespace peers;

struct State {
    std::array<double, variable_count> values{};
    exprtk::symbol_table<double> symbols;
    exprtk::expression<double> expression;
};

std::shared_ptr<State> compiled(const std::string& text, const Names& names, Slots& slots) {
    auto state = std::make_shared<State>();
    for (std::size_t k = 0; k < variable_count; ++k) {
        slots[k] = &state->values[k];
        state->symbols.add_variable(names[k], state->values[k]);
    }
    state->expression.register_symbol_table(state->symbols);
    exprtk::parser<double> parser;
    if (!parser.compile(text, state->expression)) throw std::runtime_error(parser.error());
    return state;
}

std::unique_ptr<Runner> compile(const std::string& text, const Names& names) {
    Slots slots{};
    auto state = compiled(text, names, slots);
    return make_runner(slots, [state] { return state->expression.value(); });
}

Bulk compile_bulk(const std::string& text, const Names& names, const Columns& columns, unsigned) {
    Slots slots{};
    auto state = compiled(text, names, slots);
    return point_loop(text, slots, columns, [state] { return state->expression.value(); });
}

const Registration registration({"ExprTk", compile});
const BulkRegistration bulk_registration({"ExprTk", compile_bulk});

}  // namespace
