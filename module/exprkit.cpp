// The Python module exprkit: the class func wraps one Expression<double>. Each method converts its
// arguments with pybind11's standard conversions, calls one engine operation and converts the result;
// engine exceptions reach Python through pybind11's default translation.
#include <pybind11/functional.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <exprkit/expression.hpp>

namespace py = pybind11;
using Engine = exprkit::Expression<double>;

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
