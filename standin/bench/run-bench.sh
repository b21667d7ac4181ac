#!/bin/sh
# Builds the reader benchmark natively and runs it: run-bench.sh [DB.sdb...] (default: the real test databases).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
out="$repo/build/bench-standin"
mkdir -p "$out"
clang++-14 -std=c++17 -O2 -Wall -Wextra -Werror -I "$repo" \
    "$repo/standin/SdbCore.cpp" "$repo/standin/Sha256.cpp" "$here/BenchSdbCore.cpp" \
    -o "$out/bench-sdbcore"
if [ $# -eq 0 ]; then
    set -- "$repo"/tests/realdb/*.sdb
fi
"$out/bench-sdbcore" "$@"
