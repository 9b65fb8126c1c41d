// The engine object behind an instance of func, with where eval's direct path puts its variables' values;
// for the instance argument of the nine methods, the direct paths and the garbage collector's walk.
#pragma once

#include "internals.hpp"

#include <exprkit/expression.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace exprkit::binding {

// The hash that a str of these ASCII bytes has, as a bytes object of them has it; false when out of memory.
inline bool text_hash(std::string_view text, Py_hash_t& hash) {
    PyObject* const bytes = PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    hash = bytes != nullptr ? PyObject_Hash(bytes) : -1;
    Py_XDECREF(bytes);
    return hash != -1 || (PyErr_Clear(), false);
}

// The engine, with where eval's direct path puts each variable's value, found by its name's hash, then text.
// Made by the first eval that needs them; dropped by init before and after (its finalisers may evaluate).
class Engine : public Expression<double> {
public:
    using Expression<double>::Expression;
    void init(const std::string& text) {
        placed.reset();
        const struct Drop { std::unique_ptr<Placed>& placed; ~Drop() { placed.reset(); } } drop{placed};
        Expression<double>::init(text);
    }
    struct Slot { Py_hash_t hash = 0; std::ptrdiff_t position = -1; };
    struct Positions {  // plain values, which the stores of a dict's walk cannot change
        const Slot* slots;  // a power of two of them, `mask` less one
        std::size_t mask;
        const std::string* names;
        std::uint64_t hashes;  // bit h set for a name whose hash is h modulo 64: most keys miss at once
        [[gnu::always_inline]] std::ptrdiff_t find(Py_hash_t hash, std::string_view text) const {  // -1: none
            if (__builtin_expect((hashes >> (static_cast<std::size_t>(hash) & 63) & 1) == 0, 1)) return -1;
            for (std::size_t at = static_cast<std::size_t>(hash) & mask; slots[at].position >= 0;
                 at = (at + 1) & mask) {
                const std::string& name = names[slots[at].position];
                if (slots[at].hash == hash && name == text) return slots[at].position;
            }
            return -1;
        }
    };
    Positions positions() {
        const std::vector<std::string>& names = variables();
        if (!placed) {
            auto made = std::make_unique<Placed>(Placed{{}, 0, std::vector<double>(names.size())});
            std::size_t size = 2;
            while (size < 4 * names.size()) size *= 2;  // at most a quarter full
            made->slots.resize(size);
            for (std::size_t i = 0; i < names.size(); ++i) {
                Py_hash_t hash = 0;
                if (!text_hash(names[i], hash)) throw std::bad_alloc();
                made->hashes |= std::uint64_t{1} << (static_cast<std::size_t>(hash) & 63);
                auto at = static_cast<std::size_t>(hash) & (made->slots.size() - 1);
                while (made->slots[at].position >= 0) at = (at + 1) & (made->slots.size() - 1);
                made->slots[at] = Slot{hash, static_cast<std::ptrdiff_t>(i)};
            }
            placed = std::move(made);
        }
        return Positions{placed->slots.data(), placed->slots.size() - 1, names.data(), placed->hashes};
    }
    double* values() { return placed->values.data(); }  // a value for each variable, once positions() has run

private:
    struct Placed { std::vector<Slot> slots; std::uint64_t hashes; std::vector<double> values; };
    std::unique_ptr<Placed> placed;  // a pointer, so that a func without them stays small
};

// The engine object of an instance of func or of a Python subclass; null while there is none.
inline Engine* engine_of(PyObject* self) { return internals::value_of<Engine>(self); }

}  // namespace exprkit::binding

namespace pybind11::detail {

// The instance argument of every method: None (which pybind11 lets through as a null instance) and an
// instance without an engine object (func.__new__ alone) do not convert: the call raises the usual TypeError.
template <>
class type_caster<exprkit::binding::Engine> : public type_caster_base<exprkit::binding::Engine> {
public:
    bool load(handle source, bool convert) {
        using exprkit::binding::Engine;
        const bool ours = PyObject_TypeCheck(source.ptr(), typeinfo->type);
        const bool empty = ours && exprkit::binding::engine_of(source.ptr()) == nullptr;
        return !source.is_none() && !empty && type_caster_base<Engine>::load(source, convert);
    }
};

}  // namespace pybind11::detail
