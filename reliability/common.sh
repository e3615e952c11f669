# Shared by the scripts in this folder; sourced, not run.

reliability_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$reliability_dir/.." && pwd)"

# Installs the Debian packages given, if any is missing (CI runs as root).
ensure_debian_packages() {
  local missing=() package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
  done
  ((${#missing[@]})) || return 0
  echo "installing: ${missing[*]}"
  if ((EUID != 0)); then
    echo "missing Debian packages and not root: ${missing[*]}" >&2
    return 1
  fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# Configures and builds the extension: build_extension BUILD_DIR PYTHON [CMAKE ARGS...]
build_extension() {
  local build_dir="$1" python="$2"
  shift 2
  cmake -S "${source_dir:-$root}" -B "$build_dir" -G Ninja -DPython_EXECUTABLE="$python" "$@" >/dev/null
  cmake --build "$build_dir" --parallel 2
}

# The requirements of the project's optional extras, one a line: project_extras test recipes
project_extras() {
  "${python_for_extras:-python3}" - "$root/pyproject.toml" "$@" <<'PY'
import sys, tomllib
extras = tomllib.load(open(sys.argv[1], "rb"))["project"]["optional-dependencies"]
print("\n".join(requirement for name in sys.argv[2:] for requirement in extras[name]))
PY
}

# A throwaway virtual environment: make_venv PYTHON DIR
make_venv() {
  "$1" -m venv "$2"
  "$2/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
}

# For an EXIT trap: prints every non-empty file matching the glob, removes
# $work, and fails the run if there was any. Keeps the exit status otherwise.
report_files_at_exit() {
  local status=$? pattern="$1" label="$2" what="$3" file found=0
  for file in $pattern; do
    [[ -s "$file" ]] || continue
    found=1
    echo "=== $file" >&2
    cat "$file" >&2
  done
  rm -rf "$work"
  if ((found)); then
    echo "$label: $what above" >&2
    exit 1
  fi
  exit "$status"
}
