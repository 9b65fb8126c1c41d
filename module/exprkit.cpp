// The Python module exprkit: the class func wraps one Expression<double>. Each method converts its
// arguments with pybind11's conversions, calls one engine operation and converts the result; engine
// exceptions reach Python through pybind11's default translation.
#include <pybind11/functional.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <exprkit/expression.hpp>

#include <array>
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace py = pybind11;
using Engine = exprkit::Expression<double>;
using Values = Engine::Values;

namespace {

// Text as pybind11's string conversion takes it: a str encoded as UTF-8 (a str that cannot be encoded
// does not convert), bytes and bytearray byte for byte. The view points into `key`.
bool text_of(PyObject* key, std::string_view& text) {
    if (PyUnicode_Check(key)) {
        Py_ssize_t size = 0;
        const char* bytes = PyUnicode_AsUTF8AndSize(key, &size);
        if (bytes == nullptr) {
            PyErr_Clear();
            return false;
        }
        text = std::string_view(bytes, static_cast<std::size_t>(size));
    } else if (PyBytes_Check(key)) {
        text = std::string_view(PyBytes_AS_STRING(key), static_cast<std::size_t>(PyBytes_GET_SIZE(key)));
    } else if (PyByteArray_Check(key)) {
        text = std::string_view(PyByteArray_AS_STRING(key), static_cast<std::size_t>(PyByteArray_GET_SIZE(key)));
    } else {
        return false;
    }
    return true;
}

// A value as pybind11's float conversion gives it. Floats, ints and bools convert without running
// Python code, and are taken in either pass of the overload resolution; any other value is left to the
// converting pass and to pybind11's own conversion.
bool number_of(PyObject* value, bool convert, double& number) {
    if (PyFloat_Check(value)) {
        number = PyFloat_AS_DOUBLE(value);
        return true;
    }
    if (PyLong_CheckExact(value) || PyBool_Check(value)) {
        number = PyLong_AsDouble(value);
        if (number != -1.0 || !PyErr_Occurred()) return true;
        PyErr_Clear();  // too large for a double: refused below as pybind11 refuses it
    }
    if (!convert) return false;
    py::detail::make_caster<double> general;
    if (!general.load(value, true)) return false;
    number = py::detail::cast_op<double>(general);
    return true;
}

}  // namespace

namespace pybind11::detail {

// The values dict of eval, with what the generic map conversion accepts and gives: a dict or dict
// subclass, keys as text, values as floats, the first of two equal keys winning. Each key and value is
// held while it converts, since a value's conversion may run code that removes the entry from the dict.
template <>
struct type_caster<Values> {
    static constexpr auto name = const_name("Dict[str, float]");

    bool load(handle source, bool convert) {
        if (!PyDict_Check(source.ptr())) return false;
        Values loaded;
        loaded.reserve(static_cast<std::size_t>(PyDict_Size(source.ptr())));
        PyObject* key = nullptr;
        PyObject* item = nullptr;
        Py_ssize_t position = 0;
        while (PyDict_Next(source.ptr(), &position, &key, &item)) {
            const object held_key = reinterpret_borrow<object>(key);
            const object held_item = reinterpret_borrow<object>(item);
            std::string_view text;
            double number = 0;
            if (!text_of(key, text)) return false;
            std::string owned(text);
            if (!number_of(item, convert, number)) return false;
            loaded.emplace(std::move(owned), number);
        }
        values = std::move(loaded);
        return true;
    }

    static handle cast(const Values& source, return_value_policy policy, handle parent) {
        return map_caster<Values, std::string, double>::cast(source, policy, parent);
    }

