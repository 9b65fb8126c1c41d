// func takes part in Python's cyclic garbage collection, so that a callable that refers back to its own
// func (a bound method of the object that holds it) does not keep both alive forever. An instance reports
// each reference its engine object holds, one for each copy of a Python callable (in the function table
// and the programs: each keeps the list of them), and gives them all up when the collector breaks a cycle.
#pragma once

#include "callables.hpp"
#include "instance.hpp"

#include <new>
#include <vector>

namespace exprkit::binding {

inline int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));  // an instance of a heap type holds a reference to its type
    const Engine* engine = engine_of(self);
    int stopped = 0;
    if (engine != nullptr) engine->for_each_callable([&](const UnaryFunction<double>& function) {
        const auto* python = function.target<PythonFunction>();
        if (stopped == 0 && python != nullptr && python->held() != nullptr) stopped = visit(python->held(), arg);
    });
    return stopped;
}

// Every reference is taken out of the engine object before any is released, since a finaliser that
// the release runs may use the object and change its tables and trees. The object stays usable: a
// function whose callable is gone raises ReferenceError when called.
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
}

}  // namespace exprkit::binding
