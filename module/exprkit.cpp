// The Python module exprkit: the class func and its nine method registrations, each calling one operation of the engine.
// What the module adds to a plain pybind11 binding is in the headers beside this file; docs/architecture.md explains it.
#include "direct_eval.hpp"  // and callables.hpp, which it builds on

#include <string>

using namespace exprkit::binding;

PYBIND11_MODULE(exprkit, m) {
    auto cls = py::class_<Engine>(m, "func", py::custom_type_setup(collectable))
        .def(py::init<const std::string&>())
        .def(py::init<>())
        .def("init", &Engine::init)
        .def("valid", &Engine::valid)
        .def("eval", py::overload_cast<const Engine::Values&>(&Engine::eval))
        .def("eval", py::overload_cast<>(&Engine::eval, py::const_))
        .def("vars", &Engine::vars)
        .def("add_func", [](Engine& self, const std::string& name, AddedFunction added) { self.add_func(name, std::move(added.function)); })
        .def("avail_funcs", &Engine::avail_funcs);
    take_calls_directly(cls, "eval", eval_vectorcall);
    take_calls_directly(cls, "__init__", init_vectorcall);
    // every pickle protocol refuses func as protocol 2 does (copyreg's table reaches the exact type only: func gains no member)
    py::module_::import("copyreg").attr("pickle")(cls, py::cpp_function([](const py::object& object) {
        return py::handle(reinterpret_cast<PyObject*>(&PyBaseObject_Type)).attr("__reduce_ex__")(object, 2);
    }));
}
