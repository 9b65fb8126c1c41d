// tinyexpr (its C source from the tinex sdist on PyPI) for bench/peers_bench.cpp: the variables bound
// at te_compile, the formula evaluated by te_eval.
#include "peers.hpp"

#include <tinyexpr.h>

#include <stdexcept>

namespace {

using namespace peers;

std::unique_ptr<Runner> compile(const std::string& text, const Names& names) {
    struct State {
        std::array<double, variable_count> values{};
        te_expr* expression = nullptr;
        ~State() { te_free(expression); }
    };
    auto state = std::make_unique<State>();
    Slots slots{};
    std::array<te_variable, variable_count> bound{};
    for (std::size_t k = 0; k < variable_count; ++k) {
        slots[k] = &state->values[k];
        bound[k] = {names[k], slots[k], TE_VARIABLE, nullptr};
    }
    int error = 0;
    state->expression = te_compile(text.c_str(), bound.data(), static_cast<int>(variable_count), &error);
    if (!state->expression) throw std::runtime_error("te_compile stopped at character " + std::to_string(error));
    return make_runner(slots, [state = std::move(state)] { return te_eval(state->expression); });
}

const Registration registration({"tinyexpr", compile});

}  // namespace
