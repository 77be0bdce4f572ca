#!/usr/bin/env bash
# bench/asan.sh - build the extension with AddressSanitizer and
# UndefinedBehaviorSanitizer (CMake option QUORVANE_SANITIZE) into a temporary
# target, then run the whole test suite under it. Exit 0 only when every test
# passes and no sanitizer wrote a report, in this process or in any child.
#
#   bench/asan.sh [pytest arguments]       e.g.  bench/asan.sh -x tests/test_parser.py
#   bench/asan.sh -- command [args]        e.g.  bench/asan.sh -- python3 bench/fuzz_long.py --minutes 10
#
# The interpreter itself is not instrumented, so the runtime is preloaded:
#   LD_PRELOAD     libasan first (it must come before every other library), then
#                  libstdc++, so that ASan finds the real __cxa_throw to wrap
#                  (preloaded alone, it fails its first C++ throw)
#   PYTHONMALLOC   malloc: every object is its own heap block, so ASan sees a
#                  freed or overrun object, not just pymalloc's arenas
#   ASAN_OPTIONS   detect_leaks=0: the interpreter leaves memory behind at exit
#                  by design; handle_segv/sigbus/sigfpe=0: children inherit the
#                  preload, and a child killed by SIGSEGV must die of it (a test
#                  checks its status) instead of exiting 1 with an ASan report
#                  (a crash of ours still fails the run, with pytest's
#                  faulthandler traceback)
# Reports go to files under the temporary directory; any file there fails the
# run and is printed.

set -euo pipefail
cd "$(dirname "$0")/.."

started=$(date +%s)
work=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-asan.XXXXXX")
keep=${QUORVANE_ASAN_KEEP:-0}
cleanup() { if [ "$keep" = 1 ]; then echo "[asan] kept $work" >&2; else rm -rf "$work"; fi; }
trap cleanup EXIT
mkdir -p "$work/log"

echo "[asan] building into $work/site" >&2
# CMake directly, not through pip: nothing between us and the compiler can hand
# back a plain build (a cached wheel, a reused build folder, a setting dropped).
# GCC's runtime is the one preloaded below, so GCC builds (clang would leave a
# shared module's sanitizer symbols for the executable to provide).
cxx=${QUORVANE_ASAN_CXX:-g++}
py=$(python3 -c 'import sys; print(sys.executable)')
gen=(); if command -v ninja >/dev/null; then gen=(-G Ninja); fi
cmake -S . -B "$work/build" "${gen[@]}" -Wno-dev \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVANE_SANITIZE=ON \
  -DPython_EXECUTABLE="$py" -Dnanobind_DIR="$("$py" -m nanobind --cmake_dir)" >"$work/cmake.log" 2>&1 \
  && cmake --build "$work/build" >>"$work/cmake.log" 2>&1 \
  && cmake --install "$work/build" --prefix "$work/site" >>"$work/cmake.log" 2>&1 \
  || { cat "$work/cmake.log" >&2; echo "[asan] build failed" >&2; exit 1; }
cp -r python/quorvane/. "$work/site/quorvane/"
built=$(date +%s)
for so in "$work"/site/quorvane/collsweep*.so "$work"/site/quorvane/analysis*.so; do
  deps=$(ldd "$so")
  if ! grep -q libasan <<<"$deps"; then
    echo "[asan] $so is not linked with libasan: the sanitizer option did not take" >&2
    echo "$deps" >&2
    grep -i sanitize "$work/build/CMakeCache.txt" >&2 || true
    exit 1
  fi
done

asan_rt=$("$cxx" -print-file-name=libasan.so)
stdcxx=$("$cxx" -print-file-name=libstdc++.so)
for lib in "$asan_rt" "$stdcxx"; do
  [ -e "$lib" ] || { echo "[asan] runtime not found: $lib" >&2; exit 1; }
done

export LD_PRELOAD="$asan_rt $stdcxx${LD_PRELOAD:+ $LD_PRELOAD}"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS="detect_leaks=0:handle_segv=0:handle_sigbus=0:handle_sigfpe=0:log_path=$work/log/asan${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$work/log/ubsan${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
export PYTHONPATH="$work/site${PYTHONPATH:+:$PYTHONPATH}"

status=0
if [ "${1:-}" = "--" ]; then
  shift
  "$@" || status=$?
else
  python3 -m pytest -q -rs -p no:cacheprovider "$@" || status=$?
fi

reports=$(find "$work/log" -type f | sort)
if [ -n "$reports" ]; then
  echo "[asan] sanitizer reports:" >&2
  for r in $reports; do echo "== $r" >&2; cat "$r" >&2; done
  [ "$status" = 0 ] && status=1
fi
finished=$(date +%s)
echo "[asan] build $((built - started)) s, run $((finished - built)) s, exit $status" >&2
exit "$status"
