// A compiled program: a tree's evaluation as one flat array of instructions (instructions.hpp) over a frame
// of registers, made by compiler.hpp and run by evaluation.hpp. It keeps its variables' names and copies of
// the caller's callables it calls, so the tree can go once compiled, and a copy can be bound to another table.
// Registers: one for each variable first, in the order of `variables`, filled from the table when an
// evaluation starts (or read by a Load where a caller's callable could tell when); then one for each value
// the evaluation holds at once.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "function_tables.hpp"
#include "instructions.hpp"

namespace exprkit::detail {

// A variable the code reads: its name, and its entry in the variable table the program is bound to.
template <typename T>
struct Variable {
    std::string name;
    T* source = nullptr;  // null while the table lacks the name
};

template <typename T>
struct Program {
    std::vector<Instruction<T>> code;
    std::vector<Variable<T>> variables;  // their registers come first, in this order
    std::vector<UnaryFunction<T>> unary_callables;  // the caller's callables the code calls, one a call
    std::uint32_t results = 0;  // registers for results, after the variables'
    std::uint32_t result = 0;   // the register that holds the value when the code is done
    bool calls = false;         // whether the code calls a caller's callable, and so reads variables by Load
    bool binds_every_variable = true;
    // Whether the code reads the variables of its table, each in its register, in the order that its object
    // lists them (see bind), and its registers fit the machine's stack: an evaluation may then take their
    // values from an array in that order, storing each into its entry as it fills the register.
    bool takes_values = false;
    bool one_instruction = false;  // it takes values, reads a variable, and is one instruction long
    // The registers of an evaluation too large for the machine's stack; one that finds them busy (nested
    // or concurrent) makes its own.
    std::unique_ptr<T[]> deep_frame;
    mutable std::atomic<bool> deep_frame_busy{false};
    // The table it reads, held, so that an evaluation that holds the program reads nothing that is gone.
    std::shared_ptr<VariableTable<T>> table;

    static constexpr std::size_t local_registers = 64;  // an evaluation keeps this many on the machine's stack

    Program() = default;
    Program(const Program& other, const std::shared_ptr<VariableTable<T>>& bound, const std::vector<T*>& order)
        : code(other.code), variables(other.variables), unary_callables(other.unary_callables),
          results(other.results), result(other.result), calls(other.calls) {  // a copy, reading `bound`
        bind(bound, order);
        finish();
    }

    std::size_t registers() const { return results + variables.size(); }

    // Reads every variable from its entry in `bound`, or marks it missing. `order` holds the table's
    // entries in the order in which the object lists their names.
    void bind(const std::shared_ptr<VariableTable<T>>& bound, const std::vector<T*>& order) noexcept {
        table = bound;
        binds_every_variable = true;
        takes_values = !calls && registers() <= local_registers && variables.size() == order.size();
        for (std::size_t i = 0; i < variables.size(); ++i) {
            const auto found = table->find(variables[i].name);
            variables[i].source = found == table->end() ? nullptr : &found->second;
            binds_every_variable = binds_every_variable && variables[i].source;
            takes_values = takes_values && variables[i].source == order[i];
        }
        one_instruction = takes_values && code.size() == 1 && !variables.empty();
    }

    // Completes a program whose code is all there: one too large for the machine's stack gets its frame and
    // its runs of like instructions (see evaluate_deep).
    void finish() {
        if (registers() <= local_registers) return;
        deep_frame = std::make_unique<T[]>(registers());
        for (std::size_t i = code.size(); i-- > 1;) {
            const bool like = code[i].opcode == code[i - 1].opcode;
            code[i - 1].repeats = like ? std::uint8_t(code[i].repeats == 255 ? 255 : code[i].repeats + 1) : 0;
        }
    }
};

}  // namespace exprkit::detail
