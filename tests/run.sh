#!/usr/bin/env bash
# Runs every test of exprkit, on a fresh machine too: installs the Debian packages named below that are
# missing, builds and runs the engine's GoogleTest suite (plainly, under clang's AddressSanitizer and
# UndefinedBehaviorSanitizer, under GCC's UndefinedBehaviorSanitizer, with clang's libc++ without run-time
# type information, and under ThreadSanitizer), fuzzes the engine for a minute, builds a small project
# against the installed CMake package, installs the module and runs pytest and mypy.
# The Python side runs in a virtual environment, never in the system's Python (which Debian and Ubuntu
# mark as externally managed): the active one when there is one, otherwise build/venv, made from
# ${PYTHON:-python3} on the first run and kept.
# Nothing outside the checkout changes but those packages and the virtual environment: the test locale and
# pip's cache are made under build/.
# Exits non-zero on the first failure.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=${JOBS:-$(nproc)}  # JOBS=1 leaves a core to other work
base_python=${PYTHON:-python3}
venv=${VIRTUAL_ENV:-$root/build/venv}

step() { printf '\n== %s\n' "$*"; }
# The engine's tests in the build directory $1; they find the test locale (made below) in build/locale.
engine_tests() { (cd "$1" && LOCPATH="$root/build/locale${LOCPATH:+:$LOCPATH}" ctest --output-on-failure -j "$jobs"); }
export PIP_CACHE_DIR=${PIP_CACHE_DIR:-$root/build/pip-cache}

packages=()
[ -f /usr/include/gtest/gtest.h ] || packages+=(libgtest-dev)
{ command -v c++ && command -v g++; } >/dev/null || packages+=(g++)
command -v clang++ >/dev/null || packages+=(clang)
ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || packages+=(libclang-rt-14-dev)
[ -f /usr/lib/llvm-14/include/c++/v1/vector ] || packages+=(libc++-14-dev)
[ -f /usr/lib/llvm-14/lib/libc++abi.so ] || packages+=(libc++abi-14-dev)
[ -d /usr/src/googletest/googletest ] || packages+=(googletest)
[ -f /usr/share/i18n/locales/de_DE ] || packages+=(locales)
if [ -z "${VIRTUAL_ENV:-}" ]; then
  # Debian's Python makes virtual environments only with python3-venv (and builds modules only with
  # the headers of python3-dev, below).
  "$base_python" -c 'import ensurepip, venv' 2>/dev/null || packages+=(python3-venv)
fi
"$base_python" -c 'import os, sys, sysconfig; sys.exit(not os.path.exists(sysconfig.get_paths()["include"] + "/Python.h"))' ||
  packages+=(python3-dev)
