// The Python module exprkit: the class func and its nine method registrations, each calling one operation of
// the engine. What the module adds to a plain pybind11 binding is in the headers beside this file;
// docs/architecture.md explains it.
#include "direct_eval.hpp"  // and values.hpp, callables.hpp, instance.hpp, internals.hpp, which it builds on

#include <exception>
#include <string>

using namespace exprkit::binding;

PYBIND11_MODULE(exprkit, m) {
    // The constructors are py::init's, but set the instance up themselves (internals::construct).
    const py::detail::is_new_style_constructor constructor;
    auto cls = py::class_<Engine>(m, "func", py::custom_type_setup(collectable))
        .def("__init__", [](py::detail::value_and_holder& held, const std::string& text) {
            internals::construct<Engine>(held, text);
        }, constructor)
        .def("__init__", [](py::detail::value_and_holder& held) {
            internals::construct<Engine>(held);
        }, constructor)
        .def("init", &Engine::init)
        .def("valid", &Engine::valid)
        .def("eval", py::overload_cast<const Engine::Values&>(&Engine::eval))
        .def("eval", py::overload_cast<>(&Engine::eval, py::const_))
        .def("vars", &Engine::vars)
        .def("add_func", [](Engine& self, const std::string& name, AddedFunction added) {
            self.add_func(name, std::move(added.function));
        })
        .def("avail_funcs", &Engine::avail_funcs);
    take_calls(cls, "__init__", method<construct_directly>);
    take_calls(cls, "eval", method<eval_directly>);
    for (const char* name : {"init", "valid", "vars", "add_func", "avail_funcs"})
        take_calls(cls, name, method<no_direct_path>);
    // A step of pybind11's that fails for want of memory (a function object it could not make) throws a
    // runtime_error with Python's MemoryError set: the caller gets that MemoryError.
    py::register_local_exception_translator([](std::exception_ptr thrown) {
        if (!PyErr_Occurred() || !PyErr_ExceptionMatches(PyExc_MemoryError)) std::rethrow_exception(thrown);
    });
    // every pickle protocol refuses func as protocol 2 does (copyreg's table reaches the exact type only)
    py::module_::import("copyreg").attr("pickle")(cls, py::cpp_function([](const py::object& object) {
        return py::handle(reinterpret_cast<PyObject*>(&PyBaseObject_Type)).attr("__reduce_ex__")(object, 2);
    }));
}
