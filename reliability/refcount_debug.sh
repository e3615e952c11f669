#!/usr/bin/env bash
# Builds the extension against Debian's debug interpreter (python3.11-dbg)
# into build/dbg and runs reliability/refcount_loop.py, which fails if any
# entry point changes the interpreter's total reference count.
#
#   reliability/refcount_debug.sh          the check
#   reliability/refcount_debug.sh --plant  self-test: a copy of the sources
#       with a reference leak planted must fail the check (builds into
#       build/dbg-plant; the sources themselves are never touched)
set -euo pipefail
source "$(dirname "$0")/common.sh"

ensure_debian_packages python3.11-dbg libpython3.11-dbg cmake ninja-build g++ binutils
python_dbg=/usr/bin/python3.11-dbg
build_dir="$root/build/dbg"

if [[ "${1:-}" == --plant ]]; then
  source_dir="$(mktemp -d)"
  trap 'rm -rf "$source_dir"' EXIT
  cp -r "$root/CMakeLists.txt" "$root/src" "$source_dir/"
  # A float argument that fails to convert keeps one reference too many.
  sed -i 's|^\(    if (value == -1.0 && PyErr_Occurred()) {\)$|\1 Py_INCREF(object);|' \
    "$source_dir/src/binding/convert_scalar.cpp"
  grep -q 'Py_INCREF(object);' "$source_dir/src/binding/convert_scalar.cpp" || { echo "plant failed" >&2; exit 2; }
  build_dir="$root/build/dbg-plant"
fi

# Debian's python3.11d/Python.h is a symlink into the release headers, so a
# plain build picks up the release pyconfig.h: no Py_DEBUG, hence inlined
# reference counting that the debug interpreter's total never sees. Force
# the debug configuration in, and make sure it took.
pyconfig="$("$python_dbg" -c 'import sysconfig; print(sysconfig.get_config_h_filename())')"
build_extension "$build_dir" "$python_dbg" -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS=-include $pyconfig"
module="$(echo "$build_dir"/src/binding/tessellon*.so)"
if ! [[ "$(nm -D --undefined-only "$module")" == *_Py_IncRef* ]]; then
  echo "$module does not count references through the interpreter: not a debug build" >&2
  exit 1
fi

status=0
PYTHONPATH="$build_dir/src/binding:$build_dir/python" timeout 600 "$python_dbg" "$reliability_dir/refcount_loop.py" || status=$?
if [[ "${1:-}" == --plant ]]; then
  if ((status == 1)); then
    echo "planted leak detected, as it must be"
    exit 0
  fi
  echo "planted leak NOT detected (status $status)" >&2
  exit 1
fi
exit "$status"
