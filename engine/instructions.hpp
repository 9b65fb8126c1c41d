// The instruction set of a compiled program: an instruction, and one table of the opcodes the compiler can
// emit, each a kind of work with its operation and the sources of its operands, made from the language's rows.
// Encoding (opcode_of) and decoding (decode) live here alone; the compiler, the evaluation loop's cases and
// the disassembler read the rows, so a new operation brings its opcodes with it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "language.hpp"

namespace exprkit::detail {

// Where an operand is: in the machine register that holds the value the instruction before made (each
// also writes its value to its result register), in a register, or in the instruction itself.
enum class Source : std::uint8_t { Acc, Reg, Const };

// Apply applies an operation; Constant makes its constant; Load reads a variable from its table entry where
// the code meets it (where a caller's callable could tell when); Call calls one of the program's callables.
// Sum is a sum's step, `acc - constant * r[b]` with `constant` -1 or 1 (or -k or k, where it took a scaled
// term `k * y`): `acc + y` and `acc - y` as one opcode, so that a long sum's steps jump to one place. The
// same bits: `-1 * y` is `-y`, `1 * y` is `y` (a NaN too), `-k * y` is `-(k * y)`, and `x - -y` is `x + y`.
enum class Kind : std::uint8_t { Apply, Constant, Load, Call, Sum };

struct OpcodeRow {
    Kind kind;
    Operation operation;  // Apply's
    Source left, right;   // Apply's operands; a function's is `left`, and its `right` is Const
};

// Whether the compiler emits `operation` with these sources: constants alone are folded, no two operands
// are the one value just made, and `acc + r` and `acc - r` are Sum.
constexpr bool emitted(Operation operation, Source left, Source right) {
    if (!is_binary(operation)) return left != Source::Const && right == Source::Const;
    const bool sum = (operation == Operation::Add || operation == Operation::Subtract) && left == Source::Acc;
    return (left != right || left == Source::Reg) && !(sum && right == Source::Reg);
}

inline constexpr std::size_t operation_count = operator_rows.size() + function_rows.size();

// The opcodes in order: each operation with each pair of sources it is emitted with, then the other kinds.
inline constexpr auto opcode_table = [] {
    struct { std::array<OpcodeRow, operation_count * 9 + 4> rows{}; std::size_t size = 0; } table;
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

constexpr const OpcodeRow& decode(std::size_t opcode) { return opcode_table.rows[opcode]; }

constexpr std::size_t index_of(Operation operation, Source left, Source right) {
    const auto sources = static_cast<std::size_t>(left) * 3 + static_cast<std::size_t>(right);
    return static_cast<std::size_t>(operation) * 9 + sources;
}

// Each operation's opcode with each pair of sources, or 255 where it is never emitted.
inline constexpr auto opcode_index = [] {
    std::array<std::uint8_t, operation_count * 9> index{};
    for (std::uint8_t& opcode : index) opcode = 255;
    for (std::size_t opcode = 0; opcode < opcode_count; ++opcode) {
        const OpcodeRow& row = decode(opcode);
        if (row.kind == Kind::Apply) index[index_of(row.operation, row.left, row.right)] = std::uint8_t(opcode);
    }
    return index;
}();

// The opcode of `operation` with its operands from `left` and `right` (a function's from `left`).
constexpr std::uint8_t opcode_of(Operation operation, Source left, Source right = Source::Const) {
    return opcode_index[index_of(operation, left, right)];
}
constexpr std::uint8_t opcode_of(Kind kind) {
    return std::uint8_t(find_row(opcode_table.rows, [kind](const OpcodeRow& row) { return row.kind == kind; }));
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
    std::uint8_t repeats;  // how many instructions right after it have its opcode, up to 255 (Program::finish)
};

}  // namespace exprkit::detail
