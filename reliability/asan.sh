#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# (plus float-cast-overflow, which g++ leaves out of "undefined") into
# build/asan, then runs the C++ core tests, and the whole pytest suite and
# refcount_loop.py under the ordinary interpreter with the sanitizer runtimes
# preloaded. Any report fails the run.
#
#   reliability/asan.sh            PYTHON=... picks the interpreter (default: python)
#   reliability/asan.sh -k batch   extra arguments go to pytest
set -euo pipefail
source "$(dirname "$0")/common.sh"

ensure_debian_packages cmake ninja-build g++ libgtest-dev
python="$(command -v "${PYTHON:-python}")"
build_dir="$root/build/asan"
# The BMI2 kernel wherever the CPU has it, whatever its maker (valgrind.sh
# runs the suite on the portable one).
build_extension "$build_dir" "$python" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSELLON_INTERLEAVE_KERNEL=bmi2 \
  -DTESSELLON_SANITIZE=address,undefined,float-cast-overflow -DTESSELLON_BUILD_CORE_TESTS=ON

work="$(mktemp -d)"
# ASan writes its reports to files, so that none is lost with a child process
# whose failure a test expects; any such file fails the run. UBSan ignores
# log_path beside ASan and writes to fd 2, which pytest therefore leaves alone
# (--capture=sys): a report there ends the process with status 1.
trap 'report_files_at_exit "$work/sanitizer.*" asan "sanitizer reports"' EXIT
make_venv "$python" "$work/venv"
# The test extra holds everything the suite uses, so nothing skips.
python_for_extras="$python" project_extras test >"$work/requirements.txt"
"$work/venv/bin/python" -m pip install -q --disable-pip-version-check -r "$work/requirements.txt"

# The core tests are plain C++: there leaks are reported too.
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:log_path=$work/sanitizer" UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  timeout 600 ctest --test-dir "$build_dir" --output-on-failure -j 2 >"$work/ctest.log" || { cat "$work/ctest.log"; exit 1; }
tail -n 3 "$work/ctest.log"

export PYTHONPATH="$build_dir/src/binding:$build_dir/python"
export PYTHONMALLOC=malloc
# allocator_may_return_null: an exhausted heap must reach the extension as a
# failed allocation, as it would without ASan, not end the process.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:detect_stack_use_after_return=1:allocator_may_return_null=1:log_path=$work/sanitizer"
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# ASan must come first. libstdc++ must be there from the start too: ASan
# looks up the real __cxa_throw when it starts, and without it the first C++
# exception the extension throws fails an ASan CHECK. The extension brings
# libubsan itself.
LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
export LD_PRELOAD
export PYTHONDONTWRITEBYTECODE=1  # no __pycache__ from this run in the tree

cd "$root"
"$work/venv/bin/python" -c 'import sys, tessellon; assert tessellon.__file__.startswith(sys.argv[1]), tessellon.__file__' \
  "$build_dir"
# The one test that cannot run here: it caps the address space just above
# what the process maps, and ASan's own allocator then cannot map its books.
timeout 1800 "$work/venv/bin/python" -m pytest tests -x -q -p no:cacheprovider --capture=sys \
  --deselect tests/test_nomemory.py::test_exhausted_native_heap_is_memory_error "$@"
timeout 600 "$work/venv/bin/python" "$reliability_dir/refcount_loop.py"
echo "asan: the suite and the loop ran"
