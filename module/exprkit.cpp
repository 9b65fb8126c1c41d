// The Python module exprkit: the class func wraps one Expression<double>. Each method converts its
// arguments with pybind11's conversions, calls one engine operation and converts the result; engine
// exceptions reach Python through pybind11's default translation.
#include <pybind11/functional.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <exprkit/expression.hpp>

#include <cstddef>
#include <memory_resource>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace py = pybind11;
using Engine = exprkit::Expression<double>;

namespace pybind11::detail {

// The values dict of eval, converted in a single pass into a map whose entries live in the caster.
// It accepts exactly what the generic map conversion accepts, with the same result: a dict or dict subclass, keys as text (str, bytes,
// bytearray), values as floats, the first of two equal keys winning. The generic conversion rejects
// ints in the overload resolution's first, non-converting pass and so converts the whole dict twice;
// here floats, ints and bools, which convert without running Python code, are taken in the first pass.
// Any other value is left to the converting pass, where pybind11's own float conversion decides.
template <>
struct type_caster<Engine::Values> {
    static constexpr auto name = const_name("Dict[str, float]");

    bool load(handle source, bool convert) {
        if (!PyDict_Check(source.ptr())) return false;
        // Buckets for every entry from the start, so that no insertion has to grow the table.
        const auto size = static_cast<std::size_t>(PyDict_Size(source.ptr()));
        Engine::Values& value = values.emplace(size, exprkit::detail::NameHash{}, exprkit::detail::NameEqual{}, &arena);
        PyObject* key = nullptr;
        PyObject* item = nullptr;
        Py_ssize_t position = 0;
        while (PyDict_Next(source.ptr(), &position, &key, &item)) {
            std::string_view name;
            if (!load_name(key, name)) return false;
            // Copied before the value converts: a value's conversion may run Python code that removes
            // the key from the dict and frees the text the view points into.
            std::string owned_name(name);
            double number = 0;
            if (!load_number(item, convert, number)) return false;
            value.try_emplace(std::move(owned_name), number);
        }
        return true;
    }

    static handle cast(const Engine::Values& source, return_value_policy policy, handle parent) {
        return map_caster<Engine::Values, std::string, double>::cast(source, policy, parent);
    }

    template <typename>
    using cast_op_type = const Engine::Values&;
    operator const Engine::Values&() const { return *values; }

private:
    // Text as pybind11's string conversion takes it: a str encoded as UTF-8 (a str that cannot be
    // encoded does not convert), bytes and bytearray byte for byte.
    static bool load_name(PyObject* key, std::string_view& name) {
        if (PyUnicode_Check(key)) {
            Py_ssize_t size = 0;
            const char* text = PyUnicode_AsUTF8AndSize(key, &size);
            if (text == nullptr) {
                PyErr_Clear();
                return false;
            }
            name = std::string_view(text, static_cast<std::size_t>(size));
            return true;
        }
        if (PyBytes_Check(key)) {
            name = std::string_view(PyBytes_AS_STRING(key), static_cast<std::size_t>(PyBytes_GET_SIZE(key)));
            return true;
        }
        if (PyByteArray_Check(key)) {
            name = std::string_view(PyByteArray_AS_STRING(key), static_cast<std::size_t>(PyByteArray_GET_SIZE(key)));
            return true;
        }
        return false;
    }

    static bool load_number(PyObject* item, bool convert, double& number) {
        if (PyFloat_Check(item)) {
            number = PyFloat_AS_DOUBLE(item);
            return true;
        }
        if (PyLong_CheckExact(item) || PyBool_Check(item)) {
            number = PyLong_AsDouble(item);
            if (number != -1.0 || !PyErr_Occurred()) return true;
            PyErr_Clear();  // too large for a double: the converting pass reports it as pybind11 would
        }
        if (!convert) return false;
        make_caster<double> general;
        if (!general.load(item, true)) return false;
        number = cast_op<double>(general);
        return true;
    }

    // The entries of one call's values live in a buffer inside the caster, which lives on the stack
    // for the length of the call; only a large dict spills to the heap.
    alignas(std::max_align_t) std::byte buffer[1024];
    std::pmr::monotonic_buffer_resource arena{buffer, sizeof buffer};
    std::optional<Engine::Values> values;
};

}  // namespace pybind11::detail

PYBIND11_MODULE(exprkit, m) {
    py::class_<Engine>(m, "func")
        .def(py::init<const std::string&>())
        .def(py::init<>())
        .def("init", &Engine::init)
        .def("valid", &Engine::valid)
        .def("eval", py::overload_cast<const Engine::Values&>(&Engine::eval))
        .def("eval", py::overload_cast<>(&Engine::eval, py::const_))
        .def("vars", &Engine::vars)
        .def("add_func", &Engine::add_func)
        .def("avail_funcs", &Engine::avail_funcs);
}
