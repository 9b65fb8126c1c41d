// The cost floor of a pybind11 call on this machine: an empty method, and one that only converts the
// same dict that exprkit's eval converts. Built by bench/compare.py.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <unordered_map>

namespace py = pybind11;

struct Floor {};

PYBIND11_MODULE(exprkit_floor, m) {
    py::class_<Floor>(m, "Floor")
        .def(py::init<>())
        .def("nothing", [](Floor&) {})
        .def("convert", [](Floor&, const std::unordered_map<std::string, double>& values) {
            return static_cast<double>(values.size());
        });
}
