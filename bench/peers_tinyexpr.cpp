// tinyexpr (its C source from the tinex sdist on PyPI) for bench/peers_bench.cpp: the variables bound
// at te_compile, the formula evaluated by te_eval; over many points, in a loop.
#include "peers.hpp"

#include <tinyexpr.h>

#include <stdexcept>

namespace {

using namespace peers;

struct State {
    std::array<double, variable_count> values{};
    te_expr* expression = nullptr;
    ~State() { te_free(expression); }
};

std::shared_ptr<State> compiled(const std::string& text, const Names& names, Slots& slots) {
    auto state = std::make_shared<State>();
    std::array<te_variable, variable_count> bound{};
    for (std::size_t k = 0; k < variable_count; ++k) {
        slots[k] = &state->values[k];
        bound[k] = {names[k], slots[k], TE_VARIABLE, nullptr};
    }
    int error = 0;
    state->expression = te_compile(text.c_str(), bound.data(), static_cast<int>(variable_count), &error);
    if (!state->expression) throw std::runtime_error("te_compile stopped at character " + std::to_string(error));
    return state;
}

std::unique_ptr<Runner> compile(const std::string& text, const Names& names) {
    Slots slots{};
    auto state = compiled(text, names, slots);
    return make_runner(slots, [state] { return te_eval(state->expression); });
}

Bulk compile_bulk(const std::string& text, const Names& names, const Columns& columns, unsigned) {
    Slots slots{};
    auto state = compiled(text, names, slots);
    return point_loop(text, slots, columns, [state] { return te_eval(state->expression); });
}

const Registration registration({"tinyexpr", compile});
const BulkRegistration bulk_registration({"tinyexpr", compile_bulk});

}  // namespace
