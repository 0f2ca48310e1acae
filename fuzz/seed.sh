#!/usr/bin/env bash
# Seeds the corpora from the project's own programs: every tests/programs/**/*.tasm and
# examples/*.tasm, assembled for the machine and round-trip targets and as text for the assembler
# target. Seeds are merged into what the corpora already hold, keeping only inputs that reach
# something new, so the committed corpora stay small.
set -euo pipefail
source "$(dirname "$0")/common.sh"

build_targets t4asm fuzz_machine fuzz_roundtrip fuzz_assembler
seeds=$(mktemp -d)
trap 'rm -rf "$seeds"' EXIT
mkdir -p "$seeds/images" "$seeds/texts"

count=0
while IFS= read -r -d '' source; do
    name=$(realpath --relative-to="$root" "$source" | tr '/' '_')
    name=${name%.tasm}
    cp "$source" "$seeds/texts/$name.tasm"
    # Programs that test the assembler's own errors have no image; they still seed its corpus.
    if "$build/t4asm" -o "$seeds/images/$name.t4b" "$source" 2>/dev/null; then count=$((count + 1)); fi
done < <(find "$root/tests/programs" "$root/examples" -name '*.tasm' -print0 | sort -z)
echo "seed.sh: $count images, $(ls "$seeds/texts" | wc -l) texts"

merge() {  # target seeds
    mkdir -p "$root/fuzz/corpus/$1"
    "$build/fuzz_$1" -merge=1 -use_counters=0 -timeout=10 "$root/fuzz/corpus/$1" "$2" 2>&1 | grep -E "MERGE-OUTER: [0-9]+ new files" || true
}
merge machine "$seeds/images"
merge roundtrip "$seeds/images"
merge assembler "$seeds/texts"