if [ ${#packages[@]} -gt 0 ]; then
  step "installing ${packages[*]}"
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${packages[@]}" >/dev/null
fi

if [ -n "${VIRTUAL_ENV:-}" ]; then
  "$venv/bin/python" -c '' || { echo "the active virtual environment $venv has no working python" >&2; exit 1; }
elif [ ! -x "$venv/bin/python" ] || ! "$venv/bin/python" -c '' 2>/dev/null; then
  step "making a virtual environment in $venv"
  rm -rf "$venv"
  "$base_python" -m venv "$venv"
fi
python="$venv/bin/python"
export PATH="$venv/bin:$PATH"
echo "Python: $("$python" -c 'import sys; print(sys.prefix, sys.version.split()[0])')"
command -v cmake >/dev/null || "$python" -m pip install -q cmake
command -v ninja >/dev/null || "$python" -m pip install -q ninja
"$python" -m pip install -q -r tests/requirements.txt

# A locale with a decimal comma, so the tests can show that numbers are read without regard to it: made
# in build/locale, not in the system's locales.
if [ ! -f build/locale/de_DE.UTF-8/LC_NUMERIC ]; then
  mkdir -p build/locale
  localedef -i de_DE -f UTF-8 build/locale/de_DE.UTF-8 >/dev/null 2>&1 || echo "note: could not generate de_DE.UTF-8"
fi

# With fused multiply-add where the processor has it: GCC then fuses products with sums, which must change no bit.
step "engine tests"
fma=$(grep -qw fma /proc/cpuinfo 2>/dev/null && echo -mfma || true)
cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DEXPRKIT_BUILD_TESTS=ON -DCMAKE_CXX_FLAGS="$fma" >/dev/null
cmake --build build/tests -j "$jobs"
engine_tests build/tests

step "engine tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ -DEXPRKIT_BUILD_TESTS=ON \
  -DCMAKE_CXX_FLAGS="-O1 -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer" >/dev/null
cmake --build build/sanitize -j "$jobs"
engine_tests build/sanitize

# Under GCC's sanitizer a constant expression that compares pointers is not constant: this build guards
# the engine's compile-time code too.
step "engine tests with GCC under UndefinedBehaviorSanitizer"
cmake -S . -B build/gcc-ubsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=g++ -DEXPRKIT_BUILD_TESTS=ON -DEXPRKIT_INSTALL=OFF \
  -DCMAKE_CXX_FLAGS="-O1 -fsanitize=undefined -fno-sanitize-recover=all" >/dev/null
cmake --build build/gcc-ubsan -j "$jobs"
engine_tests build/gcc-ubsan

step "engine tests with clang, its own standard library libc++, and no run-time type information"
cmake -S . -B build/libcxx -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS="-stdlib=libc++ -fno-rtti" \
  -DEXPRKIT_BUILD_TESTS=ON -DEXPRKIT_GTEST_SOURCE=/usr/src/googletest -DEXPRKIT_INSTALL=OFF -Wno-dev >/dev/null
cmake --build build/libcxx -j "$jobs"
engine_tests build/libcxx

step "engine tests under ThreadSanitizer"
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ -DEXPRKIT_BUILD_TESTS=ON -DEXPRKIT_INSTALL=OFF \
  -DCMAKE_CXX_FLAGS="-O1 -fsanitize=thread -fno-omit-frame-pointer" >/dev/null
cmake --build build/tsan -j "$jobs"
TSAN_OPTIONS=halt_on_error=1 engine_tests build/tsan

step "fuzzing smoke run (60 s from the seed corpus)"
cmake -S . -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DEXPRKIT_BUILD_FUZZ=ON -DEXPRKIT_BUILD_TESTS=OFF \
  -DEXPRKIT_INSTALL=OFF >/dev/null
cmake --build build/fuzz -j "$jobs"
mkdir -p build/fuzz-corpus
./build/fuzz/fuzz/fuzz_expression -max_total_time="${FUZZ_SECONDS:-60}" -timeout=10 -rss_limit_mb=4096 \
  -print_final_stats=1 build/fuzz-corpus fuzz/corpus 2>&1 | grep -E '^(Done|stat::number_of_executed_units|INFO: seed corpus)' 

step "installed CMake package (configured, without a build type, and installed as the README says)"
rm -rf build/install build/prefix
cmake -S . -B build/install -G Ninja -DEXPRKIT_BUILD_TESTS=OFF >/dev/null
grep -q '^CMAKE_BUILD_TYPE:STRING=Release$' build/install/CMakeCache.txt || { echo "not a Release build" >&2; exit 1; }
cmake --build build/install -j "$jobs" >/dev/null
cmake --install build/install --prefix "$root/build/prefix" >/dev/null
cmake -S tests/consumer -B build/consumer -G Ninja -DCMAKE_PREFIX_PATH="$root/build/prefix" -DCMAKE_CXX_FLAGS="-fno-rtti" >/dev/null
cmake --build build/consumer
./build/consumer/consumer_engine
./build/consumer/consumer_compiled
# and from the checkout, through add_subdirectory, in C++20, in a project without a build type, where the
# compiled mode's library is optimised all the same
cmake -S tests/consumer -B build/consumer-checkout -G Ninja -DEXPRKIT_SOURCE_DIR="$root" -DCMAKE_CXX_STANDARD=20 \
  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
grep -q '"command": "[^"]* -O2 [^"]*expression\.cpp' build/consumer-checkout/compile_commands.json ||
  { echo "exprkit::compiled is not optimised in a project without a build type" >&2; exit 1; }
cmake --build build/consumer-checkout
./build/consumer-checkout/consumer_engine
./build/consumer-checkout/consumer_compiled

step "module"
"$python" -m pip install -q .
# rejected.py: every call carries a "type: ignore" that --strict reports when it is unused.
"$python" -m mypy --strict --strict-bytes tests/typing/usage.py tests/typing/rejected.py examples/calc.py
"$python" -m pytest -q tests/python

# The module built on CPython's public API alone (module/internals.hpp's twins) must pass the same suite;
# the default module is put back afterwards.
step "module on the public API alone"
"$python" -m pip install -q . -Ccmake.define.EXPRKIT_PUBLIC_API=ON -Cbuild-dir=build/public-api
"$python" -m pytest -q tests/python
"$python" -m pip install -q .
