// The engine object behind an instance of func, for the instance argument of the nine methods, the direct
// paths and the garbage collector's walk over an instance.
#pragma once

#include <pybind11/pybind11.h>

#include <exprkit/expression.hpp>

namespace py = pybind11;

namespace exprkit::binding {

using Engine = Expression<double>;
using Values = Engine::Values;

// The engine object of an instance of func or of a Python subclass; null while there is none: before
// __init__ has run (func.__new__ alone), and while pybind11 lays out a new instance, which the garbage
// collector can already see then (its memory is zeroed, so neither layout reads as allocated).
inline Engine* engine_of(PyObject* self) {
    auto* instance = reinterpret_cast<py::detail::instance*>(self);
    if (instance->simple_layout) {
        return instance->simple_holder_constructed ? static_cast<Engine*>(instance->simple_value_holder[0]) : nullptr;
    }
    if (instance->nonsimple.values_and_holders == nullptr) return nullptr;
    const auto held = instance->get_value_and_holder(py::detail::get_type_info(typeid(Engine)), false);
    return held && held.holder_constructed() ? held.value_ptr<Engine>() : nullptr;
}

}  // namespace exprkit::binding

namespace pybind11::detail {

// The instance argument of every method. pybind11 would let None through as a null instance (func.valid(None)),
// and hand a method the unconstructed memory of an instance without an engine object: neither converts
// here, so such a call raises the usual TypeError listing the registrations.
template <>
class type_caster<exprkit::binding::Engine> : public type_caster_base<exprkit::binding::Engine> {
public:
    bool load(handle source, bool convert) {
        const bool unconstructed = PyObject_TypeCheck(source.ptr(), typeinfo->type) && !exprkit::binding::engine_of(source.ptr());
        return !source.is_none() && !unconstructed && type_caster_base<exprkit::binding::Engine>::load(source, convert);
    }
};

}  // namespace pybind11::detail
