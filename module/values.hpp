// The values dict of eval, converted whole or not at all, as pybind11's own conversions take keys and values,
// by one set of rules for the dispatcher (through the caster below) and eval's direct path (direct_eval.hpp).
#pragma once

#include <pybind11/stl.h>

#include "callables.hpp"

#include <string>
#include <string_view>

namespace exprkit::binding {

// A float (a subclass too, by its value), an int or a bool, read without running Python code, and taken in
// either pass of the overload resolution: the converting pass would take it alike.
inline bool plain_number(PyObject* value, double& number) {
    if (PyLong_CheckExact(value) || PyBool_Check(value)) {
        number = PyLong_AsDouble(value);
        if (number != -1.0 || !PyErr_Occurred()) return true;
        return PyErr_Clear(), false;  // too large for a double: refused, as pybind11's conversion refuses it
    }
    if (!PyFloat_Check(value)) return false;
    number = PyFloat_AS_DOUBLE(value);
    return true;
}

// Any other value, by pybind11's float conversion, which may run the value's __float__ or __index__. The
// value is held meanwhile, since that code may drop every other reference to it.
inline bool converted_number(PyObject* value, double& number) {
    py::detail::make_caster<double> caster;
    Py_INCREF(value);
    const bool loaded = run_python([&] { return caster.load(value, true); });
    release(value);
    if (loaded) number = caster;
    return loaded;
}

// Hands `take(text, number)` each entry of `dict` in its order, the key read as pybind11's string conversion
// reads it (a str as UTF-8, bytes and bytearray as they are); false at the first entry that does not
// convert. Without `convert` no Python code runs, and a text is a view into its key, good while the dict is
// unchanged. A value that needs conversion converts after its key is copied: it may take out the entry.
template <typename Take>
bool read_values(PyObject* dict, bool convert, Take&& take) {
    PyObject *key = nullptr, *item = nullptr;
    Py_ssize_t position = 0;
    while (PyDict_Next(dict, &position, &key, &item)) {
        // A compact ASCII str (most keys) holds its UTF-8 after its header: read in place, without a call.
        const bool ascii = PyUnicode_Check(key) && PyUnicode_IS_COMPACT_ASCII(key);
        py::detail::make_caster<std::string_view> key_text;
        if (!ascii && !key_text.load(key, convert)) return false;
        const std::string_view text = ascii ? std::string_view(static_cast<char*>(PyUnicode_DATA(key)), PyUnicode_GET_LENGTH(key)) : key_text;
        double number = 0;
        if (plain_number(item, number)) {
            take(text, number);
            continue;
        }
        if (!convert) return false;
        const std::string copied(text);
        if (!converted_number(item, number)) return false;
        take(copied, number);
    }
    return true;
}

// The dict as an engine map, each key copied; of two equal keys the first wins, as emplace keeps it.
inline bool load_values(PyObject* dict, bool convert, Values& values) {
    values.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(dict)));
    return read_values(dict, convert, [&values](std::string_view text, double number) { values.emplace(text, number); });
}

}  // namespace exprkit::binding

namespace pybind11::detail {

// The values dict as the generic map conversion takes it: a dict or a dict subclass, nothing else.
template <>
struct type_caster<exprkit::binding::Values> {
    PYBIND11_TYPE_CASTER(exprkit::binding::Values, const_name("Dict[str, float]"));

    bool load(handle source, bool convert) {
        value.clear();
        return PyDict_Check(source.ptr()) && exprkit::binding::load_values(source.ptr(), convert, value);
    }

    static handle cast(const exprkit::binding::Values& source, return_value_policy policy, handle parent) {
        return map_caster<exprkit::binding::Values, std::string, double>::cast(source, policy, parent);
    }
};

}  // namespace pybind11::detail
