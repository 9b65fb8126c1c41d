// Python callables given to add_func; run_python, the one guard through which Python code runs during a
// call; func's part in cyclic garbage collection. Why, in docs/architecture.md.
#pragma once

#include <pybind11/functional.h>

#include "instance.hpp"

#include <chrono>
#include <exception>
#include <new>
#include <thread>
#include <vector>

namespace exprkit::binding {

// Runs `call`, a call into the interpreter that throws nothing of its own. A forced unwind that ends a
// daemon thread at exit stops here, where the thread waits for the process to end; anything else ends it.
template <typename Call>
auto run_python(Call&& call) -> decltype(call()) {
    try {
        return call();
#ifdef __GLIBCXX__
    } catch (abi::__forced_unwind&) {  // the exit clears Py_IsInitialized() before it ends daemon threads
        while (Py_IsInitialized() == 0) std::this_thread::sleep_for(std::chrono::hours(1));
        throw;
#endif
    } catch (...) {  // it has left interpreter frames without their cleanup
        std::terminate();
    }
}

// Drops a reference that the module holds: the object may go, and its finaliser run.
inline void release(PyObject* object) { run_python([object] { Py_XDECREF(object); }); }

// pybind11's error for a result that does not convert to float, as py::cast words it; releases `result`.
[[noreturn]] inline void cannot_cast(PyObject* result) {
    PyObject* const type = py::type::handle_of(result).ptr();
    const auto name = py::reinterpret_steal<py::object>(run_python([type] { return PyObject_Str(type); }));
    release(result);
    if (!name) throw py::error_already_set();
    throw py::cast_error("Unable to cast Python instance of type " + name.cast<std::string>() +
                         " to C++ type '?' (#define"
                         " PYBIND11_DETAILED_ERROR_MESSAGES or compile in debug mode for details)");
}

// A Python callable as an engine function: pybind11's wrapper, each step that may run Python code through
// run_python. Each copy holds a reference; once the collector takes it (clear), a call raises ReferenceError.
class PythonFunction {
public:
    explicit PythonFunction(py::function callable) : function(callable.release().ptr()) {}
    PythonFunction(const PythonFunction& other) : function(other.function) {
        const py::gil_scoped_acquire gil;
        Py_XINCREF(function);
    }
    PythonFunction(PythonFunction&& other) noexcept : function(std::exchange(other.function, nullptr)) {}
    ~PythonFunction() {
        if (function == nullptr) return;
        const py::gil_scoped_acquire gil;
        release(function);
    }

    double operator()(double argument) const {
        const py::gil_scoped_acquire gil;
        if (function == nullptr) {
            const char* const message = "the garbage collector has released this function's callable";
            PyErr_SetString(PyExc_ReferenceError, message);
            throw py::error_already_set();
        }
        PyObject* const returned = run_python([this, argument] {
            PyObject* const number = PyFloat_FromDouble(argument);
            PyObject* const returned = number != nullptr ? PyObject_CallOneArg(function, number) : nullptr;
            Py_XDECREF(number);
            return returned;
        });
        if (returned == nullptr) throw py::error_already_set();
        py::detail::make_caster<double> result;
        if (!run_python([&] { return result.load(returned, true); })) cannot_cast(returned);
        release(returned);
        return py::detail::cast_op<double>(result);
    }

    // The reference held, for the garbage collector; forget() gives it up without releasing it.
    PyObject* held() const { return function; }
    void forget() const { function = nullptr; }

private:
    mutable PyObject* function;  // mutable: the collector's walk over an engine object is const
};

// add_func's function as pybind11 converts it; a Python callable is held as a PythonFunction.
struct AddedFunction { UnaryFunction<double> function; };

// func takes part in cyclic garbage collection, so that a callable that refers back to its func (a bound
// method of its owner) does not keep both alive: it reports the references held and gives them up in a cycle.
inline int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));  // an instance of a heap type holds a reference to its type
    const Engine* engine = engine_of(self);
    int stopped = 0;
    if (engine != nullptr) engine->for_each_callable([&](const UnaryFunction<double>& function) {
        const auto* python = function.target<PythonFunction>();
        if (stopped == 0 && python != nullptr && python->held()) stopped = visit(python->held(), arg);
    });
    return stopped;
}

// Every reference is taken out before any is released: a finaliser may use the object and change its tables.
// The object stays usable (a function without its callable raises).
inline int clear(PyObject* self) {
    const Engine* engine = engine_of(self);
    if (engine == nullptr) return 0;
    std::vector<PyObject*> taken;
    try {
        engine->for_each_callable([&taken](const UnaryFunction<double>& function) {
            const auto* python = function.target<PythonFunction>();
            if (python == nullptr || python->held() == nullptr) return;
            taken.push_back(python->held());
            python->forget();
        });
    } catch (const std::bad_alloc&) {  // what was taken goes now; the rest stays for a later collection
    }
    for (PyObject* object : taken) release(object);
    return 0;
}

// For py::custom_type_setup, before pybind11 readies the type.
inline void collectable(PyHeapTypeObject* heap_type) {
    heap_type->ht_type.tp_flags |= Py_TPFLAGS_HAVE_GC;
    heap_type->ht_type.tp_traverse = traverse;
    heap_type->ht_type.tp_clear = clear;
    heap_type->ht_type.tp_new = internals::new_instance;
}

}  // namespace exprkit::binding

namespace pybind11::detail {

template <>
struct type_caster<exprkit::binding::AddedFunction> {
    using Function = exprkit::UnaryFunction<double>;
    PYBIND11_TYPE_CASTER(exprkit::binding::AddedFunction, make_caster<Function>::name);

    bool load(handle source, bool convert) {
        make_caster<Function> general;
        if (!general.load(source, convert)) return false;
        value.function = cast_op<Function&&>(std::move(general));
        if (source.is_none() || value.function.target<double (*)(double)>() != nullptr) return true;
        value.function = exprkit::binding::PythonFunction(reinterpret_borrow<function>(source));
        return true;
    }
};

}  // namespace pybind11::detail
