// Expression<double> compiled once, for the CMake target exprkit::compiled: a file that includes
// expression.hpp with EXPRKIT_COMPILED defined (as that target defines it) uses these members instead of
// compiling its own.
#include "expression_inl.hpp"

template class exprkit::Expression<double>;
