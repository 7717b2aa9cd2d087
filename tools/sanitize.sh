#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs the test suite (fuzz sample included) under it. Any sanitizer report
# fails the run.
#   tools/sanitize.sh [OUT] [pytest args...]     (OUT defaults to /tmp/quarnex-sanitize)
# QUARNEX_FUZZ_EXAMPLES=N raises the fuzz sample to N examples per method.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-/tmp/quarnex-sanitize}
[[ $# -gt 0 ]] && shift
py=${PYTHON:-python}

"$root/tools/devbuild.sh" "$out" -DQUARNEX_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo

cxx=${CXX:-g++}
asan=$("$cxx" -print-file-name=libasan.so)
[[ -e $asan ]] || { echo "sanitize.sh: libasan.so not found ($asan)" >&2; exit 2; }
# The interpreter is a C program: without libstdc++ loaded up front, ASan cannot
# find the real __cxa_throw to wrap and aborts at the first C++ throw.
stdcxx=$(realpath "$("$cxx" -print-file-name=libstdc++.so)")

log=$out/sanitizer
rm -f "$log".*
# The interpreter keeps memory until exit by design: leak detection is off;
# reference leaks are the business of tests/test_leaks.py. PYTHONMALLOC=malloc
# lets ASan see every Python allocation. Reports go to $log.<pid> as well as
# stderr, so a report from a child process is not lost.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:halt_on_error=1:log_path=$log:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$log:${UBSAN_OPTIONS:-}"
export PYTHONMALLOC=malloc
export PYTHONPATH=$out/site${PYTHONPATH:+:$PYTHONPATH}

cd "$root"
status=0
LD_PRELOAD="$asan $stdcxx" "$(command -v "$py")" -m pytest -q -p no:cacheprovider "$@" || status=$?

if compgen -G "$log.*" >/dev/null; then
  echo "sanitize.sh: sanitizer reports:" >&2
  cat "$log".* >&2
  exit 1
fi
if [[ $status -ne 0 ]]; then
  echo "sanitize.sh: the tests failed (status $status)" >&2
  exit "$status"
fi
echo "sanitize.sh: no sanitizer report; tests passed"