    template <typename>
    using cast_op_type = const Values&;
    operator const Values&() const { return values; }

private:
    Values values;
};

// The instance argument of every method. pybind11 would let None through as a null instance
// (func.valid(None)), and would hand a method raw, unconstructed memory for an instance made by
// func.__new__ without __init__, which has no engine object yet. Neither converts here, so such a call
// raises the usual TypeError listing the registrations.
template <>
class type_caster<Engine> : public type_caster_base<Engine> {
public:
    bool load(handle source, bool convert) {
        if (source.is_none()) return false;
        if (PyObject_TypeCheck(source.ptr(), typeinfo->type)) {
            const value_and_holder held =
                reinterpret_cast<instance*>(source.ptr())->get_value_and_holder(typeinfo, false);
            if (!held || !held.holder_constructed()) return false;
        }
        return type_caster_base<Engine>::load(source, convert);
    }
};

}  // namespace pybind11::detail

namespace {

// eval is the call that a user makes in a loop, and pybind11's dispatcher (an argument tuple, per-call
// vectors, a hashed type lookup for the instance, a map built from the dict) costs several times the
// evaluation. The usual calls on a live instance of func itself, without values or with one dict whose
// keys are text and whose values are floats, ints or bools, are therefore taken directly through the
// interpreter's vectorcall protocol; each value goes straight to the variable it names, without a map
// in between. It takes part
// in the interpreter's recursion limit, calls the same engine operation with the same values, and
// translates exceptions as the dispatcher does. Every other call goes to pybind11's own dispatcher
// unchanged, so what a caller can observe is the same either way.
PyTypeObject* func_type = nullptr;

// The values of one call, each in the place of the variable it names in the engine's variable table,
// in the table's iteration order. A table of more variables than `slots` gets a map instead.
class DirectValues {
public:
    static constexpr std::size_t slots = 16;

    // Reads the dict's entries in order as the values dict converts in the non-converting pass; false
    // for a dict that needs the converting pass or does not convert at all. No Python code runs here.
    bool load(const Values& variables, PyObject* dict) {
        count = variables.size();
        if (count > slots) {
            many.emplace();
        } else {
            std::size_t i = 0;
            for (const auto& entry : variables) names[i++] = &entry.first;
        }
        PyObject* key = nullptr;
        PyObject* item = nullptr;
        Py_ssize_t position = 0;
        while (PyDict_Next(dict, &position, &key, &item)) {
            std::string_view text;
            double number = 0;
            if (!text_of(key, text) || !number_of(item, false, number)) return false;
            if (count > slots) {
                many->emplace(std::string(text), number);
                continue;
            }
            for (std::size_t i = 0; i < count; ++i) {
                if (*names[i] != text) continue;
                if (!given[i]) numbers[i] = number;  // the first of two equal keys wins
                given[i] = true;
                break;
            }
        }
        return true;
    }

    double evaluate(Engine& engine) const {
        if (many) return engine.eval(*many);
        std::size_t next = 0;  // eval_with asks for the variables in the table's iteration order
        return engine.eval_with([&](const std::string&) -> const double* {
            const std::size_t i = next++;
            return given[i] ? &numbers[i] : nullptr;
        });
    }

private:
    std::size_t count = 0;
    const std::string* names[slots];
    double numbers[slots];
    std::array<bool, slots> given{};
    std::optional<Values> many;
};

// Hands the call to the dispatcher that pybind11 registered, in the tuple-and-dict form it takes.
PyObject* dispatch_generally(PyObject* callable, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    auto* function = reinterpret_cast<PyCFunctionObject*>(callable);
    const Py_ssize_t count = PyVectorcall_NARGS(nargsf);
    PyObject* positional = PyTuple_New(count);
    if (positional == nullptr) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        Py_INCREF(args[i]);
        PyTuple_SET_ITEM(positional, i, args[i]);
    }
    PyObject* keywords = nullptr;
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        keywords = PyDict_New();
        for (Py_ssize_t i = 0; keywords != nullptr && i < PyTuple_GET_SIZE(kwnames); ++i) {
            if (PyDict_SetItem(keywords, PyTuple_GET_ITEM(kwnames, i), args[count + i]) != 0) Py_CLEAR(keywords);
        }
        if (keywords == nullptr) {
            Py_DECREF(positional);
            return nullptr;
        }
    }
    auto* dispatcher = reinterpret_cast<PyCFunctionWithKeywords>(reinterpret_cast<void (*)()>(function->m_ml->ml_meth));
    PyObject* result = dispatcher(function->m_self, positional, keywords);
    Py_DECREF(positional);
    Py_XDECREF(keywords);
    return result;
}

