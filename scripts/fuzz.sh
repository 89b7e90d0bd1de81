#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a short time.
#   scripts/fuzz.sh [SECONDS-PER-TARGET]   (default 30)
# Seeds come from fuzz/corpus/<target>/; new inputs go to a scratch folder,
# so the repository's seed corpus stays as it is. A crash fails the run and
# leaves its reproducer in build-fuzz/crashes/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"

scripts/install-deps.sh
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
CC=clang CXX=clang++ cmake -S . -B build-fuzz "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKORVAN_FUZZ=ON -DKORVAN_BUILD_TESTS=OFF -DKORVAN_BUILD_BENCH=OFF -DKORVAN_SKIP_LAYERS=gui
targets=$(sed -n 's/^set(KORVAN_FUZZ_TARGETS \(.*\))$/\1/p' fuzz/CMakeLists.txt)
cmake --build build-fuzz -j"$(nproc)" --target $targets

# Real GIFs, where a corpus of web content is at hand (never committed):
# each becomes a recompression input (even first byte, target 48 x 36,
# Content-Length framing).
corpus="${KORVAN_CORPUS:-../shared/corpus}"
extra_gif_seeds=()
if [ -d "$corpus/gif" ]; then
  extra_gif_seeds=(build-fuzz/seeds/recompress_gif)
  mkdir -p "${extra_gif_seeds[0]}"
  for gif in "$corpus"/gif/*.gif; do
    { printf '\000\060\000\044\000\000'; cat "$gif"; } >"${extra_gif_seeds[0]}/$(basename "$gif")"
  done
  echo "fuzz: recompress_gif also starts from the GIFs of $corpus/gif"
fi

mkdir -p build-fuzz/crashes
for target in $targets; do
  seeds=("fuzz/corpus/${target#fuzz_}")
  [ "$target" = fuzz_recompress_gif ] && seeds+=("${extra_gif_seeds[@]}")
  work="build-fuzz/work/${target#fuzz_}"
  mkdir -p "$work"
  echo "fuzz: $target for ${seconds}s"
  build-fuzz/fuzz/"$target" -max_total_time="$seconds" -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix=build-fuzz/crashes/"$target"- "$work" "${seeds[@]}"
done
echo "fuzz: all targets ran without a crash"
