// Fuzzes the engine with arbitrary bytes: a text for the constructor, then a sequence of operations on
// the same object (init, also of long sums, add_func with hostile callables, eval with and without values,
// assignment), and an object re-parsed, assigned or moved into from inside its own evaluation.
// Only the documented exceptions may leave the engine, and a few consistency checks must hold; anything
// else aborts, so that the fuzzer reports it.
#include <exprkit/expression.hpp>

#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "../tests/cpp/expression_access.hpp"

namespace {

using Engine = exprkit::Expression<double>;

struct CallableFailure {};  // what the fuzzer's own throwing callables throw

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

// Runs `action`; returns false when it threw one of the exceptions the engine documents.
template <typename Action>
bool documented(Action&& action) {
    try {
        action();
        return true;
    } catch (const std::invalid_argument&) {
    } catch (const std::out_of_range&) {
    } catch (const std::bad_function_call&) {
    } catch (const CallableFailure&) {
    } catch (const std::exception& error) {
        std::fprintf(stderr, "undocumented exception: %s\n", error.what());
        fail("undocumented std::exception");
    } catch (...) {
        fail("unknown exception");
    }
    return false;
}

// The message of the evaluation error that `action` throws, or "" when it throws none.
template <typename Action>
std::string error_of(Action&& action) {
    try {
        action();
    } catch (const std::invalid_argument& error) {
        return std::string("invalid argument: ") + error.what();
    } catch (const std::out_of_range& error) {
        return std::string("out of range: ") + error.what();
    } catch (const std::bad_function_call&) {
        return "bad function call";
    } catch (const CallableFailure&) {
        return "callable failure";
    }
    return "";
}

bool same_double(double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; }
// The same number with the same sign (of a zero too), or both NaN: of an operation on two NaNs, which one's
// sign comes through is the machine code's choice, which builds of the same source make differently (the
// program and the walk of one text disagree there in GCC's and clang's -O2 builds alike).
bool same_value(double a, double b) { return same_double(a, b) && (std::isnan(a) || std::signbit(a) == std::signbit(b)); }

// The compiled program must compute what a plain walk of the tree of its text computes, bit for bit,
// with the values given and without any, and fail where the walk fails. `parsed` is the text the program
// was compiled from, with the function table as it is now (empty when the table changed since).
void compare_with_the_tree(FuzzedDataProvider& input, Engine& engine, const std::string& parsed, int& reentry) {
    if (parsed.empty() || !engine.valid()) return;
    Engine::Values values;
    for (const auto& entry : engine.vars()) values[entry.first] = input.ConsumeFloatingPoint<double>();
    std::vector<double> at;  // the same values by position, for eval_at
    for (const std::string& name : engine.variables()) {
        if (values.count(name)) at.push_back(values[name]);
    }
    const bool by_position = input.ConsumeBool() && at.size() == values.size();
    for (const bool given : {true, false}) {
        reentry = 0;
        double compiled = 0;
        double walked = 0;
        const std::string compiled_error = error_of([&] {
            compiled = !given ? engine.eval() : by_position ? engine.eval_at(at.data()) : engine.eval(values);
        });
        if (reentry != 0) return;  // a callable changed the object: the two runs saw different states
        const std::string walked_error =
            error_of([&] { walked = exprkit::detail::ExpressionAccess::walk(engine, parsed, given); });
        if (reentry != 0) return;
        if (compiled_error != walked_error || !same_value(compiled, walked)) fail("the compiled program and the tree disagree");
    }
}

// A text cut into pieces, as long texts are, must parse to what the whole text parses to: the same
// error or the same variables and value.
void compare_with_pieces(FuzzedDataProvider& input, const std::string& text) {
    const auto piece_size = input.ConsumeIntegralInRange<std::size_t>(1, 8);
    Engine whole;
    Engine pieces;
    if (error_of([&] { whole.init(text); }) !=
        error_of([&] { exprkit::detail::ExpressionAccess::init_in_pieces(pieces, text, piece_size); })) {
        fail("a parse in pieces failed otherwise");
    }
    if (whole.vars() != pieces.vars() || whole.valid() != pieces.valid()) fail("a parse in pieces found other variables");
    Engine::Values values;
    for (const auto& entry : whole.vars()) values[entry.first] = input.ConsumeFloatingPoint<double>();
    double from_whole = 0;
    double from_pieces = 0;
    if (error_of([&] { from_whole = whole.eval(values); }) != error_of([&] { from_pieces = pieces.eval(values); }) ||
        !same_value(from_whole, from_pieces)) {
        fail("a parse in pieces evaluates otherwise");
    }
}

// `text` joined to itself by "+" until it is `bytes` long or more: a long sum, which is compiled in pieces.
std::string repeated(const std::string& text, std::size_t bytes) {
    std::string sum = text;
    while (!text.empty() && sum.size() < bytes) sum += "+" + text;
    return sum;
}

// A hostile or ordinary one-argument function, chosen by the input. Those that re-parse or extend the
// object count in `changes`. (Re-parsing with a long sum, and assignment, from inside: change_while_evaluating.)
exprkit::UnaryFunction<double> make_callable(FuzzedDataProvider& input, Engine& engine, int& reentry, int& changes) {
    const std::string text = input.ConsumeRandomLengthString(64);
    switch (input.ConsumeIntegralInRange(0, 5)) {
        case 0: return {};
        case 1: return [](double x) { return x * 2 + 1; };
        case 2: return [](double x) -> double {
            if (x > 0.5) throw CallableFailure{};
            return -x;
        };
        case 3: return [&engine, &reentry, &changes, text](double x) {
            if (reentry++ < 2) documented([&] { engine.init(text); });
            ++changes;
            return x;
        };
        case 4: return [&engine, &reentry](double x) {
            if (reentry++ < 2) documented([&] { x += engine.eval(); });
            return x;
        };
        default: return [&engine, &changes, text](double x) {
            engine.add_func(text, [](double y) { return y; });
            ++changes;
            return x;
        };
    }
}

// An object changed from inside its own evaluation, by a callable that re-parses it with a long sum that calls
// the callable (its pieces give up and the whole text is parsed: the table is emptied twice), re-parses it, or
// copies or moves another object into it: the evaluation ends with the formula and values it began with.
void change_while_evaluating(FuzzedDataProvider& input) {
    const int way = input.ConsumeIntegralInRange(0, 4) - 1;  // -1: none, as an input that has run out asks
    if (way < 0) return;
    const std::string text = input.ConsumeRandomLengthString(64);
    const bool by_position = input.ConsumeBool();
    Engine engine;
    engine.add_func("f", [&engine, &text, way](double v) {
        if (v != 1) return v;
        documented([&] {
            if (way == 0) engine.init(repeated("f(2)*x" + text, 1100));
            if (way == 1) engine.init(text);
            if (way == 2) engine = Engine(text);
            if (way == 3) {
                const Engine other(text);
                engine = other;
            }
        });
        return v;
    });
    engine.init("x*1000+f(1)+x");
    const double x = 2;
    const double value = by_position ? engine.eval_at(&x) : engine.eval({{"x", x}});
    if (value != 2003) fail("a change from inside changed the run");
}

void evaluate(FuzzedDataProvider& input, Engine& engine, int& reentry) {
    Engine::Values values;
    for (const auto& entry : engine.vars()) values[entry.first] = input.ConsumeFloatingPoint<double>();
    reentry = 0;
    documented([&] { engine.eval(values); });
    // Without variables, eval() and eval({}) evaluate the same tree the same way, unless a callable
    // re-parsed or re-evaluated the object in between (counted in `reentry`).
    reentry = 0;
    double without = 0;
    const bool plain = documented([&] { without = engine.eval(); });
    if (plain && engine.vars().empty()) {
        double with_empty = 0;
        const bool evaluated = documented([&] { with_empty = engine.eval(Engine::Values{}); });
        if (evaluated && reentry == 0 && !same_double(without, with_empty)) {
            fail("eval() and eval({}) disagree on a tree without variables");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The engine writes a count to standard output before "Unbalanced equation"; keep the log readable.
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, STDOUT_FILENO);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    int reentry = 0;  // declared first: the callables that count on these live in the engine
    int changes = 0;
    std::unique_ptr<Engine> engine;
    const std::string first = input.ConsumeRandomLengthString(1 << 16);
    documented([&] { engine = std::make_unique<Engine>(first); });
    if (engine && !engine->valid()) fail("a parsed object is not valid");
    compare_with_pieces(input, first);
    std::string parsed = engine ? first : "0";  // the text of the program, while the function table is as it was
    if (!engine) engine = std::make_unique<Engine>();
    evaluate(input, *engine, reentry);

    change_while_evaluating(input);
    for (int step = 0; step < 16 && input.remaining_bytes() > 0; ++step) {
        switch (input.ConsumeIntegralInRange(0, 3)) {
            case 0: {
                const bool long_sum = input.ConsumeBool();
                const std::string text = long_sum ? repeated(input.ConsumeRandomLengthString(512), 1100)
                                                  : input.ConsumeRandomLengthString(4096);
                const bool succeeded = documented([&] { engine->init(text); });
                if (succeeded && !engine->valid()) fail("init succeeded but the object is not valid");
                if (succeeded) parsed = text;
                for (const auto& entry : engine->vars()) {
                    if (!exprkit::detail::is_name_text(entry.first)) fail("a variable name is not a run of letters");
                }
                break;
            }
            case 1: {
                const std::string name = input.ConsumeRandomLengthString(32);
                engine->add_func(name, make_callable(input, *engine, reentry, changes));
                parsed.clear();
                break;
            }
            case 2:
                evaluate(input, *engine, reentry);
                if (std::exchange(changes, 0) != 0) parsed.clear();
                compare_with_the_tree(input, *engine, parsed, reentry);
                if (std::exchange(changes, 0) != 0) parsed.clear();
                break;
            default: {
                Engine copy;
                copy = *engine;
                if (copy.valid() != engine->valid()) fail("assignment changed validity");
                *engine = copy;
                break;
            }
        }
    }
    return 0;
}