// The engine object of a live instance of func itself; null for anything else.
Engine* live_engine(PyObject* self) {
    if (Py_TYPE(self) != func_type) return nullptr;
    auto* instance = reinterpret_cast<py::detail::instance*>(self);
    if (!instance->simple_layout || !instance->simple_holder_constructed) return nullptr;
    return static_cast<Engine*>(instance->simple_value_holder[0]);
}

PyObject* eval_directly(PyObject* callable, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    const Py_ssize_t count = PyVectorcall_NARGS(nargsf);
    const bool positional = kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0;
    Engine* engine = positional && (count == 1 || count == 2) ? live_engine(args[0]) : nullptr;
    DirectValues values;
    if (engine == nullptr || (count == 2 && (!PyDict_Check(args[1]) || !values.load(engine->vars(), args[1])))) {
        return dispatch_generally(callable, args, nargsf, kwnames);
    }
    // Unlike the dispatcher, no frame for temporaries that conversions keep alive: the values are
    // converted already, and a callable's result converts as a double, which keeps nothing.
    try {
        return PyFloat_FromDouble(count == 1 ? std::as_const(*engine).eval() : values.evaluate(*engine));
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

// A call through the dispatcher counts one level against the recursion limit, where the interpreter
// calls the function; so does this path, with the same message.
PyObject* eval_vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    if (Py_EnterRecursiveCall(" while calling a Python object") != 0) return nullptr;
    PyObject* result = eval_directly(callable, args, nargsf, kwnames);
    Py_LeaveRecursiveCall();
    return result;
}

// Points the eval function that pybind11 made at eval_vectorcall; its dispatcher, name, signatures and
// docstring stay as they are.
void take_eval_calls_directly(const py::handle& cls) {
    func_type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    PyObject* method = PyDict_GetItemString(func_type->tp_dict, "eval");
    if (method == nullptr || !PyInstanceMethod_Check(method)) return;
    PyObject* function = PyInstanceMethod_GET_FUNCTION(method);
    if (!PyCFunction_Check(function) || (PyCFunction_GET_FLAGS(function) & (METH_VARARGS | METH_KEYWORDS)) != (METH_VARARGS | METH_KEYWORDS)) return;
    reinterpret_cast<PyCFunctionObject*>(function)->vectorcall = eval_vectorcall;
}

}  // namespace

