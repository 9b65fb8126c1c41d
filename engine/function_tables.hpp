// The operator table and the one-argument function table that give meaning to names in a text. Every
// Expression owns one of each, filled from the rows of the language in their order; the tree builder
// copies callables out of them. The built-in callables carry their operation, so that a compiled
// program can apply a built-in without calling through the callable.
#pragma once

#include <functional>
#include <string>
#include <unordered_map>

#include "language.hpp"

namespace exprkit {

template <typename T>
using UnaryFunction = std::function<T(T)>;
template <typename T>
using BinaryFunction = std::function<T(T, T)>;
template <typename T>
using UnaryFunctionTable = std::unordered_map<std::string, UnaryFunction<T>>;
template <typename T>
using BinaryOperatorTable = std::unordered_map<std::string, BinaryFunction<T>>;

namespace detail {

template <typename T>
struct Builtin {
    Operation operation;
    T operator()(T x) const { return apply(operation, x); }
    T operator()(T x, T y) const { return apply(operation, x, y); }
};

// The built-in operation that a callable stands for, or null for anything a caller supplied.
template <typename Function>
const Operation* builtin_operation(const Function& fn) {
    using T = typename Function::result_type;
    const auto* builtin = fn.template target<Builtin<T>>();
    return builtin ? &builtin->operation : nullptr;
}

}  // namespace detail

template <typename T>
void fill_binary_ops(BinaryOperatorTable<T>& table) {
    table.reserve(table.size() + detail::operator_rows.size());
    for (const auto& row : detail::operator_rows) {
        table.emplace(std::string(1, row.symbol), detail::Builtin<T>{row.operation});
    }
}

template <typename T>
void fill_unary_funcs(UnaryFunctionTable<T>& table) {
    table.reserve(table.size() + detail::function_rows.size());
    for (const auto& row : detail::function_rows) table.emplace(std::string(row.name), detail::Builtin<T>{row.operation});
}

namespace detail {

template <typename Table, void (*fill)(Table&)>
const Table& filled_once() {
    static const Table table = [] {
        Table filled;
        fill(filled);
        return filled;
    }();
    return table;
}

}  // namespace detail

// The built-in tables, filled once. An Expression starts with copies of them, which costs about half as
// much as filling its tables anew.
template <typename T>
const BinaryOperatorTable<T>& builtin_binary_ops() {
    return detail::filled_once<BinaryOperatorTable<T>, fill_binary_ops<T>>();
}

template <typename T>
const UnaryFunctionTable<T>& builtin_unary_funcs() {
    return detail::filled_once<UnaryFunctionTable<T>, fill_unary_funcs<T>>();
}

}  // namespace exprkit
