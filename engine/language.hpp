// The language's operators and built-in functions, one row each: the tokenizer's operator bytes, the precedence
// table, the function table and a program's operations all derive from these rows. apply() does the arithmetic.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace exprkit::detail {

enum class Operation : std::uint8_t {
    Add, Subtract, Multiply, Divide, Power,
    Sqrt, Exp, Sin, Cos, Tan, Csec, Sec, Cot, Asin, Acos, Atan, Ln, Log, Abs, Negate,
};

struct OperatorRow {
    char symbol;
    std::int32_t precedence;  // higher binds tighter
    bool right_assoc;
    Operation operation;
};

struct FunctionRow {
    std::string_view name;
    Operation operation;
};

// The binary operators, in the order of their opcodes. "*" binds tighter than "/", so 8/2*4 is 8/(2*4);
// "^" alone groups from the right.
inline constexpr std::array operator_rows{
    OperatorRow{'+', 2, false, Operation::Add},
    OperatorRow{'-', 2, false, Operation::Subtract},
    OperatorRow{'*', 4, false, Operation::Multiply},
    OperatorRow{'/', 3, false, Operation::Divide},
    OperatorRow{'^', 5, true, Operation::Power},
};

// The one-argument functions, in the order the function table is filled. Unary minus is the function
// "-", and binds tighter than every operator: -2^2 is (-2)^2.
inline constexpr std::array function_rows{
    FunctionRow{"sqrt", Operation::Sqrt}, FunctionRow{"exp", Operation::Exp}, FunctionRow{"sin", Operation::Sin},
    FunctionRow{"cos", Operation::Cos}, FunctionRow{"tan", Operation::Tan}, FunctionRow{"csec", Operation::Csec},
    FunctionRow{"sec", Operation::Sec}, FunctionRow{"cot", Operation::Cot}, FunctionRow{"asin", Operation::Asin},
    FunctionRow{"acos", Operation::Acos}, FunctionRow{"atan", Operation::Atan}, FunctionRow{"ln", Operation::Ln},
    FunctionRow{"log", Operation::Log}, FunctionRow{"abs", Operation::Abs}, FunctionRow{"-", Operation::Negate},
};

inline constexpr std::int32_t unary_minus_precedence = 6;

// The index of the first of `rows` that `matches`, or rows.size(): UBSan rejects constexpr pointer comparisons.
template <typename Rows, typename Matches>
constexpr std::size_t find_row(const Rows& rows, Matches matches) {
    std::size_t index = 0;
    while (index < rows.size() && !matches(rows[index])) ++index;
    return index;
}

constexpr std::size_t operator_index(unsigned char c) {
    return find_row(operator_rows, [c](const OperatorRow& row) { return static_cast<unsigned char>(row.symbol) == c; });
}
constexpr bool is_operator_symbol(unsigned char c) { return operator_index(c) < operator_rows.size(); }
constexpr const OperatorRow* operator_row(unsigned char c) {
    return is_operator_symbol(c) ? &operator_rows[operator_index(c)] : nullptr;
}
inline bool is_right_assoc_symbol(unsigned char c) { return operator_row(c) && operator_row(c)->right_assoc; }

// Whether `operation` is an operator's (it takes two operands) rather than a function's.
constexpr bool is_binary(Operation operation) {
    return find_row(operator_rows, [operation](auto row) { return row.operation == operation; }) < operator_rows.size();
}

// How `operation` is written: its operator's symbol or its function's name.
inline std::string_view name_of(Operation operation) {
    for (const OperatorRow& row : operator_rows) if (row.operation == operation) return {&row.symbol, 1};
    for (const FunctionRow& row : function_rows) if (row.operation == operation) return row.name;
    return {};
}

