#!/bin/sh
# Builds the packet and address fuzzers (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer)
# straight from the library sources in the release configuration, then runs each for a bounded
# time (the address fuzzer a quarter of it, at least 5 seconds) over a fresh copy of its seed
# corpus. Exits non-zero when the fuzzer finds a crash, a leak, a hang or a broken
# packet invariant; the input that caused it is left in <build dir>/artifacts/.
#
# Usage: fuzz/run.sh [seconds] [build dir]
#   seconds    how long to fuzz (default 60)
#   build dir  where to build and keep the working corpus (default build-fuzz in the source tree)
# The compiler is $FUZZ_CXX, else clang++-14 or clang++ from the path.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
seconds=${1:-60}
build=${2:-$root/build-fuzz}

if [ -n "${FUZZ_CXX:-}" ]; then
    cxx=$FUZZ_CXX
elif command -v clang++-14 >/dev/null 2>&1; then
    cxx=clang++-14
else
    cxx=clang++
fi

mkdir -p "$build/obj" "$build/artifacts"
build=$(cd "$build" && pwd)

common="-std=c++17 -g -O1 -fno-omit-frame-pointer -Wall -Wextra -Werror
        -fsanitize=address,undefined -fno-sanitize-recover=undefined
        -I$root/include -I$root/src"

# The library itself is only instrumented for coverage; libFuzzer's main comes in at the link.
objects=""
for source in ZovNetPacket ZovNet ZovAddress ZovNetDiagnostics platform/PlatformPosix; do
    object="$build/obj/$(basename "$source").o"
    # shellcheck disable=SC2086 # $common is a list of flags
    "$cxx" $common -fsanitize=fuzzer-no-link -c "$root/src/$source.cpp" -o "$object"
    objects="$objects $object"
done
for target in packet address; do
    # shellcheck disable=SC2086
    "$cxx" $common -fsanitize=fuzzer "$here/${target}_fuzzer.cpp" $objects -o "$build/${target}_fuzzer"
done

# Fuzz a copy: new inputs the run finds must not land in the tree's seed corpus.
rm -rf "$build/corpus" "$build/address_corpus"
mkdir -p "$build/corpus" "$build/address_corpus"
cp "$here"/corpus/* "$build/corpus/"
cp "$here"/address_corpus/* "$build/address_corpus/"

"$build/packet_fuzzer" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/" "$build/corpus"
# The address texts are short and their parser small: a quarter of the time covers them.
address_seconds=$((seconds / 4 > 5 ? seconds / 4 : 5))
exec "$build/address_fuzzer" -max_total_time="$address_seconds" -timeout=10 -max_len=128 \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/address-" "$build/address_corpus"
