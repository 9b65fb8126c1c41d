#!/usr/bin/env bash
# exprkit next to its C++ peers (muparser, tinyexpr, ExprTk) and hand-written C++: builds
# bench/peers_bench.cpp with g++ -O2 and prints its markdown tables, as docs/performance.md shows them.
#   bash bench/peers.sh [rounds] [bulk rounds]   (default 31 and 5; 0 rounds: the bulk rows alone)
# (CXX, CC and PYTHON choose other tools)
# It fetches the peers into build/peers: muparser from Debian's packages (apt-get, through sudo when not
# root), tinyexpr's C source from the tinex sdist and ExprTk's header from the cexprtk sdist on PyPI
# (pip download). A peer that cannot be had or built is skipped with a message. ExprTk's file takes
# about two minutes and 1.4 GB to compile, once: a later run rebuilds only what changed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/peers
mkdir -p "$build/sources"
cd "$build"
cxx=${CXX:-g++}
cc=${CC:-gcc}
flags=(-std=c++17 -O2)
tinex=tinex==0.3.1
cexprtk=cexprtk==0.4.2
# Objects that another compiler or other flags made are made again.
stamp="$cxx $cc ${flags[*]}"
[ "$(cat build.stamp 2>/dev/null)" = "$stamp" ] || { rm -f ./*.o; echo "$stamp" >build.stamp; }
objects=()
libraries=()
peers=()

skip() { echo "$1 skipped: $2" >&2; }

# Whether the file $1 is missing or older than any of the files that follow (or those under a directory).
stale() {
  local target=$1
  shift
  [ ! -f "$target" ] || [ -n "$(find "$@" -newer "$target" -print -quit)" ]
}

# compile_peer NAME FLAGS...: builds bench/peers_NAME.cpp, when it changed, into NAME.o.
compile_peer() {
  local name=$1 source=$root/bench/peers_$1.cpp
  shift
  if stale "$name.o" "$source" "$root/bench/peers.hpp"; then
    "$cxx" "${flags[@]}" -I"$root/bench" "$@" -c "$source" -o "$name.o" || { rm -f "$name.o"; return 1; }
  fi
  objects+=("$name.o")
}

# A Python with pip, for pip download: the active virtual environment's, $PYTHON, or tests/run.sh's.
python=
for candidate in "${VIRTUAL_ENV:+$VIRTUAL_ENV/bin/python}" "${PYTHON:-python3}" "$root/build/venv/bin/python"; do
  if [ -n "$candidate" ] && "$candidate" -m pip --version >/dev/null 2>&1; then python=$candidate; break; fi
done

# fetch NAME==VERSION: that sdist, unpacked into sources/NAME-VERSION.
fetch() {
  local unpacked=sources/${1/==/-}
  [ -d "$unpacked" ] && return 0
  [ -n "$python" ] || { echo "no Python with pip to fetch $1" >&2; return 1; }
  "$python" -m pip download -q --no-binary :all: --no-deps -d downloads "$1" >fetch.log 2>&1 || { tail -3 fetch.log >&2; return 1; }
  tar -xzf "downloads/${1/==/-}.tar.gz" -C sources
}

if [ ! -f /usr/include/muParser.h ] && command -v apt-get >/dev/null; then
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  { "${sudo[@]}" apt-get update -qq && "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libmuparser-dev; } \
    >/dev/null 2>&1 || true
fi
if [ ! -f /usr/include/muParser.h ]; then
  skip muparser "Debian's libmuparser-dev could not be installed"
elif compile_peer muparser; then
  libraries+=(-lmuparser -lgomp)
  peers+=("muparser $(dpkg-query -W -f='${Version}' libmuparser-dev 2>/dev/null) from Debian's libmuparser-dev")
else
  skip muparser "its file did not compile"
fi

compile_tinyexpr() {
  local source=sources/${tinex/==/-}/tinyexpr
  if stale tinyexpr_c.o "$source/tinyexpr.c"; then
    "$cc" -O2 -c "$source/tinyexpr.c" -o tinyexpr_c.o || { rm -f tinyexpr_c.o; return 1; }
  fi
  compile_peer tinyexpr -I"$source" && objects+=(tinyexpr_c.o)
}
if ! fetch "$tinex"; then
  skip tinyexpr "the sdist of ${tinex/==/ } could not be fetched from PyPI"
elif compile_tinyexpr; then
  peers+=("tinyexpr from the sdist of ${tinex/==/ }")
else
  skip tinyexpr "its files did not compile"
fi

if ! fetch "$cexprtk"; then
  skip ExprTk "the sdist of ${cexprtk/==/ } could not be fetched from PyPI"
elif compile_peer exprtk -I"sources/${cexprtk/==/-}/3rdparty/exprtk"; then
  peers+=("ExprTk from the sdist of ${cexprtk/==/ }")
else
  skip ExprTk "its file did not compile"
fi

python_for_formulas=${python:-${PYTHON:-python3}}
"$python_for_formulas" "$root/bench/peers_formulas.py" formulas.hpp
if stale peers_bench.o "$root/bench/peers_bench.cpp" "$root/bench/peers.hpp" formulas.hpp "$root/engine"; then
  "$cxx" "${flags[@]}" -I"$root/include" -I"$root/bench" -I. -c "$root/bench/peers_bench.cpp" -o peers_bench.o
fi
"$cxx" -O2 peers_bench.o "${objects[@]}" "${libraries[@]}" -lm -o peers_bench

cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo 2>/dev/null | head -1)
echo "Machine: ${cpu:-$(uname -m)}, $(nproc) cores, $(uname -s); $("$cxx" --version | head -1), -O2."
if [ ${#peers[@]} -eq 0 ]; then echo "Peers: none."; else line=$(printf '%s; ' "${peers[@]}"); echo "Peers: ${line%; }."; fi
echo
./peers_bench "${1:-31}" "${2:-5}"
