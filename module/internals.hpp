// Everything the module reads or calls of CPython's, numpy's and pybind11's objects beyond their public API,
// each with a twin on the public API that -DEXPRKIT_PUBLIC_API=ON selects, with the same results, errors and
// __float__ calls. The invariant of each: docs/architecture.md, "What the module reads in place".
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

namespace py = pybind11;

namespace exprkit::binding::internals {

using Read = double (*)(const char* value);  // a numpy scalar's value as its __float__ gives it (values.hpp)

#ifndef EXPRKIT_PUBLIC_API
static_assert(PY_VERSION_HEX >> 16 == 0x030B, "the reads in place are CPython 3.11's");
inline constexpr bool in_place = true;

// A dict's keys (PyDictKeysObject, Include/internal/pycore_dict.h): then a hash index of 2^log2_index_bytes
// bytes, and the entries in order, each with its hash unless the kind is 1 (str keys only).
struct DictKeys { Py_ssize_t refcnt; std::uint8_t log2_size, log2_index_bytes, kind; std::uint32_t version;
                  Py_ssize_t usable, entries; };

// Hands `take(key, value)` each entry of `dict` in order while it returns true, as PyDict_Next does, read
// where a combined table keeps them (a removed entry's value is null); a split table (attributes) by
// PyDict_Next. No Python code may run meanwhile.
template <typename Take>
[[gnu::always_inline]] inline bool for_each_entry(PyObject* dict, Take&& take) {
    const auto* object = reinterpret_cast<PyDictObject*>(dict);
    PyObject *key = nullptr, *value = nullptr;
    for (Py_ssize_t at = 0; object->ma_values != nullptr && PyDict_Next(dict, &at, &key, &value);)
        if (!take(key, value)) return false;
    const auto* keys = reinterpret_cast<const DictKeys*>(object->ma_keys);
    const std::ptrdiff_t width = keys->kind == 0 ? 3 : 2;  // hash, key, value or key, value
    const char* const index = reinterpret_cast<const char*>(keys + 1);
    PyObject* const* entry =
        reinterpret_cast<PyObject* const*>(index + (std::size_t{1} << keys->log2_index_bytes)) + (width - 2);
    PyObject* const* const end = object->ma_values == nullptr ? entry + width * keys->entries : entry;
    for (; entry != end; entry += width) if (entry[1] != nullptr && !take(entry[0], entry[1])) return false;
    return true;
}

// An exact, compact ASCII str whose hash is set (every str key of a dict): its hash and characters.
[[gnu::always_inline]] inline bool str_key(PyObject* key, Py_hash_t& hash, std::string_view& text) {
    const auto* ascii = reinterpret_cast<const PyASCIIObject*>(key);
    if (!PyUnicode_CheckExact(key) || !PyUnicode_IS_COMPACT_ASCII(key) || ascii->hash == -1) return false;
    hash = ascii->hash;
    text = {reinterpret_cast<const char*>(ascii + 1), static_cast<std::size_t>(ascii->length)};
    return true;
}

// An int of one 30-bit digit at most, as PyLong_AsDouble reads it; false for a longer one.
[[gnu::always_inline]] inline bool small_int(PyObject* value, double& number) {
    const Py_ssize_t digits = Py_SIZE(value);
    if (digits < -1 || digits > 1) return false;
    return number = static_cast<double>(digits * reinterpret_cast<PyLongObject*>(value)->ob_digit[0]), true;
}

// numpy keeps a scalar's value right after the object header (arrayscalars.h): `read` converts it.
[[gnu::always_inline]] inline bool numpy_scalar(PyObject* value, double& number, Read read) {
    return number = read(reinterpret_cast<const char*>(value) + sizeof(PyObject)), true;
}

#else
inline constexpr bool in_place = false;

template <typename Take>
bool for_each_entry(PyObject* dict, Take&& take) {
    PyObject *key = nullptr, *value = nullptr;
    for (Py_ssize_t at = 0; PyDict_Next(dict, &at, &key, &value);) if (!take(key, value)) return false;
    return true;
}

inline bool str_key(PyObject* key, Py_hash_t& hash, std::string_view& text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_CheckExact(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
    hash = data != nullptr ? PyObject_Hash(key) : -1;  // a str's hash runs no Python code
    if (hash == -1) return PyErr_Clear(), false;
    return text = std::string_view(data, static_cast<std::size_t>(size)), true;
}

inline bool small_int(PyObject*, double&) { return false; }  // the caller's PyLong_AsDouble reads it

// A numpy scalar by its own __float__ (C code that runs no Python code and keeps no reference).
inline bool numpy_scalar(PyObject* value, double& number, Read) {
    PyObject* const converted = PyNumber_Float(value);
    if (converted == nullptr) return PyErr_Clear(), false;
    number = PyFloat_AsDouble(converted);
    Py_DECREF(converted);
    return true;
}
#endif

// pybind11 2.11's instance layout, which it offers no public accessor for (its caster allocates a value for
// an instance without one). The engine object of an instance, or null: before __init__ has run, and while
// pybind11 lays out a new instance, which the collector sees (zeroed: neither layout reads as set).
template <typename Value>
Value* value_of(PyObject* self) {
    auto* instance = reinterpret_cast<py::detail::instance*>(self);
    if (instance->simple_layout && !instance->simple_holder_constructed) return nullptr;
    if (instance->simple_layout) return static_cast<Value*>(instance->simple_value_holder[0]);
    if (instance->nonsimple.values_and_holders == nullptr) return nullptr;
    const auto held = instance->get_value_and_holder(py::detail::get_type_info(typeid(Value)), false);
    return held && held.holder_constructed() ? held.value_ptr<Value>() : nullptr;
}

// The class's tp_new: pybind11's, but a failed allocation raises MemoryError instead of being laid out.
inline PyObject* new_instance(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* const self = type->tp_alloc(type, 0);
    if (self != nullptr) reinterpret_cast<py::detail::instance*>(self)->allocate_layout();  // no allocation
    return self;
}

// Makes the engine object of an instance without one and sets the instance up (pybind11's init_instance,
// which registers it), inside the caller's try block: pybind11's dispatcher sets an instance up after its
// own try, where an allocation that fails would end the process. A failure leaves the instance as it was.
template <typename Value, typename... Args>
void construct(py::detail::value_and_holder& held, Args&&... args) {
    held.value_ptr() = new Value(std::forward<Args>(args)...);
    try {
        held.type->init_instance(held.inst, nullptr);
    } catch (...) {
        delete static_cast<Value*>(std::exchange(held.value_ptr(), nullptr));
        throw;
    }
}

}  // namespace exprkit::binding::internals
