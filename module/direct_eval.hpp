// The direct paths: f.eval(values) and f.eval() on an instance of func itself, its dict read in place, and
// func(text) with a str, taken by vectorcall without pybind11's dispatcher; any other call goes to the
// dispatcher, and its dict to the caster below. Invariants and figures: docs/architecture.md.
#pragma once

#include <pybind11/stl.h>

#include "callables.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

static_assert(PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000, "the objects read in place below are CPython 3.11's");

namespace exprkit::binding {

// numpy's float64, float32, int64 and bool scalars, known by the names that only numpy's static types bear
// (the type met last, kept by the caller, at once): each holds its value after the object header (numpy's
// arrayscalars.h; a float64 is a float), and its __float__ casts it to double, as here.
enum class NumpyValue { float64, float32, int64, boolean };
inline constexpr std::pair<std::string_view, NumpyValue> numpy_types[] = {
    {"numpy.float64", NumpyValue::float64}, {"numpy.float32", NumpyValue::float32}, {"numpy.int64", NumpyValue::int64},
    {"numpy.bool", NumpyValue::boolean}, {"numpy.bool_", NumpyValue::boolean}};  // numpy 2 and 1
struct NumpyType { mutable PyTypeObject* type = nullptr; mutable NumpyValue stored = NumpyValue::float64; };  // the one met last
inline bool numpy_number(PyObject* value, double& number, const NumpyType& last) {
    if (Py_TYPE(value) != last.type && !PyType_HasFeature(Py_TYPE(value), Py_TPFLAGS_HEAPTYPE)) {  // a Python class may take any name
        for (const auto& [name, stored] : numpy_types) if (name == Py_TYPE(value)->tp_name) last.type = Py_TYPE(value), last.stored = stored;
    }
    const char* const stored = reinterpret_cast<const char*>(value) + sizeof(PyObject);
    if (Py_TYPE(value) != last.type) return false;
    switch (last.stored) {
        case NumpyValue::float64: return number = *reinterpret_cast<const double*>(stored), true;
        case NumpyValue::float32: return number = *reinterpret_cast<const float*>(stored), true;
        case NumpyValue::int64: return number = static_cast<double>(*reinterpret_cast<const std::int64_t*>(stored)), true;
        case NumpyValue::boolean: return number = *reinterpret_cast<const std::uint8_t*>(stored), true;
    }
    return false;
}

// A float (a subclass too, by its value), an int or a bool, read without running Python code, and taken in either
// pass of the overload resolution, as the converting pass would take it alike; with `numpy`, numpy's scalars too.
inline bool plain_number(PyObject* value, double& number, const NumpyType* numpy = nullptr) {
    PyTypeObject* const type = Py_TYPE(value);
    if (__builtin_expect(type == &PyFloat_Type, 1)) return number = PyFloat_AS_DOUBLE(value), true;
    if (type == &PyLong_Type || type == &PyBool_Type) {
        const Py_ssize_t digits = Py_SIZE(value);  // of one digit at most: read in place, as PyLong_AsDouble reads it
        if (digits >= -1 && digits <= 1) return number = static_cast<double>(digits * reinterpret_cast<PyLongObject*>(value)->ob_digit[0]), true;
        number = PyLong_AsDouble(value);
        return number != -1.0 || !PyErr_Occurred() || (PyErr_Clear(), false);  // too large for a double: refused, as by pybind11
    }
    return (numpy != nullptr && numpy_number(value, number, *numpy)) || (PyFloat_Check(value) && (number = PyFloat_AS_DOUBLE(value), true));
}

// A dict's keys in CPython 3.11 (PyDictKeysObject, Include/internal/pycore_dict.h): then a hash index of
// 2^log2_index_bytes bytes, and the entries in order, each with its hash unless the kind is 1 (str keys only).
struct DictKeysHeader { Py_ssize_t refcnt; std::uint8_t log2_size, log2_index_bytes, kind; std::uint32_t version; Py_ssize_t usable, entries; };

// Hands `take(key, value)` each entry of `dict` in order while it returns true, as PyDict_Next does, but read in place
// from a combined table (a removed entry's value is null); a split table (attributes) by PyDict_Next. No Python code may run.
template <typename Take>
[[gnu::always_inline]] inline bool for_each_entry(PyObject* dict, Take&& take) {
    const auto* object = reinterpret_cast<PyDictObject*>(dict);
    PyObject *key = nullptr, *value = nullptr;
    for (Py_ssize_t at = 0; object->ma_values != nullptr && PyDict_Next(dict, &at, &key, &value);) if (!take(key, value)) return false;
    const auto* keys = reinterpret_cast<const DictKeysHeader*>(object->ma_keys);
    const std::ptrdiff_t width = keys->kind == 0 ? 3 : 2;  // an entry's pointers: hash, key and value, or key and value
    const char* const index = reinterpret_cast<const char*>(keys + 1);
    PyObject* const* entry = reinterpret_cast<PyObject* const*>(index + (std::size_t{1} << keys->log2_index_bytes)) + (width - 2);
    PyObject* const* const end = object->ma_values == nullptr ? entry + width * keys->entries : entry;
    for (; entry != end; entry += width) if (entry[1] != nullptr && !take(entry[0], entry[1])) return false;
    return true;
}

// The position of the variable that `key` names: -1 for none; -2 for a key that pybind11 does not convert,
// or that names one other than as a compact ASCII str (most keys: read in place, with the hash CPython set
// when it entered the dict), so that no two keys taken name one variable (the dispatcher takes the first).
[[gnu::noinline]] inline std::ptrdiff_t converted_position_of(const Engine::Positions& positions, PyObject* key) {
    py::detail::make_caster<std::string_view> text;
    if (!text.load(key, false)) return -2;
    const std::string_view view = text;
    return positions.find(_Py_HashBytes(view.data(), static_cast<Py_ssize_t>(view.size())), view) < 0 ? -1 : -2;
}
[[gnu::always_inline]] inline std::ptrdiff_t position_of(const Engine::Positions& positions, PyObject* key) {
    const auto* ascii = reinterpret_cast<const PyASCIIObject*>(key);
    const bool in_place = PyUnicode_CheckExact(key) && PyUnicode_IS_COMPACT_ASCII(key) && ascii->hash != -1;
    if (__builtin_expect(!in_place, 0)) return converted_position_of(positions, key);
    return positions.find(ascii->hash, std::string_view(reinterpret_cast<const char*>(ascii + 1), ascii->length));
}

// f.eval(dict) when every entry converts without Python code and every variable has its value (else false,
// for the dispatcher): each value put at its variable's position, which the engine reads before it runs a
// callable (that may evaluate this object again). Not inlined, so that the walk keeps its state in registers.
[[gnu::noinline]] inline bool eval_given(Engine& engine, PyObject* dict, double& result) {
    const Engine::Positions positions = engine.positions();
    double* const values = engine.values();
    std::size_t count = 0;
    const auto take = [positions, values, &count, numpy = NumpyType()](PyObject* key, PyObject* item) __attribute__((always_inline)) {
        double number = 0;
        const std::ptrdiff_t at = plain_number(item, number, &numpy) ? position_of(positions, key) : -2;
        if (at >= 0) values[at] = number, ++count;
        return at != -2;
    };
    return for_each_entry(dict, take) && count == engine.variables().size() && (result = engine.eval_at(values), true);
}

inline PyTypeObject* func_type = nullptr;  // set once, when the module registers func, with its type_info
inline py::detail::type_info* func_info = nullptr;

// Takes a call on an instance of func itself by `take(count, result)`, which says whether it took it, counted
// against the recursion limit and translated as by the dispatcher. Any other goes to the dispatcher as CPython
// calls it, with an argument tuple of CPython's, which a daemon thread ended at exit leaves alone.
template <typename Take>
PyObject* directly(PyObject* callable, PyObject* const* args, std::size_t nargsf, PyObject* kwnames, Take&& take) {
    const Py_ssize_t count = PyVectorcall_NARGS(nargsf);
    const bool usual = count > 0 && (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) && Py_TYPE(args[0]) == func_type;
    if (!usual) return _PyObject_MakeTpCall(PyThreadState_Get(), callable, args, count, kwnames);
    if (Py_EnterRecursiveCall(" while calling a Python object") != 0) return nullptr;
    PyObject* result = nullptr;
    bool taken = true;
    try {
        taken = take(count, result);
    } catch (py::error_already_set& error) {
        error.restore();
#ifdef __GLIBCXX__
    } catch (abi::__forced_unwind&) {
        throw;
#endif
    } catch (...) {
        if (!py::detail::apply_exception_translators(py::detail::get_local_internals().registered_exception_translators) &&
            !py::detail::apply_exception_translators(py::detail::get_internals().registered_exception_translators))
            PyErr_SetString(PyExc_SystemError, "Exception escaped from default exception translator!");
    }
    Py_LeaveRecursiveCall();
    return taken ? result : _PyObject_MakeTpCall(PyThreadState_Get(), callable, args, count, kwnames);
}

inline PyObject* eval_vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    return directly(callable, args, nargsf, kwnames, [args](Py_ssize_t count, PyObject*& result) {
        Engine* engine = count == 1 || (count == 2 && PyDict_Check(args[1])) ? engine_of(args[0]) : nullptr;
        double value = 0;
        if (engine == nullptr || (count == 2 && !eval_given(*engine, args[1], value))) return false;
        result = PyFloat_FromDouble(count == 1 ? std::as_const(*engine).eval() : value);
        return true;
    });
}

