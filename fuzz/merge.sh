#!/usr/bin/env bash
# fuzz/merge.sh TARGET: replaces the committed corpus of TARGET with a small set of its inputs and
# of build-fuzz/corpus/TARGET that reaches the same code edges. Hit counts are left out of the
# comparison (-use_counters=0): that keeps about a third of the inputs and every edge, and a
# fuzzing session grows the finer variety back in its own working corpus within minutes.
set -euo pipefail
source "$(dirname "$0")/common.sh"
target=${1#fuzz_}
known_target "$target"

build_targets "fuzz_$target"
merged=$(mktemp -d)
trap 'rm -rf "$merged"' EXIT
mkdir -p "$build/corpus/$target"
"$build/fuzz_$target" -merge=1 -use_counters=0 -timeout=10 -rss_limit_mb=5120 "$merged" \
    "$root/fuzz/corpus/$target" "$build/corpus/$target" 2>&1 | grep -E "MERGE-OUTER: [0-9]+ new files" || true
# Saved findings are replayed from regressions/ already; libFuzzer names inputs by their SHA-1.
if [ -d "$root/fuzz/regressions/$target" ]; then
    for finding in "$root/fuzz/regressions/$target"/*; do
        rm -f "$merged/$(sha1sum "$finding" | cut -d' ' -f1)"
    done
fi
rm -rf "$root/fuzz/corpus/$target"
mkdir -p "$root/fuzz/corpus/$target"
cp "$merged"/* "$root/fuzz/corpus/$target/"
echo "merge.sh: fuzz/corpus/$target holds $(ls "$root/fuzz/corpus/$target" | wc -l) inputs"
