#!/usr/bin/env bash
# The thread scenarios of tests/test_threads.py, each in RUNS fresh
# interpreters (default 200), every run bounded by a timeout. Uses the
# tessellon that `python` imports (set PYTHONPATH for a build tree).
#
#   fuzz/threads_stress.sh [RUNS]
set -uo pipefail
runs="${1:-200}"
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root/tests"
failed=0
for scenario in first-use first-import first-panic shared-callbacks "exit-daemons fixed" \
  "exit-daemons yielding" "exit-daemons dropping"; do
  read -r name argument <<<"$scenario"
  start=$SECONDS
  # shellcheck disable=SC2086 # the optional argument is meant to vanish when empty
  if python test_threads.py "$name" "$runs" $argument; then
    echo "  ($((SECONDS - start))s)"
  else
    echo "FAILED: $scenario"
    failed=1
  fi
done
exit $failed
