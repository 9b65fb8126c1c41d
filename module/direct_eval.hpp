// The direct paths: f.eval(values) and f.eval() on an instance of func itself, and func(text) with a str,
// taken by vectorcall without pybind11's dispatcher; any other call goes to the dispatcher. Invariants
// and figures: docs/architecture.md, "The Python module".
#pragma once

#include "instance.hpp"
#include "values.hpp"

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace exprkit::binding {

// The entries of a dict of at most `kept_in_place`, read as the dispatcher's first pass reads them, as
// views into the keys: good until the evaluation starts, since no Python code runs before. A larger dict
// goes to the dispatcher, whose overhead is small beside the map it builds of so many entries.
class GivenValues {
public:
    bool load(PyObject* dict) {
        return PyDict_GET_SIZE(dict) <= kept_in_place && read_values(dict, false, [this](std::string_view text, double number) {
            entries[count++] = Entry{text.data(), text.size(), number};
        });
    }
    // The value of the first entry named `name`, as the dispatcher's map keeps the first of two equal keys.
    const double* find(const std::string& name) const {
        for (std::size_t i = 0; i < count; ++i) {
            if (std::string_view(entries[i].text, entries[i].size) == name) return &entries[i].number;
        }
        return nullptr;
    }
private:
    static constexpr Py_ssize_t kept_in_place = 16;
    struct Entry { const char* text; std::size_t size; double number; };
    Entry entries[kept_in_place];
    std::size_t count = 0;
};
inline PyTypeObject* func_type = nullptr;  // set once, when the module registers func, with its type_info
inline py::detail::type_info* func_info = nullptr;

template <typename Step>  // runs `step` under the exception translation of pybind11's dispatcher
PyObject* translated(Step&& step) {
    try {
        return step();
    } catch (py::error_already_set& error) {
        error.restore();
        return nullptr;
#ifdef __GLIBCXX__
    } catch (abi::__forced_unwind&) {
        throw;
#endif
    } catch (...) {
        if (py::detail::apply_exception_translators(py::detail::get_local_internals().registered_exception_translators) ||
            py::detail::apply_exception_translators(py::detail::get_internals().registered_exception_translators)) {
            return nullptr;
        }
        PyErr_SetString(PyExc_SystemError, "Exception escaped from default exception translator!");
        return nullptr;
    }
}

// Hands the call to the dispatcher that pybind11 registered, in the tuple-and-dict form it takes.
inline PyObject* dispatch_generally(PyObject* callable, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    const Py_ssize_t count = PyVectorcall_NARGS(nargsf);
    const auto positional = py::reinterpret_steal<py::object>(PyTuple_New(count));
    if (!positional) throw py::error_already_set();
    for (Py_ssize_t i = 0; i < count; ++i) PyTuple_SET_ITEM(positional.ptr(), i, Py_NewRef(args[i]));
    py::object keywords;  // null when there are none, as the dispatcher expects
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        keywords = py::reinterpret_steal<py::object>(PyDict_New());
        for (Py_ssize_t i = 0; keywords && i < PyTuple_GET_SIZE(kwnames); ++i) {
            if (PyDict_SetItem(keywords.ptr(), PyTuple_GET_ITEM(kwnames, i), args[count + i]) != 0) keywords = {};
        }
        if (!keywords) throw py::error_already_set();
    }
    auto* function = reinterpret_cast<PyCFunctionObject*>(callable);
    auto* dispatcher = reinterpret_cast<PyCFunctionWithKeywords>(reinterpret_cast<void (*)()>(function->m_ml->ml_meth));
    return dispatcher(function->m_self, positional.ptr(), keywords.ptr());
}

// Takes a call by `take(count, result)`, which says whether it took it, or else hands it to the
// dispatcher: counted, as a call through the dispatcher is, against the recursion limit with its message,
// and run under its translation.
template <typename Take>
PyObject* directly(PyObject* callable, PyObject* const* args, std::size_t nargsf, PyObject* kwnames, Take&& take) {
    if (Py_EnterRecursiveCall(" while calling a Python object") != 0) return nullptr;
    const bool usual = (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) && Py_TYPE(args[0]) == func_type;
    PyObject* const result = translated([&]() -> PyObject* {
        PyObject* taken = nullptr;
        return usual && take(PyVectorcall_NARGS(nargsf), taken) ? taken : dispatch_generally(callable, args, nargsf, kwnames);
    });
    Py_LeaveRecursiveCall();
    return result;
}

inline PyObject* eval_vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    return directly(callable, args, nargsf, kwnames, [args](Py_ssize_t count, PyObject*& result) {
        Engine* engine = count == 1 || (count == 2 && PyDict_Check(args[1])) ? engine_of(args[0]) : nullptr;
        GivenValues values;
        if (engine == nullptr || (count == 2 && !values.load(args[1]))) return false;
        result = PyFloat_FromDouble(count == 1 ? std::as_const(*engine).eval()
                                               : engine->eval_with([&values](const std::string& name) { return values.find(name); }));
        return true;
    });
}

// func(text) with a str, on an instance that pybind11 has not set up yet (it ignores a second __init__):
// the engine object is made, and the instance set up, as pybind11's constructor does.
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

// Points a function that pybind11 made for func at `vectorcall`; its dispatcher, name, signatures and
// docstring stay as they are.
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