// func(text) with a str, on an instance not set up yet (pybind11 ignores a second __init__), as pybind11's constructor does it.
inline PyObject* init_vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    return directly(callable, args, nargsf, kwnames, [args](Py_ssize_t count, PyObject*& result) {
        auto* instance = reinterpret_cast<py::detail::instance*>(args[0]);
        if (count != 2 || !PyUnicode_CheckExact(args[1]) || !instance->simple_layout || instance->simple_instance_registered) return false;
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(args[1], &size);
        if (text == nullptr) return PyErr_Clear(), false;  // not UTF-8: the dispatcher says so
        instance->get_value_and_holder(func_info).value_ptr() = new Engine(std::string(text, static_cast<std::size_t>(size)));
        func_info->init_instance(instance, nullptr);
        result = py::none().release().ptr();
        return true;
    });
}

// Points a function that pybind11 made for func at `vectorcall`; all else of it stays as it is.
inline void take_calls_directly(const py::handle& cls, const char* name, vectorcallfunc vectorcall) {
    func_type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    func_info = py::detail::get_type_info(func_type);
    PyObject* method = PyDict_GetItemString(func_type->tp_dict, name);
    PyObject* function = method != nullptr && PyInstanceMethod_Check(method) ? PyInstanceMethod_GET_FUNCTION(method) : nullptr;
    constexpr int with_keywords = METH_VARARGS | METH_KEYWORDS;
    if (function == nullptr || !PyCFunction_Check(function) || (PyCFunction_GET_FLAGS(function) & with_keywords) != with_keywords) return;
    reinterpret_cast<PyCFunctionObject*>(function)->vectorcall = vectorcall;
}

}  // namespace exprkit::binding

namespace pybind11::detail {

// The values dict as the generic map conversion takes it: a dict or a dict subclass, entry by entry, each key
// by pybind11's string conversion, copied before the value converts (which may take out the entry; it is held
// meanwhile, and may run its __float__ or __index__); of two equal keys the first wins, as emplace keeps it.
template <>
struct type_caster<exprkit::binding::Engine::Values> {
    PYBIND11_TYPE_CASTER(exprkit::binding::Engine::Values, const_name("Dict[str, float]"));

    bool load(handle source, bool convert) {
        value.clear();
        PyObject *key = nullptr, *item = nullptr;
        for (Py_ssize_t position = 0; PyDict_Check(source.ptr()) && PyDict_Next(source.ptr(), &position, &key, &item);) {
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
        return PyDict_Check(source.ptr());
    }

    static handle cast(const exprkit::binding::Engine::Values& source, return_value_policy policy, handle parent) {
        return map_caster<exprkit::binding::Engine::Values, std::string, double>::cast(source, policy, parent);
    }
};

}  // namespace pybind11::detail
