#!/usr/bin/env bash
# Sets everything up and shows the tunnel codec at work: a sample page is
# packed into one frame with the shipped word list and unpacked again.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S . -B build "${generator[@]}" -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$(nproc)" --target korvan-codec

codec=build/bin/korvan-codec
words=resources/korvan.lvk
sample="${1:-tests/data/samples/welcome.html}"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

head -c 64511 "$sample" > "$tmp/block"
"$codec" pack --words "$words" < "$tmp/block" > "$tmp/frame"
"$codec" unpack --words "$words" < "$tmp/frame" > "$tmp/back"
cmp -s "$tmp/block" "$tmp/back" || { echo "demo: round trip FAILED" >&2; exit 1; }
gzip -9 -c < "$tmp/block" > "$tmp/gz"

raw=$(stat -c %s "$tmp/block"); frame=$(stat -c %s "$tmp/frame"); gz=$(stat -c %s "$tmp/gz")
echo "sample:       $sample"
echo "raw block:    $raw bytes"
echo "KORVAN frame: $frame bytes ($(( 100 * frame / raw ))% of raw)"
echo "gzip -9:      $gz bytes, for comparison"
echo "round trip:   identical"
