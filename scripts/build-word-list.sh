#!/usr/bin/env bash
# Rebuilds the shipped word list resources/korvan.lvk from the sample corpus.
#   scripts/build-word-list.sh [CORPUS_DIR] [VERSION]
# CORPUS_DIR defaults to ../shared/corpus beside the repository (or
# $KORVAN_CORPUS); VERSION (the list's version byte) defaults to 1. Builds
# korvan-codec in build/ (or $KORVAN_BUILD_DIR) first. The result depends only
# on the corpus files, their names and the version.
#
# Files are grouped by the prefix of their name before the first '-' (the
# site they come from, e.g. html/site-page.html and css/site-style.css): a
# word must be shared by several sites, not repeated by one.
set -euo pipefail
cd "$(dirname "$0")/.."

corpus="${1:-${KORVAN_CORPUS:-../shared/corpus}}"
version="${2:-1}"
build="${KORVAN_BUILD_DIR:-build}"

if [ ! -d "$corpus" ]; then
  echo "corpus folder $corpus not found" >&2
  exit 1
fi

generator=()
if [ ! -f "$build/CMakeCache.txt" ] && command -v ninja >/dev/null; then generator=(-G Ninja); fi
cmake -S . -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target korvan-codec -j2

# Every file of the corpus, in a fixed order (the list does not depend on the
# order, but a fixed one keeps the progress output comparable).
mapfile -d '' files < <(find "$corpus" -type f ! -name MANIFEST.tsv ! -name '.*' -print0 | LC_ALL=C sort -z)
if [ "${#files[@]}" -eq 0 ]; then
  echo "no files in $corpus" >&2
  exit 1
fi

out=resources/korvan.lvk
"$build/bin/korvan-codec" words build --version "$version" --group-by-prefix "${files[@]}" > "$out.tmp"
mv "$out.tmp" "$out"
echo "wrote $out ($(stat -c %s "$out") bytes) from ${#files[@]} files" >&2
"$build/bin/korvan-codec" words dump "$out" | head -n 1 >&2
