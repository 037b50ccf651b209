#!/usr/bin/env bash
# Builds the fuzz targets with clang in build-fuzz and runs each for the
# given number of seconds (default 60) on a copy of its seed corpus; new
# inputs and crash reproducers land in build-fuzz/fuzz/out/<target>/.
# Usage: fuzz/run.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(load_xml load_stream edit)

flags="-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined"
cmake -S . -B build-fuzz -G Ninja \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="-shared-libsan" -DCMAKE_SHARED_LINKER_FLAGS="-shared-libsan" \
  -DXMLVIEWER_FUZZ=ON -DXMLVIEWER_BUILD_TESTS=OFF -DXMLVIEWER_BUILD_APP=OFF >/dev/null
cmake --build build-fuzz -j2 --target "${targets[@]/%/_fuzzer}"

# The DOM library is loaded at run time and links no undefined symbols, so
# program and library share the sanitizer runtime as a shared library. The
# runtime's dlopen() wrapper is the caller the loader sees, so the program's
# RUNPATH does not apply: the library's directory goes on the search path.
export LD_LIBRARY_PATH="$PWD/build-fuzz/lib/xercesxmldom:$(dirname "$(clang++-14 -print-file-name=libclang_rt.asan-x86_64.so)")${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
# Full stacks (Xerces is built without frame pointers), so that the leak
# suppressions of the test run, which name Xerces' own frames, apply here too.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=1:verify_asan_link_order=0:fast_unwind_on_malloc=0
export LSAN_OPTIONS=suppressions="$PWD/tests/lsan.supp"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

status=0
for t in "${targets[@]}"; do
  out=build-fuzz/fuzz/out/$t
  mkdir -p "$out/corpus"
  echo "== $t: ${seconds}s"
  # -rss_limit_mb bounds memory per input: a bomb that slips through shows
  # up as an out-of-memory finding instead of taking the machine down. An
  # input that spends the whole expansion budget takes about a second, ten
  # under the sanitizers, hence the long -timeout. Fork
  # mode keeps fuzzing after a finding, so the whole time is used; every
  # finding is kept as an artifact.
  build-fuzz/fuzz/${t}_fuzzer "$out/corpus" fuzz/corpus/$t \
      -fork=1 -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1 \
      -max_total_time="$seconds" -timeout=60 -rss_limit_mb=2560 -max_len=65536 \
      -artifact_prefix="$out/" -print_final_stats=1 2>"$out/log" || true
  findings=$(find "$out" -maxdepth 1 \( -name 'crash-*' -o -name 'oom-*' -o -name 'timeout-*' -o -name 'leak-*' \) | wc -l)
  grep -E "^#[0-9]+: cov" "$out/log" | tail -n 1 || true
  echo "   findings: $findings (in $out)"
  [ "$findings" -eq 0 ] || status=1
done
exit $status
