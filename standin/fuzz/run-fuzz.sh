#!/bin/sh
# Builds the fuzz target of the database reader and unpacker natively and runs it: run-fuzz.sh [seconds] (default 60).
# Exits non-zero on any finding; the crashing input lands in build/fuzz/.
set -eu
seconds=${1:-60}
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
out="$repo/build/fuzz"
mkdir -p "$out/corpus"
clang++-14 -std=c++17 -g -O1 -Wall -Wextra -Werror -fsanitize=fuzzer,address,undefined \
    -fno-sanitize-recover=all -I "$repo" \
    "$repo/standin/SdbCore.cpp" "$repo/standin/SdbUnpack.cpp" "$here/FuzzSdbCore.cpp" -lz \
    -o "$out/fuzz-sdbcore"
# Seeds: the real databases and whatever test databases the builds have written, each also
# compressed by the writer.
for db in "$repo"/tests/realdb/*.sdb "$repo"/build/*/testdata/*.sdb; do
    [ -f "$db" ] && cp -f "$db" "$out/corpus/"
done
python3 - "$repo/sdbwriter" "$out/corpus" <<'EOF'
import os, sys
sys.path.insert(0, sys.argv[1])
import sdbwrite
corpus = sys.argv[2]
for name in sorted(os.listdir(corpus)):
    if name.endswith(".sdb") and not name.startswith("zdbf-"):
        with open(os.path.join(corpus, name), "rb") as f:
            data = f.read()
        if data[8:12] == b"sdbf":
            with open(os.path.join(corpus, "zdbf-" + name), "wb") as f:
                f.write(sdbwrite.compress(data))
EOF
cd "$out"
./fuzz-sdbcore -max_total_time="$seconds" -print_final_stats=1 corpus
