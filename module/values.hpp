// The values of eval's dict: a number read without running Python code (a float, an int, and numpy's real
// scalars), and the dict as pybind11's dispatcher converts it, by the caster at the end.
#pragma once

#include <pybind11/stl.h>

#include "callables.hpp"

#include <cstdint>
#include <cstring>
#include <iterator>
#include <string_view>
#include <utility>

namespace exprkit::binding {

template <typename T>
T stored(const char* value) {
    T number;
    std::memcpy(&number, value, sizeof number);
    return number;
}

// numpy's scalar of a type, converted as its __float__ does (a uint64 rounded to nearest, as C's cast does).
using internals::Read;
template <typename T>
double read_as(const char* value) { return static_cast<double>(stored<T>(value)); }

// A half's exact value as a double, as numpy's npy_half_to_double gives it (a NaN keeps its payload).
inline double read_half(const char* value) {
    const auto half = stored<std::uint16_t>(value);
    const std::uint64_t sign = std::uint64_t{half} >> 15 << 63, exponent = half >> 10 & 31;
    if (exponent == 0) return (sign != 0 ? -0x1p-24 : 0x1p-24) * static_cast<double>(half & 1023);
    const std::uint64_t bias = exponent == 31 ? 0x7ff - 31 : 1023 - 15;  // infinity and NaN: all ones
    const std::uint64_t bits = sign | (((std::uint64_t{half} & 0x7fff) << 42) + (bias << 52));
    return stored<double>(reinterpret_cast<const char*>(&bits));
}

// numpy's real scalars. numpy's types are static (they live as long as the process): each is known by the
// name that only numpy's static types bear when first met, then by its pointer. longdouble and complex are
// left to their __float__, on the dispatcher's converting pass.
inline constexpr std::pair<std::string_view, Read> numpy_names[] = {
    {"numpy.float64", read_as<double>}, {"numpy.float32", read_as<float>}, {"numpy.float16", read_half},
    {"numpy.int8", read_as<std::int8_t>}, {"numpy.int16", read_as<std::int16_t>},
    {"numpy.int32", read_as<std::int32_t>}, {"numpy.int64", read_as<std::int64_t>},
    {"numpy.longlong", read_as<std::int64_t>}, {"numpy.uint8", read_as<std::uint8_t>},
    {"numpy.uint16", read_as<std::uint16_t>}, {"numpy.uint32", read_as<std::uint32_t>},
    {"numpy.uint64", read_as<std::uint64_t>}, {"numpy.ulonglong", read_as<std::uint64_t>},
    {"numpy.bool", read_as<std::uint8_t>}, {"numpy.bool_", read_as<std::uint8_t>}};
inline PyTypeObject* numpy_types[std::size(numpy_names)];  // the type of each name, once met

// A numpy type and its reader: the one a walk over a dict met last, which it takes at once.
struct NumpyType { PyTypeObject* type = nullptr; Read read = nullptr; };

// Any other type, out of the walk's loop: by the types met so far in the process, then by name.
[[gnu::noinline]] inline NumpyType numpy_type(PyTypeObject* type) {
    for (std::size_t i = 0; i < std::size(numpy_names); ++i)
        if (numpy_types[i] == type) return {type, numpy_names[i].second};
    if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) return {};  // a Python class may take any name
    for (std::size_t i = 0; i < std::size(numpy_names); ++i)
        if (numpy_types[i] == nullptr && numpy_names[i].first == type->tp_name)
            return numpy_types[i] = type, NumpyType{type, numpy_names[i].second};
    return {};
}

// A float (a subclass too, by its value), an int or a bool, read without running Python code, and taken in
// either pass of the overload resolution, as the converting pass would take it alike; with `numpy` (the numpy
// type met last), numpy's real scalars too.
inline bool plain_number(PyObject* value, double& number, NumpyType* numpy = nullptr) {
    PyTypeObject* const type = Py_TYPE(value);
    if (__builtin_expect(type == &PyFloat_Type, 1)) return number = PyFloat_AS_DOUBLE(value), true;
    if (type == &PyLong_Type || type == &PyBool_Type) {
        if (internals::small_int(value, number)) return true;
        number = PyLong_AsDouble(value);  // too large for a double: refused, as by pybind11
        return number != -1.0 || !PyErr_Occurred() || (PyErr_Clear(), false);
    }
    if (numpy != nullptr && (type == numpy->type || (*numpy = numpy_type(type)).type != nullptr) &&
        internals::numpy_scalar(value, number, numpy->read))
        return true;
    return PyFloat_Check(value) && (number = PyFloat_AsDouble(value), true);
}

}  // namespace exprkit::binding
namespace pybind11::detail {

// The values dict as the generic map conversion takes it: a dict or a dict subclass, entry by entry, each key
// by pybind11's string conversion, copied before the value converts (which may take out the entry; it is held
// meanwhile, and may run its __float__ or __index__); of two equal keys the first wins, as emplace keeps it.
template <>
struct type_caster<exprkit::binding::Engine::Values>
    : map_caster<exprkit::binding::Engine::Values, std::string, double> {  // and its cast, for vars()
    bool load(handle source, bool convert) {
        value.clear();
        PyObject *key = nullptr, *item = nullptr;
        PyObject* const dict = PyDict_Check(source.ptr()) ? source.ptr() : nullptr;
        for (Py_ssize_t position = 0; dict != nullptr && PyDict_Next(dict, &position, &key, &item);) {
            make_caster<std::string> text;
            double number = 0;
            if (!text.load(key, convert)) return false;
            if (!exprkit::binding::plain_number(item, number)) {
                make_caster<double> converted;
                if (!convert) return false;
                Py_INCREF(item);
                const bool loaded = exprkit::binding::run_python([&] { return converted.load(item, true); });
                exprkit::binding::release(item);
                if (!loaded) return false;
                number = converted;
            }
            value.emplace(std::move(static_cast<std::string&>(text)), number);
        }
        return dict != nullptr;
    }
};

}  // namespace pybind11::detail
