#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang into build-fuzz/ and runs each for a bounded time,
# on a copy of its seed corpus (the committed seeds are never changed).
#
#   tests/fuzz/run.sh [harness...]     all harnesses when none is named
#
# KELVANE_FUZZ_SECONDS  seconds per harness (default 60)
# KELVANE_FUZZ_ARGS     more libFuzzer options for every harness, e.g. "-fork=4"
#
# Exits non-zero when a harness fails: its log and the input that broke it are kept in
# build-fuzz/findings/<harness>/ (replay: build-fuzz/tests/fuzz/fuzz_<harness> <input>).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build="$root/build-fuzz"
seconds=${KELVANE_FUZZ_SECONDS:-60}
read -r -a extra <<<"${KELVANE_FUZZ_ARGS:-}"
if [[ $# -gt 0 ]]; then
    harnesses=("$@")
else
    harnesses=(list_reader name_rule site_builder encoding ini_file server_dump layouts nginx cert dns)
fi

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKELVANE_BUILD_FUZZERS=ON -DKELVANE_BUILD_UI=OFF -DKELVANE_BUILD_TESTS=OFF -DKELVANE_BUILD_CLI=OFF
targets=()
for name in "${harnesses[@]}"; do
    targets+=("fuzz_$name")
done
cmake --build "$build" --target "${targets[@]}"

# The corpus copies and the harnesses' own temporary files go in one scratch directory.
scratch=$(mktemp -d -p /dev/shm kelvane-fuzz.XXXXXX 2>/dev/null || mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export TMPDIR="$scratch"

status=0
for name in "${harnesses[@]}"; do
    corpus="$scratch/corpus-$name"
    findings="$build/findings/$name"
    rm -rf "$findings"
    mkdir -p "$findings" "$corpus"
    cp -R "$root/tests/fuzz/corpus/$name/." "$corpus/"
    # A list line is only cut past 8193 bytes: that reader gets inputs long enough to have one.
    max_len=4096
    if [[ $name == list_reader ]]; then
        max_len=20000
    fi

    start=$SECONDS
    result=ok
    if ! "$build/tests/fuzz/fuzz_$name" -max_total_time="$seconds" -max_len="$max_len" -timeout=20 \
        -print_final_stats=1 -artifact_prefix="$findings/" "${extra[@]}" "$corpus" >"$findings/log.txt" 2>&1; then
        result=FAILED
    fi
    # A finding is an input libFuzzer kept, whatever the exit code.
    for kind in crash leak timeout oom; do
        if compgen -G "$findings/$kind-*" >/dev/null; then
            result=FAILED
        fi
    done
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$findings/log.txt" | head -n 1)
    echo "fuzz_$name: $result after $((SECONDS - start)) s, ${runs:-?} runs"
    if [[ $result != ok ]]; then
        status=1
        grep -E 'property broken|ERROR:|SUMMARY:|Test unit written' "$findings/log.txt" || tail -n 20 "$findings/log.txt"
    fi
done
exit "$status"
