// The engine's version, the same as the Python package's (pyproject.toml) and the CMake package's
// (CMakeLists.txt); tests/python/test_version.py checks that the three agree.
#pragma once

#define EXPRKIT_VERSION_MAJOR 0
#define EXPRKIT_VERSION_MINOR 1
#define EXPRKIT_VERSION_PATCH 0
#define EXPRKIT_VERSION "0.1.0"
