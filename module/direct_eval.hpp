// func's methods as the module's own functions around pybind11's dispatcher: f.eval(dict), f.eval() and
// func(str) on an instance of func itself taken directly, any other call by the dispatcher.
#pragma once

#include "values.hpp"

#include <exprkit/token.hpp>

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace exprkit::binding {

// The position of the variable that `key` names: -1 for none; -2 for a key that pybind11 does not convert,
// or that names one other than as a str the dict keeps its hash of (most keys: read as it stands), so that
// no two keys taken name one variable (the dispatcher takes the first).
[[gnu::noinline]] inline std::ptrdiff_t converted_position_of(const Engine::Positions& at, PyObject* key) {
    py::detail::make_caster<std::string_view> text;
    if (!text.load(key, false)) return -2;
    if (!detail::is_name_text(text)) return -1;  // a name is ASCII letters: a non-ASCII key is hashed no more
    Py_hash_t hash = 0;
    return text_hash(text, hash) && at.find(hash, text) < 0 ? -1 : -2;
}
[[gnu::always_inline]] inline std::ptrdiff_t position_of(const Engine::Positions& positions, PyObject* key) {
    Py_hash_t hash = 0;
    std::string_view text;
    const bool plain = __builtin_expect(internals::str_key(key, hash, text), 1);
    return plain ? positions.find(hash, text) : converted_position_of(positions, key);
}

// f.eval(dict) when every entry converts without Python code and every variable has its value (else false,
// for the dispatcher): each value put at its variable's position, which the engine reads before it runs a
// callable (that may evaluate this object again). Not inlined, so that the walk keeps its state in registers.
[[gnu::noinline]] inline bool eval_given(Engine& engine, PyObject* dict, double& result) {
    const Engine::Positions positions = engine.positions();
    double* const values = engine.values();
    std::size_t count = 0;
    NumpyType numpy;
    const auto take = [positions, values, &count, &numpy](PyObject* key, PyObject* item)
                          __attribute__((always_inline)) {  // called, a float entry costs 4.2 ns, not 2.7
        double number = 0;
        std::ptrdiff_t at = -2;
        if (Py_TYPE(item) == numpy.type) {  // read only where a variable takes it (most columns go unread)
            at = position_of(positions, key);
            if (at >= 0 && !internals::numpy_scalar(item, number, numpy.read)) at = -2;
        } else if (plain_number(item, number, &numpy)) {
            at = position_of(positions, key);
        }
        if (at >= 0) values[at] = number, ++count;
        return at != -2;
    };
    return internals::for_each_entry(dict, take) && count == engine.variables().size() &&
           (result = engine.eval_at(values), true);
}

// Runs `call`, which says whether it took the call, under the dispatcher's translation of exceptions: true,
// with the error set, when it threw.
template <typename Call>
bool translated(Call&& call) {
    try {
        return call();
    } catch (py::error_already_set& error) {
        error.restore();
#ifdef __GLIBCXX__
    } catch (abi::__forced_unwind&) {
        throw;
#endif
    } catch (...) {
        using namespace py::detail;
        if (!apply_exception_translators(get_local_internals().registered_exception_translators) &&
            !apply_exception_translators(get_internals().registered_exception_translators))
            PyErr_SetString(PyExc_SystemError, "Exception escaped from default exception translator!");
    }
    return true;
}

inline PyCFunctionWithKeywords dispatcher = nullptr;  // pybind11's, which every function it makes calls
inline PyTypeObject* func_type = nullptr;             // set once, when the module registers func
inline py::detail::type_info* func_info = nullptr;

// Calls pybind11's dispatcher with an argument tuple and a keyword dict as CPython calls it, inside the
// translation: what it throws past its own try block (a TypeError's text, or an instance set up, that runs
// out of memory) raises MemoryError. A daemon thread ended at exit passes by the tuple, and releases nothing.
inline PyObject* dispatch(PyObject* record, PyObject* const* args, Py_ssize_t count, PyObject* names) {
    const Py_ssize_t named = names != nullptr ? PyTuple_GET_SIZE(names) : 0;
    PyObject* const tuple = PyTuple_New(count);
    PyObject* const keywords = named > 0 && tuple != nullptr ? PyDict_New() : nullptr;
    PyObject* result = nullptr;
    bool ready = tuple != nullptr && (named == 0 || keywords != nullptr);
    for (Py_ssize_t i = 0; ready && i < count; ++i) PyTuple_SET_ITEM(tuple, i, Py_NewRef(args[i]));
    for (Py_ssize_t i = 0; ready && i < named; ++i)
        ready = PyDict_SetItem(keywords, PyTuple_GET_ITEM(names, i), args[count + i]) == 0;
    if (ready) translated([&] { return result = dispatcher(record, tuple, keywords), true; });
    Py_XDECREF(tuple);
    Py_XDECREF(keywords);
    return result;
}

// A method of func: `take(args, count, result)` takes a call on an instance of func itself without keywords,
// or leaves it to the dispatcher. CPython counts it against the recursion limit, as it counts pybind11's.
template <bool (*take)(PyObject* const*, Py_ssize_t, PyObject*&)>
PyObject* method(PyObject* record, PyObject* const* args, Py_ssize_t count, PyObject* names) {
    PyObject* result = nullptr;
    const bool named = names != nullptr && PyTuple_GET_SIZE(names) > 0;
    const bool usual = count > 0 && !named && Py_TYPE(args[0]) == func_type;
    if (usual && translated([&] { return take(args, count, result); })) return result;
    return dispatch(record, args, count, names);
}

inline bool no_direct_path(PyObject* const*, Py_ssize_t, PyObject*&) { return false; }

inline bool eval_directly(PyObject* const* args, Py_ssize_t count, PyObject*& result) {
    Engine* engine = count == 1 || (count == 2 && PyDict_Check(args[1])) ? engine_of(args[0]) : nullptr;
    double value = 0;
    if (engine == nullptr || (count == 2 && !eval_given(*engine, args[1], value))) return false;
    result = PyFloat_FromDouble(count == 1 ? std::as_const(*engine).eval() : value);
    return true;
}

// func(text) with a str, on an instance not set up yet (pybind11 ignores a second __init__); with the
// public API alone, pybind11's constructor through the dispatcher.
inline bool construct_directly(PyObject* const* args, Py_ssize_t count, PyObject*& result) {
    if (!internals::in_place || count != 2 || !PyUnicode_CheckExact(args[1])) return false;
    auto held = reinterpret_cast<py::detail::instance*>(args[0])->get_value_and_holder(func_info);
    Py_ssize_t size = 0;
    const char* const text = held.instance_registered() ? nullptr : PyUnicode_AsUTF8AndSize(args[1], &size);
    if (text == nullptr) return PyErr_Clear(), false;  // not UTF-8: the dispatcher says so
    internals::construct<Engine>(held, std::string(text, static_cast<std::size_t>(size)));
    result = Py_NewRef(Py_None);
    return true;
}

// Puts `call` in the place of the function that pybind11 made for a method of func, with its name, docstring,
// module and self (pybind11's record of the method's overloads, which the dispatcher reads).
using Method = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline void take_calls(const py::handle& cls, const char* name, Method call) {
    func_type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    func_info = py::detail::get_type_info(func_type);
    const py::object made = cls.attr("__dict__")[name];
    const py::handle function = PyInstanceMethod_GET_FUNCTION(made.ptr());
    void* const made_call = reinterpret_cast<void*>(PyCFunction_GET_FUNCTION(function.ptr()));
    dispatcher = reinterpret_cast<PyCFunctionWithKeywords>(made_call);
    const auto* doc = new std::string(py::str(function.attr("__doc__")));  // for the process, as the module's
    auto* definition = new PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(call)),
                                       METH_FASTCALL | METH_KEYWORDS, doc->c_str()};
    const py::object module = function.attr("__module__");
    PyObject* const record = PyCFunction_GET_SELF(function.ptr());
    const auto ours = py::reinterpret_steal<py::object>(PyCFunction_NewEx(definition, record, module.ptr()));
    if (!ours) throw py::error_already_set();
    const auto bound = py::reinterpret_steal<py::object>(PyInstanceMethod_New(ours.ptr()));
    if (!bound) throw py::error_already_set();
    cls.attr(name) = bound;
}

}  // namespace exprkit::binding
