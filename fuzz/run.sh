#!/usr/bin/env bash
# fuzz/run.sh TARGET SECONDS: builds the target (into build-fuzz/) and fuzzes it for that long,
# one process at a time. New inputs collect in build-fuzz/corpus/TARGET, findings in
# build-fuzz/findings/TARGET/; fuzz/merge.sh TARGET folds the new inputs into the committed corpus.
# Extra arguments after SECONDS go to libFuzzer as they are.
set -euo pipefail
source "$(dirname "$0")/common.sh"

if [ $# -lt 2 ]; then
    echo "usage: fuzz/run.sh TARGET SECONDS [libFuzzer flags]  (TARGET: $targets)" >&2
    exit 2
fi
target=${1#fuzz_}
seconds=$2
shift 2
known_target "$target"

build_targets "fuzz_$target"
work="$build/corpus/$target"
findings="$build/findings/$target"
logs="$build/logs"
mkdir -p "$work" "$findings" "$logs"
dict=()
if [ -f "$root/fuzz/$target.dict" ]; then dict=(-dict="$root/fuzz/$target.dict"); fi

# New inputs go to the first directory only, so the committed corpus is read, never written.
# libFuzzer stops at its first finding; the session then restarts on the grown corpus until the
# time is used up, so one known slow input does not end it early.
deadline=$((SECONDS + seconds))
executions=0
findings_seen=0
summary=""
while [ $((deadline - SECONDS)) -gt 5 ] && [ "$findings_seen" -lt 20 ]; do
    log="$logs/$target-$(date +%Y%m%d-%H%M%S).log"
    status=0
    "$build/fuzz_$target" "$work" "$root/fuzz/corpus/$target" "${dict[@]}" \
        -max_total_time=$((deadline - SECONDS)) -timeout=10 -rss_limit_mb=5120 -max_len=4096 \
        -print_final_stats=1 -artifact_prefix="$findings/" "$@" >"$log" 2>&1 || status=$?
    runs=$(grep -oE 'stat::number_of_executed_units: [0-9]+' "$log" | grep -oE '[0-9]+$' || echo 0)
    executions=$((executions + runs))
    line=$(grep -E '^#[0-9]+' "$log" | tail -1 || true)
    if [ -n "$line" ]; then summary=$line; fi
    if [ "$status" -eq 0 ]; then break; fi
    findings_seen=$((findings_seen + 1))
    echo "FINDING (libFuzzer exit $status, log $log):"
    grep -E 'ERROR: |finding: |SUMMARY: |Test unit written to' "$log" | head -6
done

# The last status line carries the coverage of the whole corpus.
echo "target:     fuzz_$target ($seconds s requested, $((SECONDS - deadline + seconds)) s used)"
echo "executions: $executions"
echo "coverage:   $(echo "$summary" | grep -oE 'cov: [0-9]+ ft: [0-9]+' || echo '?')"
echo "corpus:     $(echo "$summary" | grep -oE 'corp: [0-9]+/[0-9]+[a-zA-Z]*' || echo '?')"
echo "findings:   $findings_seen (inputs in $findings/)"
[ "$findings_seen" -eq 0 ]
