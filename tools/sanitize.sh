#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer into
# its own virtual environment and runs the test suite under them: every test but
# those marked python_only, heavy tests whose own work is Python (type checks, the
# Makefile, the stand-ins, Dask clusters), which would only slow the run down.
#
# The interpreter is not instrumented, so the sanitizer runtimes are preloaded
# into it, and the allocators that would hide memory from ASan are switched to
# plain malloc: CPython's small-object allocator (PYTHONMALLOC=malloc) and
# Arrow's jemalloc/mimalloc pool (ARROW_DEFAULT_MEMORY_POOL=system).
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3.11}
VENV=${VENV:-.venv-sanitize}
if [ ! -x "$VENV/bin/python" ]; then
    "$PYTHON" -m venv "$VENV"
    "$VENV/bin/python" -m pip install --quiet --upgrade pip
fi
"$VENV/bin/python" -m pip install --quiet ./platform_standins
"$VENV/bin/python" -m pip install --quiet \
    --config-settings=cmake.define.LIGHT_DATA_SANITIZE=ON \
    --config-settings=cmake.define.LIGHT_DATA_WERROR=ON \
    --config-settings=cmake.build-type=Debug \
    --config-settings=build-dir=build/sanitize ".[test]"

runtimes="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
export LD_PRELOAD="$runtimes"
export PYTHONMALLOC=malloc
export ARROW_DEFAULT_MEMORY_POOL=system
# LeakSanitizer stays off: at exit the interpreter deliberately keeps objects
# alive (interned strings, module state, caches of pandas and numpy), which it
# would report as leaks, and every Python allocation passes through
# libpython, so no suppression could tell ours apart. Our references are
# checked by the leak tests instead, in the ordinary test run: reference
# counts stay flat over many calls, and so do the allocated blocks. Here,
# with PYTHONMALLOC=malloc, sys.getallocatedblocks() is always 0, so only
# their reference-count checks mean anything.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_string_checks=1:check_initialization_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
exec "$VENV/bin/python" -m pytest -p no:cacheprovider -q -m "not python_only" "$@"
