#!/usr/bin/env bash
# Builds and runs the benchmarks: codec throughput against plain zlib, packed
# size against deflate alone on the held-out part of the corpus, and the
# engine's end-to-end costs (latency, download, idle connections) measured on
# the real `korvan --service`, and the whole service (client and server)
# against gzip -9, Ziproxy and Squid: bytes on the link, latency, throughput
# and many downloads at once, and the login and account-store costs (the
# SQLite file and a PostgreSQL database the bench starts itself), and two
# servers behind HAProxy against one alone.
#   scripts/bench.sh [BUILD_DIR]      (default build/)
# The corpus: $KORVAN_CORPUS, else ../shared/corpus beside the repository;
# without it the benchmarks say so and exit.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
generator=()
if [ ! -f "$build/CMakeCache.txt" ] && command -v ninja >/dev/null; then generator=(-G Ninja); fi
cmake -S . -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target korvan_bench_codec korvan_bench_word_list korvan_bench_engine korvan_bench_pair korvan_bench_load korvan_bench_login korvan_bench_postgres_store korvan_bench_cluster -j2
"$build/bench/korvan_bench_codec" --benchmark_min_time=0.5
echo
"$build/bench/korvan_bench_word_list"
echo
"$build/bench/korvan_bench_engine"
echo
"$build/bench/korvan_bench_pair"
echo
"$build/bench/korvan_bench_load"
echo
"$build/bench/korvan_bench_login"
echo
"$build/bench/korvan_bench_postgres_store"
echo
"$build/bench/korvan_bench_cluster"