// ---- Construction of pybind11's base type, and pickling ----------------------------------------------
//
// Pickle protocols 0 and 1 reduce an object through copyreg._reduce_ex, which calls the nearest base type
// that defines its own __new__ with the object: for func that is pybind11_object, the base type that every
// pybind11 module of the same internals version in the process shares. Its __new__ (pybind11_object_new)
// throws a C++ exception for a type that has no registered C++ class, such as pybind11_object itself; the
// exception leaves through C frames that have no cleanups to run: CPython's type_call, pybind11's metaclass
// call (C linkage, no handler), then the interpreter's call machinery, evaluation loop and pickler. With no C++ handler up the stack that is std::terminate; with one
// (pickle called from a callable that eval runs), the interpreter is left with frames it never popped.
//
// The base's tp_new is therefore wrapped so that a failure becomes a Python exception. CPython's __new__
// (tp_new_wrapper) refuses X.__new__(Y) unless the nearest static base of Y has X's tp_new, so every type
// that inherited the base's tp_new takes the wrapper too; types made later inherit it. Nothing else of the
// base changes, and a construction that succeeds runs exactly as before.
namespace {

newfunc unguarded_new = nullptr;

bool lacks_cpp_class(PyTypeObject* type) {
    try {
        return py::detail::all_type_info(type).empty();
    } catch (const std::exception&) {
        return false;
    }
}

extern "C" PyObject* new_or_python_error(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    try {
        return unguarded_new(type, args, kwargs);
#ifdef __GLIBCXX__
    } catch (abi::__forced_unwind&) {
        throw;
#endif
    } catch (...) {
        if (lacks_cpp_class(type)) {
            // What CPython says of a type that it cannot instantiate.
            PyErr_Format(PyExc_TypeError, "cannot create '%.200s' instances", type->tp_name);
        } else if (!py::detail::apply_exception_translators(py::detail::get_local_internals().registered_exception_translators) &&
                   !py::detail::apply_exception_translators(py::detail::get_internals().registered_exception_translators)) {
            PyErr_SetString(PyExc_SystemError, "Exception escaped from default exception translator!");
        }
        return nullptr;
    }
}

void guard_base_construction() {
    auto* base = reinterpret_cast<PyTypeObject*>(py::detail::get_internals().instance_base);
    if (base->tp_new == new_or_python_error) return;
    unguarded_new = base->tp_new;
    const py::object subclasses_of = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type)).attr("__subclasses__");
    std::vector<PyTypeObject*> pending{base};
    while (!pending.empty()) {
        PyTypeObject* type = pending.back();
        pending.pop_back();
        if (type->tp_new == unguarded_new) type->tp_new = new_or_python_error;
        for (const py::handle subclass : subclasses_of(py::handle(reinterpret_cast<PyObject*>(type)))) {
            pending.push_back(reinterpret_cast<PyTypeObject*>(subclass.ptr()));
        }
    }
}

// func reduces at every protocol as at protocol 2, where CPython refuses it with a TypeError; copyreg's
// table reaches the exact type only, so the class itself gains no member. (A subclass pickled with protocol
// 0 or 1 still goes through copyreg._reduce_ex and gets the TypeError of the base's construction.)
PyObject* reduce_as_protocol_two(PyObject*, PyObject* object) {
    return PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyBaseObject_Type), "__reduce_ex__", "Oi", object, 2);
}

PyMethodDef reduce_definition{"reduce_as_protocol_two", reduce_as_protocol_two, METH_O, nullptr};

void reduce_every_protocol_alike(const py::handle& cls) {
    const py::object reduce = py::reinterpret_steal<py::object>(PyCFunction_New(&reduce_definition, nullptr));
    if (!reduce) throw py::error_already_set();
    py::module_::import("copyreg").attr("pickle")(cls, reduce);
}

}  // namespace

