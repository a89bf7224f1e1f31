#!/usr/bin/env bash
# Runs the test suite against an AddressSanitizer + UndefinedBehaviorSanitizer build.
#
#   tools/sanitize.sh [pytest arguments...]      e.g. tools/sanitize.sh tests/test_faults.py -x
#
# Builds build/asan, assembles python/talvo with the sanitized modules in a temporary tree
# (the sources stay as they are), and runs `python -m pytest` there. The interpreter itself is
# not instrumented, so the sanitizer runtimes are preloaded and Python's allocator is bypassed
# to let ASan see every block. Leak checking is off: the interpreter keeps memory at exit by
# design. Subprocesses started by the tests inherit all of it.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
python=${PYTHON:-python}
build="$repo/build/asan"

host_testing=OFF
[ -f "$repo/tests/host_testing/module.cpp" ] && host_testing=ON

cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALVO_WERROR=ON \
      -DTALVO_SANITIZE=ON -DTALVO_HOST_TESTING="$host_testing" \
      -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
ninja -C "$build" >/dev/null

tree=$(mktemp -d "${TMPDIR:-/tmp}/talvo-asan.XXXXXX")
trap 'rm -rf "$tree"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
mkdir -p "$tree/python"
cp -R "$repo/python/talvo" "$tree/python/talvo"
find "$tree/python/talvo" \( -name '*.so' -o -name __pycache__ \) -prune -exec rm -rf {} +
cp "$build"/*.so "$tree/python/talvo/"
cp -R "$repo/tests" "$tree/tests"
find "$tree/tests" -name __pycache__ -prune -exec rm -rf {} +
cp "$repo/pyproject.toml" "$repo/README.md" "$tree/"
# The tests that read the sources (the layer rule, the README's operation table, the tools), the
# deploy recipe and the bench's WebRTC peer read them here.
cp -R "$repo/runtime_async" "$repo/host" "$repo/binding" "$repo/tools" "$repo/bench" "$repo/docs" "$tree/"

export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export PYTHONPATH="$tree/python"
# Soak, leak loops and fuzz example counts at a twentieth: each step runs many times slower here,
# and a fault these cases can find shows in the first cycles.
export TALVO_VOLUME_SCALE="${TALVO_VOLUME_SCALE:-0.05}"

cd "$tree"
# The module must come from the sanitized build, not from an installed copy.
"$python" -c "import sys, talvo.runtime_async as m; sys.exit(not m.__file__.startswith('$tree'))"
# Everything runs several times slower: give each test ten times the usual time-out.
"$python" -m pytest -p no:cacheprovider -o timeout=1200 "$@"
