#!/usr/bin/env bash
# Builds the wheel and audits its stable-ABI promise:
#   - abi3audit --strict finds no symbol outside the cp311 stable ABI;
#   - the shared object exports PyInit_tessellon and nothing else;
#   - it does not link libpython;
#   - it imports and hashes under every CPython 3.11 or later on the machine
#     (Debian's, its debug build, and the pyenv ones), each in a fresh venv.
#
#   reliability/abi_audit.sh      PYTHON=... picks the building interpreter (default: python)
set -euo pipefail
source "$(dirname "$0")/common.sh"

ensure_debian_packages binutils unzip python3 python3-venv cmake ninja-build g++
python="$(command -v "${PYTHON:-python}")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

make_venv "$python" "$work/tools"
"$work/tools/bin/python" -m pip install -q --disable-pip-version-check -r "$reliability_dir/requirements.txt"
"$work/tools/bin/python" -m pip wheel -q --disable-pip-version-check "$root" -w "$work/dist" --no-deps
wheels=("$work"/dist/tessellon-*.whl)
((${#wheels[@]} == 1)) || { echo "expected one wheel, got: ${wheels[*]}" >&2; exit 1; }
wheel="${wheels[0]}"
echo "wheel: $(basename "$wheel")"
[[ "$(basename "$wheel")" == tessellon-*-cp311-abi3-*.whl ]] || { echo "not a cp311-abi3 wheel" >&2; exit 1; }

"$work/tools/bin/abi3audit" --strict --verbose "$wheel"

unzip -q "$wheel" -d "$work/unpacked"
# Every extension module (tessellon and tessellon_index._native) exports its
# own PyInit_<name> alone and does not link libpython.
mapfile -t modules < <(find "$work/unpacked" -name "*.so" | sort)
((${#modules[@]} == 2)) || { echo "expected two shared objects, got: ${modules[*]}" >&2; exit 1; }
for module in "${modules[@]}"; do
  name="$(basename "$module")"
  name="${name%%.*}"
  exported="$(nm -D --defined-only "$module" | awk '{print $NF}')"
  if [[ "$exported" != "PyInit_$name" ]]; then
    echo "$module exports other symbols than PyInit_$name:" >&2
    echo "$exported" >&2
    exit 1
  fi
  needed="$(readelf -d "$module" | grep NEEDED || true)"
  echo "$(basename "$module"): $needed"
  if [[ "$needed" == *libpython* ]]; then
    echo "$module links libpython" >&2
    exit 1
  fi
done

# Every CPython 3.11 or later, each once however many names (or pyenv shims)
# it goes by.
declare -A seen=()
interpreters=()
pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
for candidate in "$python" /usr/bin/python3 /usr/bin/python3.1[1-9] /usr/bin/python3.1[1-9]-dbg \
                 "$pyenv_root"/versions/3.1[1-9]*/bin/python3; do
  [[ -x "$candidate" ]] || continue
  real="$("$candidate" -c 'import os, sys
if sys.implementation.name == "cpython" and sys.version_info >= (3, 11):
    print(os.path.realpath(sys.executable))' 2>/dev/null)" || continue
  [[ -n "$real" && -z "${seen[$real]:-}" ]] || continue
  seen[$real]=1
  interpreters+=("$real")
done
((${#interpreters[@]})) || { echo "no CPython 3.11 or later found" >&2; exit 1; }

for i in "${!interpreters[@]}"; do
  venv="$work/venv-$i"
  "${interpreters[$i]}" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-index --no-deps "$wheel"
  # From an empty folder, so that only the installed wheel can be imported.
  (cd "$(mktemp -d -p "$work")" && "$venv/bin/python" "$reliability_dir/abi_smoke.py")
done
echo "abi audit: passed under ${#interpreters[@]} interpreters"
