#!/usr/bin/env bash
# Runs the pytest suite (hypothesis with few examples) and refcount_loop.py
# under valgrind's memcheck, with Debian's /usr/bin/python3 and the extension
# built for it in build/valgrind. Any memcheck error fails the run.
# valgrind.supp holds the only suppressions, all for noise below the module.
#
#   reliability/valgrind.sh              the whole suite, about 5 minutes
#   reliability/valgrind.sh -k batch     extra arguments go to pytest
set -euo pipefail
source "$(dirname "$0")/common.sh"

# The pyenv interpreters run pymalloc without valgrind support and report
# falsely; Debian's is the one memcheck understands (with PYTHONMALLOC=malloc).
ensure_debian_packages valgrind python3 python3-venv python3-dev cmake ninja-build g++
python=/usr/bin/python3
build_dir="$root/build/valgrind"
# The portable interleave kernel (asan.sh runs the suite on the BMI2 one).
build_extension "$build_dir" "$python" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSELLON_INTERLEAVE_KERNEL=portable

work="$(mktemp -d)"
trap 'report_files_at_exit "$work/memcheck.*" valgrind "memcheck errors"' EXIT
make_venv "$python" "$work/venv"
python_for_extras="$python" project_extras test >"$work/requirements.txt"
"$work/venv/bin/python" -m pip install -q --disable-pip-version-check -r "$work/requirements.txt"

export PYTHONPATH="$build_dir/src/binding:$build_dir/python:$reliability_dir"
export PYTHONMALLOC=malloc
export PYTHONDONTWRITEBYTECODE=1
export TESSELLON_HYPOTHESIS_PROFILE=few  # registered by few_examples.py
memcheck=(valgrind --tool=memcheck --error-exitcode=1 -q --num-callers=40
          "--suppressions=$reliability_dir/valgrind.supp" "--log-file=$work/memcheck.%p")

cd "$root"
"$work/venv/bin/python" -c 'import sys, tessellon; assert tessellon.__file__.startswith(sys.argv[1]), tessellon.__file__' \
  "$build_dir"
timeout 2400 "${memcheck[@]}" "$work/venv/bin/python" -m pytest tests -x -q -p no:cacheprovider -p few_examples "$@"
timeout 900 "${memcheck[@]}" "$work/venv/bin/python" "$reliability_dir/refcount_loop.py"
echo "valgrind: the suite and the loop ran"
