#!/usr/bin/env bash
# Sets everything up and runs the whole test suite.
#   scripts/test.sh              Release build in build/, all tests
#   scripts/test.sh --sanitize   AddressSanitizer + UBSan build in build-asan/
#   scripts/test.sh --tsan       ThreadSanitizer build in build-tsan/
#   scripts/test.sh --clang      clang build (thread-safety analysis) in build-clang/
set -euo pipefail
cd "$(dirname "$0")/.."

mode=release
case "${1:-}" in
  --sanitize) mode=asan ;;
  --tsan) mode=tsan ;;
  --clang) mode=clang ;;
  "") ;;
  *) echo "usage: $0 [--sanitize|--tsan|--clang]" >&2; exit 2 ;;
esac

scripts/install-deps.sh

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
werror=OFF
[ -n "${CI:-}" ] && werror=ON
compilers=()

case "$mode" in
  release) dir=build; flags=(-DCMAKE_BUILD_TYPE=Release) ;;
  asan) dir=build-asan; flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVAN_SANITIZE=ON -DKORVAN_BUILD_BENCH=OFF) ;;
  # The engine's threads are ours; the server's come from Boost.Asio, and Qt
  # and GLib (the desktops' settings) synchronise with their own futexes,
  # which the sanitizer cannot see: they stay out.
  tsan) dir=build-tsan; flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVAN_TSAN=ON -DKORVAN_BUILD_BENCH=OFF "-DKORVAN_SKIP_LAYERS=server;gui;desktop") ;;
  # The whole tree with clang, whose -Wthread-safety checks every annotated mutex.
  clang) dir=build-clang; flags=(-DCMAKE_BUILD_TYPE=Release); compilers=(CC=clang CXX=clang++) ;;
esac

env "${compilers[@]}" cmake -S . -B "$dir" "${generator[@]}" "${flags[@]}" -DKORVAN_WERROR="$werror"
cmake --build "$dir" -j"$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# The soak loads every core for a minute; the release and AddressSanitizer
# runs carry it, the clang run (the same code, another compiler) leaves it out.
exclude=()
[ "$mode" = clang ] && exclude=(-LE soak)
ctest --test-dir "$dir" --output-on-failure -j"$(nproc)" --timeout 300 "${exclude[@]}"
