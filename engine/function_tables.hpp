// The one-argument functions of a text's function names: the built-in table, from the language's rows, and an
// Expression's own (FunctionTable), which knows which names still stand for a built-in a program applies itself.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>

#include "language.hpp"

namespace exprkit {

template <typename T>
using UnaryFunction = std::function<T(T)>;
template <typename T>
using BinaryFunction = std::function<T(T, T)>;
template <typename T>
using UnaryFunctionTable = std::unordered_map<std::string, UnaryFunction<T>>;
// Variable values by name: the table an Expression keeps, and the values given to an evaluation.
template <typename T>
using VariableTable = std::unordered_map<std::string, T>;

// The built-in function table, filled once, in the rows' order, and shared.
template <typename T>
const UnaryFunctionTable<T>& builtin_unary_funcs() {
    static const UnaryFunctionTable<T> table = [] {
        UnaryFunctionTable<T> filled;
        for (const auto& row : detail::function_rows) {
            filled.emplace(std::string(row.name), detail::Builtin<T>{row.operation});
        }
        return filled;
    }();
    return table;
}

// The one-argument functions of one Expression. It reads the shared built-in table until add() or
// handed_out() makes it a copy of its own, which it keeps from then on: a reference that handed_out()
// gave sees every later add(). handed_out() may run on several threads at once, as const members do.
template <typename T>
class FunctionTable {
public:
    FunctionTable() = default;
    FunctionTable(const FunctionTable& other)
        : own(other.own.load() ? new UnaryFunctionTable<T>(*other.own.load()) : nullptr),
          replaced(other.replaced) {}
    FunctionTable(FunctionTable&& other) noexcept { swap(other); }
    FunctionTable& operator=(FunctionTable other) noexcept {
        swap(other);
        return *this;
    }
    ~FunctionTable() { delete own.load(); }

    void swap(FunctionTable& other) noexcept {  // needs both objects to itself, as non-const members do
        own.store(other.own.exchange(own.load()));
        std::swap(replaced, other.replaced);
    }

    // The table when it is this object's own, or null while the built-in one serves.
    const UnaryFunctionTable<T>* own_entries() const { return own.load(std::memory_order_acquire); }
    // The table, as this object's own from now on.
    const UnaryFunctionTable<T>& handed_out() const { return writable(); }

    // Inserts or replaces; a replaced callable goes when the table is whole again.
    void add(const std::string& name, UnaryFunction<T> fn) {
        auto entry = writable().try_emplace(name).first;
        std::swap(entry->second, fn);
        const std::size_t row = function_row(name);
        if (row < detail::function_rows.size()) replaced |= std::uint32_t{1} << row;
    }

    const UnaryFunction<T>* find(const std::string& name) const {
        const auto& table = own_entries() ? *own_entries() : builtin_unary_funcs<T>();
        const auto found = table.find(name);
        return found == table.end() ? nullptr : &found->second;
    }

    // The built-in operation that `name` still stands for here, or null.
    const detail::Operation* builtin(const std::string& name) const {
        const std::size_t row = function_row(name);
        const bool still_builtin = row < detail::function_rows.size() && (replaced >> row & 1) == 0;
        return still_builtin ? &detail::function_rows[row].operation : nullptr;
    }

private:
    static_assert(detail::function_rows.size() <= 32, "a bit for each built-in function");
    mutable std::atomic<UnaryFunctionTable<T>*> own{nullptr};  // null: the built-in table serves
    std::uint32_t replaced = 0;                                // bit i: function row i was replaced

    static std::size_t function_row(const std::string& name) {  // its index, or the count of rows
        return detail::find_row(detail::function_rows, [&name](const detail::FunctionRow& row) {
            return row.name.size() == name.size() && row.name[0] == name[0] && row.name == name;  // rarely a call
        });
    }

    UnaryFunctionTable<T>& writable() const {
        UnaryFunctionTable<T>* table = own.load(std::memory_order_acquire);
        if (table != nullptr) return *table;
        auto copy = std::make_unique<UnaryFunctionTable<T>>(builtin_unary_funcs<T>());
        if (own.compare_exchange_strong(table, copy.get(), std::memory_order_acq_rel)) return *copy.release();
        return *table;  // another thread made it first
    }
};

}  // namespace exprkit
