#!/bin/sh
# Builds the fuzz target of the database reader natively and runs it: run-fuzz.sh [seconds] (default 60).
# Exits non-zero on any finding; the crashing input lands in build/fuzz/.
set -eu
seconds=${1:-60}
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
out="$repo/build/fuzz"
mkdir -p "$out/corpus"
clang++-14 -std=c++17 -g -O1 -Wall -Wextra -Werror -fsanitize=fuzzer,address,undefined \
    -fno-sanitize-recover=all -I "$repo" \
    "$repo/standin/SdbCore.cpp" "$here/FuzzSdbCore.cpp" -o "$out/fuzz-sdbcore"
# Seeds: the real databases and whatever test databases the builds have written.
for db in "$repo"/tests/realdb/*.sdb "$repo"/build/*/testdata/*.sdb; do
    [ -f "$db" ] && cp -f "$db" "$out/corpus/"
done
cd "$out"
./fuzz-sdbcore -max_total_time="$seconds" -print_final_stats=1 corpus
