// The instruction set of a compiled program: what an instruction holds, and one table of the opcodes that
// the compiler can emit, each a kind of work with the operation it applies and where it finds its operands.
// Encoding (opcode_of) and decoding (decode) live here alone: the compiler, the evaluation loop, whose cases
// are made from the table, and the disassembler read the rows. A new operation of language.hpp brings its
// opcodes with it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "language.hpp"

namespace exprkit::detail {

// Where an instruction finds an operand: in the machine register that holds the value the instruction
// before it made (each also writes its value to its result register), in a register, or in itself.
enum class Source : std::uint8_t { Acc, Reg, Const };

// What an opcode does: applies a built-in operation; makes its constant; loads a variable from its table
// entry (where a caller's callable could tell when it is read); calls one of the program's callables on a
// register; or takes a sum's step, which subtracts `constant * r[b]` from the machine register, `constant`
// being -1 or 1, or -k or k where the step took a scaled term `k * y`: `acc + y` and `acc - y` as one opcode,
// so that the steps of a long sum jump to one place whatever their signs. The same bits: `-1 * y` is `-y`
// and `1 * y` is `y` exactly (a product passes a NaN on as it is), `-k * y` is `-(k * y)`, and `x - -y` is `x + y`.
enum class Kind : std::uint8_t { Apply, Constant, Load, Call, Sum };

struct OpcodeRow {
    Kind kind;
    Operation operation;  // the one that Apply applies
    Source left, right;   // where Apply finds its operands; a function's is `left`, and its `right` is Const
};

// Whether the compiler can emit `operation` with these sources: an operation on constants alone is done
// when compiling, no two operands are the one value just made, and `acc + r` and `acc - r` become Sum.
constexpr bool emitted(Operation operation, Source left, Source right) {
    if (!is_binary(operation)) return left != Source::Const && right == Source::Const;
    const bool sum = (operation == Operation::Add || operation == Operation::Subtract) && left == Source::Acc;
    return (left != right || left == Source::Reg) && !(sum && right == Source::Reg);
}

inline constexpr std::size_t operation_count = operator_rows.size() + function_rows.size();

struct OpcodeTable {
    std::array<OpcodeRow, operation_count * 9 + 4> rows{};
    std::size_t size = 0;
};

// The opcodes, in order: each operation with each pair of sources it is emitted with, then the other kinds.
inline constexpr OpcodeTable opcode_table = [] {
    OpcodeTable table;
    for (std::size_t operation = 0; operation < operation_count; ++operation) {
        for (std::size_t sources = 0; sources < 9; ++sources) {
            const OpcodeRow row{Kind::Apply, Operation(operation), Source(sources / 3), Source(sources % 3)};
            if (emitted(row.operation, row.left, row.right)) table.rows[table.size++] = row;
        }
    }
    for (const Kind kind : {Kind::Constant, Kind::Load, Kind::Call, Kind::Sum}) {
        table.rows[table.size++] = OpcodeRow{kind, Operation::Add, Source::Acc, Source::Reg};
    }
    return table;
}();
inline constexpr std::size_t opcode_count = opcode_table.size;
static_assert(opcode_count < 255, "an opcode is a byte, and 255 is none");

constexpr const OpcodeRow& decode(std::uint8_t opcode) { return opcode_table.rows[opcode]; }

// Each operation's opcode for each pair of sources, or 255 where the compiler never emits it.
inline constexpr auto opcode_index = [] {
    std::array<std::uint8_t, operation_count * 9> index{};
    for (std::uint8_t& opcode : index) opcode = 255;
    for (std::size_t opcode = 0; opcode < opcode_count; ++opcode) {
        const OpcodeRow& row = opcode_table.rows[opcode];
        const std::size_t at = static_cast<std::size_t>(row.operation) * 9 + static_cast<std::size_t>(row.left) * 3;
        if (row.kind == Kind::Apply) index[at + static_cast<std::size_t>(row.right)] = static_cast<std::uint8_t>(opcode);
    }
    return index;
}();

// The opcode of `operation` with its operands from `left` and `right` (a function's from `left`).
constexpr std::uint8_t opcode_of(Operation operation, Source left, Source right = Source::Const) {
    return opcode_index[static_cast<std::size_t>(operation) * 9 + static_cast<std::size_t>(left) * 3 + static_cast<std::size_t>(right)];
}
constexpr std::uint8_t opcode_of(Kind kind) {
    return static_cast<std::uint8_t>(find_row(opcode_table.rows, [kind](const OpcodeRow& row) { return row.kind == kind; }));
}

template <typename T>
struct Instruction {
    static_assert(std::is_trivially_copyable_v<T>, "instructions hold constants by copy");
    union {
        T constant;
        std::size_t callable;  // which of the program's callables
    };
    std::uint32_t a, b;    // operand registers (a constant form's register operand, and Load's variable, is `a`)
    std::uint32_t result;  // the register the instruction writes
    std::uint8_t opcode;   // a row of opcode_table
    std::uint8_t repeats;  // how many instructions right after it have its opcode, up to 255 (see Program::finish)
};

}  // namespace exprkit::detail
