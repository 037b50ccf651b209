#!/usr/bin/env bash
# smoke.sh BUILD_DIR: a short run of the load and validation benchmarks on a
# small generated file. Checks only that the tools work (exit status, the
# counters, the ratio lines), never how fast: timings on a shared machine prove nothing.
set -euo pipefail
build=${1:?usage: smoke.sh BUILD_DIR}
gen=$build/bench/xmlgen
bench=$build/bench/xmlbench
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export QT_QPA_PLATFORM=offscreen

"$gen" 2 1 "$work/small.xml" >/dev/null
"$bench" "$work/small.xml" "$work/trace.txt" >"$work/report.txt" || {
  cat "$work/report.txt" >&2
  echo "smoke: xmlbench failed" >&2
  exit 1
}
cat "$work/report.txt"

fail() { echo "smoke: $*" >&2; exit 1; }
grep -Eq '^ratio time=[0-9]+\.[0-9]{2} memory=[0-9]+\.[0-9]{2}$' <(tail -n 1 "$work/report.txt") ||
  fail "the last line is not the ratio line"
for stage in scan dom load fill expand walk free total paint load-dt total-pl total-dt edit; do
  grep -Eq "^$stage +time=" "$work/report.txt" || fail "no line for stage $stage"
done
for stage in closed broken refused; do
  grep -Eq "^$stage +before=[0-9.]+MB peak=[0-9.]+MB after=[0-9.]+MB " "$work/report.txt" || fail "no line for $stage"
done
grep -Eq '^ratio-dom time=[0-9]+\.[0-9]{2} memory=[0-9]+\.[0-9]{2}$' "$work/report.txt" || fail "no ratio-dom line"
grep -Eq '^ratio-edit cpu=[0-9]+\.[0-9]{2} memory=[0-9]+\.[0-9]{2}$' "$work/report.txt" || fail "no ratio-edit line"
grep -Eq '^ratio-walk time=[0-9]+\.[0-9]{2} memory=[0-9]+\.[0-9]{2} free=[0-9]+\.[0-9]{2}$' "$work/report.txt" || fail "no ratio-walk line"
# One file, one root, and elements, texts and attributes found.
read -r _ file root elements texts attrs values _ < <(grep '^counters ' "$work/report.txt")
[ "$file" = 1 ] && [ "$root" = 1 ] || fail "file/root counters $file $root"
[ "$elements" -gt 0 ] && [ "$texts" -gt 0 ] && [ "$attrs" -gt 0 ] || fail "empty counters"
[ "$attrs" = "$values" ] || fail "attributes $attrs and values $values differ"
# The trace holds the walk: a count line before the first name line.
[ "$(head -n 1 "$work/trace.txt" | cut -d= -f1)" = ChildNodes.Count ] || fail "trace does not start with a count"
grep -q '^NodeName=record$' "$work/trace.txt" || fail "trace lacks the records"
# The validation benchmark: its grammars still declare what the generator
# writes (a validated load of the copies fails otherwise).
"$build/bench/valbench" "$work/small.xml" >"$work/valid.txt" || { cat "$work/valid.txt" >&2; fail "valbench failed"; }
grep -Eq '^ratio-valid dtd-cpu=[0-9.]+ dtd-memory=[0-9.]+ schema-cpu=[0-9.]+ schema-memory=[0-9.]+$' "$work/valid.txt" ||
  fail "no ratio-valid line"
echo "smoke: ok"
