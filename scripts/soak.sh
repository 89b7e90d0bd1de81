#!/usr/bin/env bash
# Builds what the soak needs and runs it for MINUTES minutes of load
# (default: the short form that CTest runs, under a minute of load).
#   scripts/soak.sh                   the short form, built in build/
#   scripts/soak.sh 30                the 30-minute soak
#   scripts/soak.sh 30 BUILD_DIR      in a build folder that is already set up
# KORVAN_SOAK_CONCURRENCY sets how many transfers run at once (default 500).
# The figures are printed at the end and kept in BUILD_DIR/soak-<time>.txt.
set -euo pipefail
cd "$(dirname "$0")/.."

minutes="${1:-}"
if [ -n "$minutes" ] && ! [[ "$minutes" =~ ^[0-9]+$ && "$minutes" -gt 0 ]]; then
  echo "usage: $0 [MINUTES [BUILD_DIR]]" >&2
  exit 2
fi

build="${2:-build}"
# A new build folder is set up as scripts/test.sh does; an existing one
# keeps its own options.
options=()
if [ ! -f "$build/CMakeCache.txt" ]; then
  scripts/install-deps.sh
  command -v ninja >/dev/null && options=(-G Ninja)
  werror=OFF
  [ -n "${CI:-}" ] && werror=ON
  options+=(-DCMAKE_BUILD_TYPE=Release -DKORVAN_WERROR="$werror")
fi
cmake -S . -B "$build" "${options[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)" --target korvan korvan-server korvan_language_files korvan_word_list korvan_soak_tests

if [ -n "$minutes" ]; then
  export KORVAN_SOAK_SECONDS=$((minutes * 60))
fi
record="$build/soak-$(date -u +%Y%m%dT%H%M%SZ).txt"
status=0
"$build/tests/soak/korvan_soak_tests" 2>&1 | tee "$record" || status=$?
echo "record: $record"
exit "$status"
