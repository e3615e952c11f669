#!/usr/bin/env bash
# Fuzzes tessellon's Python entry points for SECONDS (default 60) with atheris.
# The extension is built with clang's fuzzer coverage, AddressSanitizer and
# UndefinedBehaviorSanitizer; where clang cannot be had, the plain extension is
# fuzzed with Python-level coverage only. The seeds in fuzz/corpus run first.
#
#   fuzz/run.sh [SECONDS] [libFuzzer flags...]
#
# Exits non-zero on any finding; the input that found it is kept and named.
# TESSELLON_FUZZ_PLAIN=1 skips clang and fuzzes the plain extension.
set -euo pipefail
seconds="${1:-60}"
shift || true
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
build="${TESSELLON_FUZZ_BUILD:-$root/build/fuzz}"
llvm=19
rt="/usr/lib/llvm-$llvm/lib/clang/$llvm/lib/linux"

missing=()
command -v "clang++-$llvm" >/dev/null || missing+=("clang-$llvm")
[[ -f "$rt/libclang_rt.fuzzer_no_main-x86_64.a" ]] || missing+=("libclang-rt-$llvm-dev")
for tool in cmake ninja-build; do
  dpkg-query -W -f='${Status}' "$tool" 2>/dev/null | grep -q "install ok installed" || command -v "${tool%-build}" >/dev/null ||
    missing+=("$tool")
done
if ((${#missing[@]})) && [[ "$(id -u)" == 0 ]]; then
  echo "installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
PIP_ROOT_USER_ACTION=ignore python -m pip install -q -r fuzz/requirements.txt

preload=()
if [[ -z "${TESSELLON_FUZZ_PLAIN:-}" ]] && command -v "clang++-$llvm" >/dev/null &&
  [[ -f "$rt/libclang_rt.fuzzer_no_main-x86_64.a" ]]; then
  CXX="clang++-$llvm" cmake -S . -B "$build" -G Ninja -DPython_EXECUTABLE="$(command -v python)" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSELLON_WERROR=OFF \
    -DTESSELLON_SANITIZE=fuzzer-no-link,address,undefined >/dev/null
  cmake --build "$build" >/dev/null
  # One library holding ASan (UBSan inside) and libFuzzer, so that libFuzzer's
  # coverage callbacks win over the sanitizer's weak defaults; ASan's preinit
  # part cannot live in a shared object and is left out.
  runtime="$build/asan_with_fuzzer.so"
  if [[ ! -f "$runtime" ]]; then
    objects="$(mktemp -d)"
    (cd "$objects" && ar x "$rt/libclang_rt.asan-x86_64.a" && rm -f asan_preinit.cpp.o)
    "clang++-$llvm" -shared -o "$runtime" "$objects"/*.o -Wl,--whole-archive "$rt/libclang_rt.asan_cxx-x86_64.a" \
      "$rt/libclang_rt.fuzzer_no_main-x86_64.a" -Wl,--no-whole-archive -lpthread -ldl -lrt -lm
    rm -rf "$objects"
  fi
  preload=(env LD_PRELOAD="$runtime" PYTHONMALLOC=malloc
    ASAN_OPTIONS=detect_leaks=0:quarantine_size_mb=32:allocator_may_return_null=1
    UBSAN_OPTIONS=print_stacktrace=1)
  echo "fuzzing the extension built with fuzzer coverage, ASan and UBSan for ${seconds}s"
else
  cmake -S . -B "$build-plain" -G Ninja -DPython_EXECUTABLE="$(command -v python)" -DTESSELLON_WERROR=OFF >/dev/null
  cmake --build "$build-plain" >/dev/null
  build="$build-plain"
  echo "fuzzing the plain extension (no clang-$llvm) with Python-level coverage for ${seconds}s"
fi

work="$(mktemp -d)"
mkdir "$work/corpus"
status=0
PYTHONPATH="$build/src/binding:$build/python" timeout "$((seconds + 600))" "${preload[@]}" python fuzz/fuzz_calls.py \
  -max_total_time="$seconds" -max_len=1024 -len_control=0 -timeout=30 -rss_limit_mb=6144 -print_final_stats=1 \
  -artifact_prefix="$work/" "$work/corpus" fuzz/corpus "$@" >"$work/log" 2>&1 || status=$?
if ((status)); then
  # The report: everything from the harness's or a sanitizer's first word on.
  grep -n -m1 -E "Uncaught Python exception|ERROR: (AddressSanitizer|libFuzzer)|runtime error|Sanitizer" "$work/log" |
    cut -d: -f1 | { read -r line || line=1; tail -n +"$((line > 40 ? line - 40 : 1))" "$work/log" | head -200; }
  echo "fuzzing failed (status $status); full log: $work/log"
  ls "$work"/crash-* "$work"/timeout-* "$work"/oom-* 2>/dev/null | sed 's/^/finding: /' || true
  exit 1
fi
grep -E "^#[0-9]+[[:space:]]+DONE|^stat::number_of_executed_units|^stat::peak_rss_mb" "$work/log" || true
echo "fuzzing found nothing in ${seconds}s; new inputs: $(find "$work/corpus" -type f | wc -l) (discarded)"
rm -rf "$work"
