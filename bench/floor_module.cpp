// The cost floors of a call on this machine, built by bench/compare.py with the pybind11 that builds the
// module: an empty pybind11 method, one that only converts the same dict that exprkit's eval converts,
// and the least that any eval of a dict must do: a method taken directly by vectorcall, as exprkit's
// eval is, that walks the dict converting every value and returns a float.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <unordered_map>

namespace py = pybind11;

struct Floor {};

namespace {

PyObject* walk(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject*) {
    if (PyVectorcall_NARGS(nargsf) != 2 || !PyDict_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "walk(dict)");
        return nullptr;
    }
    double sum = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t position = 0;
    while (PyDict_Next(args[1], &position, &key, &value)) {
        sum += PyFloat_Check(value) ? PyFloat_AS_DOUBLE(value) : PyLong_AsDouble(value);
    }
    return PyFloat_FromDouble(sum);
}

}  // namespace

PYBIND11_MODULE(exprkit_floor, m) {
    auto cls = py::class_<Floor>(m, "Floor")
        .def(py::init<>())
        .def("nothing", [](Floor&) {})
        .def("convert", [](Floor&, const std::unordered_map<std::string, double>& values) {
            return static_cast<double>(values.size());
        })
        .def("walk", [](Floor&, const py::dict&) { return 0.0; });
    // Takes walk's calls directly, as exprkit takes eval's.
    PyObject* method = PyDict_GetItemString(reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_dict, "walk");
    reinterpret_cast<PyCFunctionObject*>(PyInstanceMethod_GET_FUNCTION(method))->vectorcall = walk;
}
