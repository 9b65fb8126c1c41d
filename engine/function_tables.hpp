// The operator table and the one-argument function table that give meaning to names in a text.
// Every Expression owns one of each, filled here with the built-in rows in a fixed order; the tree
// builder copies callables out of them. No built-in tests its operand or throws: IEEE results throughout.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>

#include "name_map.hpp"

namespace exprkit {

template <typename T>
using UnaryFunction = std::function<T(T)>;
template <typename T>
using BinaryFunction = std::function<T(T, T)>;
template <typename T>
using UnaryFunctionTable = NameMap<UnaryFunction<T>>;
template <typename T>
using BinaryOperatorTable = NameMap<BinaryFunction<T>>;

namespace detail {

enum class BinaryOp : std::uint8_t { Add, Subtract, Multiply, Divide, Power, Custom };
enum class UnaryOp : std::uint8_t {
    Sqrt, Exp, Sin, Cos, Tan, Csec, Sec, Cot, Asin, Acos, Atan, Ln, Log, Abs, Negate, Custom
};

template <typename T>
T apply(BinaryOp op, T left, T right) {
    switch (op) {
        case BinaryOp::Add: return left + right;
        case BinaryOp::Subtract: return left - right;
        case BinaryOp::Multiply: return left * right;
        case BinaryOp::Divide: return left / right;
        case BinaryOp::Power: return std::pow(left, right);
        case BinaryOp::Custom: break;
    }
    return left;  // not reached: Custom is never applied
}

template <typename T>
T apply(UnaryOp op, T x) {
    switch (op) {
        case UnaryOp::Sqrt: return std::sqrt(x);
        case UnaryOp::Exp: return std::exp(x);
        case UnaryOp::Sin: return std::sin(x);
        case UnaryOp::Cos: return std::cos(x);
        case UnaryOp::Tan: return std::tan(x);
        case UnaryOp::Csec: return T(1) / std::sin(x);
        case UnaryOp::Sec: return T(1) / std::cos(x);
        case UnaryOp::Cot: return T(1) / std::tan(x);
        case UnaryOp::Asin: return std::asin(x);
        case UnaryOp::Acos: return std::acos(x);
        case UnaryOp::Atan: return std::atan(x);
        case UnaryOp::Ln: return std::log(x);
        case UnaryOp::Log: return std::log10(x);
        case UnaryOp::Abs: return std::fabs(x);  // clears the sign bit: -0 gives +0
        case UnaryOp::Negate: return -x;         // flips the sign bit: 0 gives -0
        case UnaryOp::Custom: break;
    }
    return x;  // not reached: Custom is never applied
}

// The built-in callables are function objects carrying their operation, so that a tree node can
// recognise a built-in and apply it without the indirect call.
template <typename T>
struct BuiltinBinary {
    BinaryOp op;
    T operator()(T left, T right) const { return apply(op, left, right); }
};

template <typename T>
struct BuiltinUnary {
    UnaryOp op;
    T operator()(T x) const { return apply(op, x); }
};

struct BinaryRow {
    const char* name;
    BinaryOp op;
};
struct UnaryRow {
    const char* name;
    UnaryOp op;
};

// Fill order of the tables.
inline constexpr std::array<BinaryRow, 5> binary_rows{{
    {"+", BinaryOp::Add}, {"-", BinaryOp::Subtract}, {"*", BinaryOp::Multiply},
    {"/", BinaryOp::Divide}, {"^", BinaryOp::Power},
}};

inline constexpr std::array<UnaryRow, 15> unary_rows{{
    {"sqrt", UnaryOp::Sqrt}, {"exp", UnaryOp::Exp}, {"sin", UnaryOp::Sin}, {"cos", UnaryOp::Cos},
    {"tan", UnaryOp::Tan}, {"csec", UnaryOp::Csec}, {"sec", UnaryOp::Sec}, {"cot", UnaryOp::Cot},
    {"asin", UnaryOp::Asin}, {"acos", UnaryOp::Acos}, {"atan", UnaryOp::Atan}, {"ln", UnaryOp::Ln},
    {"log", UnaryOp::Log}, {"abs", UnaryOp::Abs}, {"-", UnaryOp::Negate},
}};

template <typename Rows>
constexpr bool rows_follow_enum_order(const Rows& rows) {
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (static_cast<std::size_t>(rows[i].op) != i) return false;
    }
    return true;
}
static_assert(rows_follow_enum_order(binary_rows), "every operator row carries its own operation");
static_assert(rows_follow_enum_order(unary_rows), "every function row carries its own operation");

// The built-in operation a callable stands for, or Custom for anything a caller supplied.
template <typename T>
BinaryOp builtin_op(const BinaryFunction<T>& fn) {
    const auto* builtin = fn.template target<BuiltinBinary<T>>();
    return builtin ? builtin->op : BinaryOp::Custom;
}

template <typename T>
UnaryOp builtin_op(const UnaryFunction<T>& fn) {
    const auto* builtin = fn.template target<BuiltinUnary<T>>();
    return builtin ? builtin->op : UnaryOp::Custom;
}

}  // namespace detail

template <typename T>
void fill_binary_ops(BinaryOperatorTable<T>& table) {
    table.reserve(table.size() + detail::binary_rows.size());
    for (const auto& row : detail::binary_rows) table.emplace(row.name, detail::BuiltinBinary<T>{row.op});
}

template <typename T>
void fill_unary_funcs(UnaryFunctionTable<T>& table) {
    table.reserve(table.size() + detail::unary_rows.size());
    for (const auto& row : detail::unary_rows) table.emplace(row.name, detail::BuiltinUnary<T>{row.op});
}

}  // namespace exprkit