// The precedence of the operators that bind most loosely, where a long text is cut into pieces.
constexpr std::int32_t loosest_precedence() {
    std::int32_t loosest = operator_rows[0].precedence;
    for (const OperatorRow& row : operator_rows) loosest = row.precedence < loosest ? row.precedence : loosest;
    return loosest;
}
static_assert(find_row(operator_rows, [](auto row) {
    return (row.precedence == loosest_precedence() && row.right_assoc) || row.precedence >= unary_minus_precedence;
}) == operator_rows.size(), "the loosest operators group from the left; unary minus binds tightest");

// Whether every operation stands in exactly one row.
constexpr bool each_operation_has_one_row() {
    std::array<int, operator_rows.size() + function_rows.size()> rows{};
    for (const OperatorRow& row : operator_rows) ++rows[static_cast<std::size_t>(row.operation)];
    for (const FunctionRow& row : function_rows) ++rows[static_cast<std::size_t>(row.operation)];
    return find_row(rows, [](int count) { return count != 1; }) == rows.size();
}
static_assert(each_operation_has_one_row(), "every operation has exactly one row");

// Whether x * x is certainly what the C library's pow(x, 2) gives, so that x^2 may skip the call. glibc's pow
// is within 0.54 ulp of the exact square and x * x is the double nearest it: where the square lies within
// 7/16 ulp of x * x, pow can give no other double; the bits x * x drops, from the exact square of x's
// significand, tell. Squares that may be subnormal or overflow, NaN, infinities and other types take pow.
inline bool square_is_pow(double x) {
    std::uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    const std::uint64_t m = (bits & 0xFFFFFFFFFFFFFull) | 0x10000000000000ull;  // m * m: 105 bits, 106 above 2^52.5
    // The 53 or 52 bits that x * x drops, at the top: half an ulp is 2^63 there, and the square is within
    // 7/16 ulp of x * x outside 2^63 ± 2^60.
    const std::uint64_t dropped = m * m << (m > 6369051672525772ull ? 11 : 12);
    return x * x >= 0x1p-960 && x * x <= 0x1p1000 && dropped - 0x7000000000000000ull >= 0x2000000000000000ull;
}
template <typename T>
bool square_is_pow(T) { return false; }

// `operation` on x (and y, for an operator) by IEEE arithmetic and the C library, throwing nothing. No default:
// an operation without its case does not compile. Always inlined: the evaluation loop's cases are these.
#pragma GCC diagnostic push
#pragma GCC diagnostic error "-Wswitch"
template <typename T>
[[gnu::always_inline]] inline T apply(Operation operation, T x, T y = T()) {
    switch (operation) {
        case Operation::Add: return x + y;
        case Operation::Subtract: return x - y;
        case Operation::Multiply: return x * y;
        case Operation::Divide: return x / y;
        case Operation::Power: return y == T(2) && square_is_pow(x) ? x * x : std::pow(x, y);
        case Operation::Sqrt: return std::sqrt(x);
        case Operation::Exp: return std::exp(x);
        case Operation::Sin: return std::sin(x);
        case Operation::Cos: return std::cos(x);
        case Operation::Tan: return std::tan(x);
        case Operation::Csec: return T(1) / std::sin(x);
        case Operation::Sec: return T(1) / std::cos(x);
        case Operation::Cot: return T(1) / std::tan(x);  // from the tangent, not as cos/sin
        case Operation::Asin: return std::asin(x);
        case Operation::Acos: return std::acos(x);
        case Operation::Atan: return std::atan(x);
        case Operation::Ln: return std::log(x);
        case Operation::Log: return std::log10(x);
        case Operation::Abs: return std::fabs(x);  // clears the sign bit: -0 gives +0
        case Operation::Negate: return -x;         // flips the sign bit: 0 gives -0
    }
    return x;  // not reached: every operation has its case
}
#pragma GCC diagnostic pop

// The callable of a built-in operation, as the function table and the nodes hold it.
template <typename T>
struct Builtin {
    Operation operation;
    T operator()(T x) const { return apply(operation, x); }
    T operator()(T x, T y) const { return apply(operation, x, y); }
};

}  // namespace exprkit::detail