// ---- Python callables given to add_func, and daemon threads at interpreter exit --------------------------
//
// A daemon thread that runs eval while the interpreter exits is ended by CPython when it next tries to take
// the interpreter lock back (after a callable released it, as time.sleep does): take_gil calls pthread_exit,
// which unwinds the thread's stack with a forced unwind. By then the main thread is finalizing and has freed
// the daemon thread's PyThreadState. The unwinding would run, without the lock:
//   - pybind11's callable wrapper (functional.h): the argument tuple's reference count drops to zero and the
//     tuple is deallocated (GC lists, trash-can counters and free lists of the interpreter being finalized),
//     and gil_scoped_acquire's destructor writes the freed PyThreadState's gilstate_counter;
//   - the engine: the evaluation's scope clears the trees retired during it, whose callables' destructors
//     take the lock again (a second pthread_exit inside a destructor: std::terminate), and the guards of the
//     walk write into a tree that the main thread may be destroying along with the func object.
// No destructor above can be made safe from here, so a Python callable is held and called by
// PythonFunction instead of pybind11's wrapper, and a forced unwind that the exiting interpreter started
// stops at the innermost frame of this module that called into the interpreter: the thread waits there
// until the process ends, as if it had never got the lock back, and nothing above it runs.
namespace {

bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// Runs `step`, which calls into the interpreter and holds no Python object in a C++ destructor.
template <typename Step>
void call_into_interpreter(Step&& step) {
#ifdef __GLIBCXX__
    try {
        step();
    } catch (abi::__forced_unwind&) {
        if (interpreter_finalizing()) {
            for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
        }
        throw;
    }
#else
    step();
#endif
}

// A Python callable as a one-argument engine function: what pybind11's wrapper does (the lock held, the
// argument passed as a float, the result converted as pybind11 converts it, the same exceptions), with the
// call and every reference that may free an object made through call_into_interpreter.
class PythonFunction {
public:
    explicit PythonFunction(py::function callable) : function(std::move(callable)) {}
    PythonFunction(const PythonFunction& other) {
        const py::gil_scoped_acquire gil;
        function = other.function;
    }
    PythonFunction(PythonFunction&&) noexcept = default;
    PythonFunction& operator=(const PythonFunction&) = delete;
    ~PythonFunction() {
        if (!function) return;
        const py::gil_scoped_acquire gil;
        PyObject* held = function.release().ptr();
        call_into_interpreter([held] { Py_XDECREF(held); });
    }

    double operator()(double argument) const {
        const py::gil_scoped_acquire gil;
        double result = 0;
        call_into_interpreter([&] { result = call(argument); });
        return result;
    }

private:
    double call(double argument) const {
        PyObject* number = PyFloat_FromDouble(argument);
        if (number == nullptr) throw py::error_already_set();
        PyObject* returned = PyObject_CallOneArg(function.ptr(), number);
        Py_DECREF(number);
        if (returned == nullptr) throw py::error_already_set();
        double result = 0;
        try {
            result = py::cast<double>(py::handle(returned));
#ifdef __GLIBCXX__
        } catch (abi::__forced_unwind&) {
            throw;
#endif
        } catch (...) {
            Py_DECREF(returned);
            throw;
        }
        Py_DECREF(returned);
        return result;
    }

    py::function function;
};

// The function argument of add_func. pybind11's own conversion decides what is accepted (None, a callable,
// a stateless C++ function) and names the type in the signature; a Python callable that it wrapped is then
// held by a PythonFunction instead.
struct AddedFunction {
    exprkit::UnaryFunction<double> function;
};

}  // namespace

namespace pybind11::detail {

template <>
struct type_caster<AddedFunction> {
    PYBIND11_TYPE_CASTER(AddedFunction, make_caster<exprkit::UnaryFunction<double>>::name);

    bool load(handle source, bool convert) {
        make_caster<exprkit::UnaryFunction<double>> general;
        if (!general.load(source, convert)) return false;
        value.function = cast_op<exprkit::UnaryFunction<double>&&>(std::move(general));
        if (!source.is_none() && value.function.target<double (*)(double)>() == nullptr) {
            value.function = PythonFunction(reinterpret_borrow<function>(source));
        }
        return true;
    }
};

}  // namespace pybind11::detail

PYBIND11_MODULE(exprkit, m) {
    auto cls = py::class_<Engine>(m, "func")
        .def(py::init<const std::string&>())
        .def(py::init<>())
        .def("init", &Engine::init)
        .def("valid", &Engine::valid)
        .def("eval", py::overload_cast<const Values&>(&Engine::eval))
        .def("eval", py::overload_cast<>(&Engine::eval, py::const_))
        .def("vars", &Engine::vars)
        .def("add_func", [](Engine& self, const std::string& name, AddedFunction added) {
            self.add_func(name, std::move(added.function));
        })
        .def("avail_funcs", &Engine::avail_funcs);
    take_eval_calls_directly(cls);
    guard_base_construction();
    reduce_every_protocol_alike(cls);
}
