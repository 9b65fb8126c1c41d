// Python callables given to add_func, and run_python, the one guard through which the module lets Python
// code run during a call (a callable, a value's conversion, the release of an object it holds): why, in
// docs/architecture.md, "The Python module".
#pragma once

#include <pybind11/functional.h>

#include "instance.hpp"

#include <chrono>
#include <exception>
#include <thread>

namespace exprkit::binding {

// Runs `call`, a call into the interpreter that throws nothing of its own. A forced unwind that ends a
// daemon thread at exit stops here, where the thread waits for the process to end; anything else ends it.
template <typename Call>
auto run_python(Call&& call) -> decltype(call()) {
    try {
        return call();
#ifdef __GLIBCXX__
    } catch (abi::__forced_unwind&) {
        while (_Py_IsFinalizing() != 0) std::this_thread::sleep_for(std::chrono::hours(1));
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
    const auto name = py::reinterpret_steal<py::object>(run_python([result] { return PyObject_Str(py::type::handle_of(result).ptr()); }));
    release(result);
    if (!name) throw py::error_already_set();
    throw py::cast_error("Unable to cast Python instance of type " + name.cast<std::string>() +
                         " to C++ type '?' (#define PYBIND11_DETAILED_ERROR_MESSAGES or compile in debug mode for details)");
}

// A Python callable as a one-argument engine function: what pybind11's wrapper does, with every step that
// may run Python code made through run_python. Each copy holds a reference of its own, which the garbage
// collector may take (collection.hpp); a copy left without one raises ReferenceError when called.
class PythonFunction {
public:
    explicit PythonFunction(py::function callable) : function(callable.release().ptr()) {}
    PythonFunction(const PythonFunction& other) : function(other.function) {
        const py::gil_scoped_acquire gil;
        Py_XINCREF(function);
    }
    PythonFunction(PythonFunction&& other) noexcept : function(std::exchange(other.function, nullptr)) {}
    PythonFunction& operator=(const PythonFunction&) = delete;
    ~PythonFunction() {
        if (function == nullptr) return;
        const py::gil_scoped_acquire gil;
        release(function);
    }

    double operator()(double argument) const {
        const py::gil_scoped_acquire gil;
        if (function == nullptr) PyErr_SetString(PyExc_ReferenceError, "the garbage collector has released this function's callable");
        if (function == nullptr) throw py::error_already_set();
        PyObject* const returned = run_python([this, argument] { return call(function, argument); });
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
    static PyObject* call(PyObject* callable, double argument) {
        PyObject* const number = PyFloat_FromDouble(argument);
        if (number == nullptr) return nullptr;
        PyObject* const returned = PyObject_CallOneArg(callable, number);
        Py_DECREF(number);
        return returned;
    }

    mutable PyObject* function;  // mutable: the collector's walk over an engine object is const
};

// The function argument of add_func: pybind11's conversion decides what it accepts and names the type;
// a Python callable that it wrapped is then held by a PythonFunction instead.
struct AddedFunction {
    UnaryFunction<double> function;
};

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
        if (!source.is_none() && value.function.target<double (*)(double)>() == nullptr) {
            value.function = exprkit::binding::PythonFunction(reinterpret_borrow<function>(source));
        }
        return true;
    }
};

}  // namespace pybind11::detail
