// A program's code as text, an instruction a line, for tests and debugging: "r1 = x ^ 2", "r0 = 3 * acc"
// (acc: the value the instruction before made), "r1 = sin y", "r0 = 2", "r0 = load x", "r1 = call r1",
// "r0 = acc - 3 * y" (a sum's step); a variable's register by its name. The last line says where the value is.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

#include "instructions.hpp"
#include "language.hpp"
#include "program.hpp"

namespace exprkit::detail {

template <typename T>
std::string disassemble(const Program<T>& program) {
    const auto number = [](T value) {
        char text[32];
        std::snprintf(text, sizeof text, "%g", static_cast<double>(value));
        return std::string(text);
    };
    const auto reg = [&program](std::uint32_t index) {
        const std::size_t variables = program.variables.size();
        return index < variables ? program.variables[index].name : "r" + std::to_string(index - variables);
    };
    std::string out;
    for (const Instruction<T>& in : program.code) {
        const OpcodeRow& row = decode(in.opcode);
        const auto from = [&](Source source, std::uint32_t index) {
            return source == Source::Acc ? "acc" : source == Source::Reg ? reg(index) : number(in.constant);
        };
        const std::string name(name_of(row.operation)), left = from(row.left, in.a);
        const T k = std::fabs(in.constant);  // a sum's step: 1, or the constant of the scaled term it took
        out += reg(in.result) + " = ";
        switch (row.kind) {
            case Kind::Apply:
                out += is_binary(row.operation) ? left + " " + name + " " + from(row.right, in.b) : name + " " + left;
                break;
            case Kind::Constant: out += number(in.constant); break;
            case Kind::Load: out += "load " + program.variables[in.a].name; break;
            case Kind::Call: out += "call " + reg(in.a); break;
            case Kind::Sum:
                out += (in.constant < 0 ? "acc + " : "acc - ") + (k == 1 ? "" : number(k) + " * ") + reg(in.b);
        }
        out += '\n';
    }
    return out + "value in " + reg(program.result) + "\n";
}

}  // namespace exprkit::detail
