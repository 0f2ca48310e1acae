#!/usr/bin/env bash
# fuzz/check.sh: builds every fuzz target with clang (into build-fuzz/, as run.sh does) and runs
# each once over its committed corpus and regression inputs. Nothing is fuzzed; this only proves
# the targets still compile with clang and that no known input fails, which the g++ builds of
# `make test` cannot show. Without clang and its libFuzzer runtime it says so and succeeds.
set -euo pipefail
source "$(dirname "$0")/common.sh"

probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
cat >"$probe/probe.cpp" <<'EOF'
#include <cstddef>
#include <cstdint>
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t*, std::size_t) { return 0; }
EOF
if ! command -v clang++ >/dev/null 2>&1 ||
   ! clang++ -fsanitize=fuzzer,address "$probe/probe.cpp" -o "$probe/probe" >/dev/null 2>&1; then
    echo "fuzz/check.sh: skipped: no clang++ with a libFuzzer runtime (apt-get install clang libclang-rt-14-dev)"
    exit 0
fi

build_targets $(for target in $targets; do echo "fuzz_$target"; done)
for target in $targets; do
    inputs=("$root/fuzz/corpus/$target")
    if [ -d "$root/fuzz/regressions/$target" ]; then inputs+=("$root/fuzz/regressions/$target"); fi
    log="$probe/$target.log"
    # -runs=0: every input is run once, then libFuzzer stops without mutating anything.
    if ! "$build/fuzz_$target" "${inputs[@]}" -runs=0 -timeout=10 -rss_limit_mb=5120 >"$log" 2>&1; then
        cat "$log" >&2
        echo "fuzz/check.sh: fuzz_$target failed on a committed input (its log is above)" >&2
        exit 1
    fi
    echo "fuzz_$target: $(grep -E 'DONE|INITED' "$log" | tail -n 1)"
done
