#!/usr/bin/env bash
# Times `korvan-codec unpack` on a capture of about 100 MB of frames, for
# one or more builds of the tool, and checks that each gives the blocks back.
#
#   tools/codec/unpack_timing.sh [--mb N] [--words FILE] CODEC...
#
# The capture is made with the first CODEC's `pack` from the blocks of every
# file of the corpus ($KORVAN_CORPUS, default ../shared/corpus beside the
# repository), cut at 64511 bytes as the tunnel sends them; its frames repeat
# until N MB (default 100) of frames are there. The word list defaults to
# resources/korvan.lvk.
#
# On the sample corpus (103 MB of frames, 317 MB unpacked), the tool that
# read standard input a byte per call and held it all took 3.2 to 4.1 s of
# CPU (2.2 to 2.5 s of it user time) and 620 MB of memory; reading 256 KiB
# blocks and unpacking while they arrive, 0.37 to 0.56 s (0.3 s user) and
# 6 MB.
set -euo pipefail
cd "$(dirname "$0")/../.."

mb=100
words=resources/korvan.lvk
while [ $# -gt 0 ]; do
  case "$1" in
    --mb) mb="$2"; shift 2 ;;
    --words) words="$2"; shift 2 ;;
    *) break ;;
  esac
done
if [ $# -eq 0 ]; then
  echo "usage: $0 [--mb N] [--words FILE] CODEC..." >&2
  exit 2
fi
corpus="${KORVAN_CORPUS:-../shared/corpus}"
if [ ! -d "$corpus" ]; then
  echo "corpus folder $corpus not found" >&2
  exit 1
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir "$work/blocks"
# One pass over the corpus: every block packed once, frames and blocks kept
# in the same order.
n=0
while IFS= read -r -d '' file; do
  split -b 64511 -a 4 -d "$file" "$work/blocks/$(printf '%05d' "$n")-"
  n=$((n + 1))
done < <(find "$corpus" -type f ! -name MANIFEST.tsv ! -name '.*' -print0 | LC_ALL=C sort -z)
: > "$work/frames.once"
: > "$work/raw.once"
for block in "$work"/blocks/*; do
  # Through a file of its own: an older build of the tool truncated a
  # standard output opened for appending.
  "$1" pack --words "$words" < "$block" > "$work/frame"
  cat "$work/frame" >> "$work/frames.once"
  cat "$block" >> "$work/raw.once"
done
once=$(stat -c %s "$work/frames.once")
repeats=$(( (mb * 1000000 + once - 1) / once ))
: > "$work/frames"
: > "$work/raw"
for _ in $(seq "$repeats"); do
  cat "$work/frames.once" >> "$work/frames"
  cat "$work/raw.once" >> "$work/raw"
done
echo "capture: $(stat -c %s "$work/frames") bytes of frames ($repeats x $once), $(stat -c %s "$work/raw") bytes unpacked"

for codec in "$@"; do
  # Best of three, as user + system CPU seconds and wall seconds.
  best=""
  for _ in 1 2 3; do
    /usr/bin/time -f "%U %S %e %M" -o "$work/time" "$codec" unpack --words "$words" < "$work/frames" > "$work/out"
    cmp -s "$work/out" "$work/raw" || { echo "$codec: unpacked bytes differ" >&2; exit 1; }
    read -r user sys wall rss < "$work/time"
    cpu=$(printf '%.2f' "$(echo "$user + $sys" | bc)")
    if [ -z "$best" ] || [ "$(echo "$cpu < $best" | bc)" = 1 ]; then
      best=$cpu; line="cpu ${cpu}s (user ${user}s, system ${sys}s), wall ${wall}s, peak memory ${rss} KiB"
    fi
  done
  echo "$codec: $line"
done
