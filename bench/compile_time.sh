#!/usr/bin/env bash
# How long a file that uses the engine as the README shows takes to compile, header-only and in the
# compiled mode (with EXPRKIT_COMPILED, as the target exprkit::compiled defines it), next to a file that
# includes only <string>, <unordered_map> and <functional>: the least wall time of several runs of each.
#   bash bench/compile_time.sh [compiler] [runs]      (defaults: c++, 7; flags: -std=c++17 -O2)
set -euo pipefail
compiler=${1:-c++}
runs=${2:-7}
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat >"$work/readme.cpp" <<'CPP'
#include <exprkit/expression.hpp>

#include <string>
#include <unordered_map>

int main() {
    exprkit::Expression<double> e("3x^2+1");
    std::unordered_map<std::string, double> v{{"x", 2.0}};
    double y = e.eval(v);  // 13; e.vars() now holds x = 2
    return y == 13 ? 0 : 1;
}
CPP
cat >"$work/baseline.cpp" <<'CPP'
#include <functional>
#include <string>
#include <unordered_map>

int main() {
    std::unordered_map<std::string, double> v{{"x", 2.0}};
    std::function<double(double)> f = [](double x) { return x; };
    return f(v["x"]) == 2 ? 0 : 1;
}
CPP
least() {
    local best=""
    for _ in $(seq "$runs"); do
        local start end
        start=$(date +%s%N)
        "$compiler" -std=c++17 -O2 -I"$root/include" "${@:2}" -c "$work/$1.cpp" -o "$work/$1.o"
        end=$(date +%s%N)
        local took=$(( (end - start) / 1000000 ))
        if [ -z "$best" ] || [ "$took" -lt "$best" ]; then best=$took; fi
    done
    echo "$best"
}
readme=$(least readme)
compiled=$(least readme -DEXPRKIT_COMPILED)
baseline=$(least baseline)
echo "$("$compiler" --version | head -1), least of $runs runs: the README's snippet ${readme} ms header-only," \
     "${compiled} ms compiled; the three-header file ${baseline} ms"
