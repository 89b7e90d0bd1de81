#!/usr/bin/env bash
# Installs every Debian package that building, testing and benchmarking KORVAN
# needs. Idempotent: packages already present are skipped, and apt is not
# touched at all when nothing is missing. Run as root (or with sudo at hand).
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  zlib1g-dev libssl-dev libboost-dev libsqlite3-dev
  libjpeg-dev                # JPEG recompression in korvan-server
  libdeflate-dev             # korvan-server's thorough deflate
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev   # libFuzzer targets
  python3                    # resource generators
  curl                       # demo and integration tests
  squid                      # a real parent proxy for the tunnel tests
  ziproxy                    # a compressing proxy, baseline of the service benchmark
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#PACKAGES[@]} packages present"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null; then SUDO="sudo"; else
    echo "install-deps: missing packages (${missing[*]}) and not root; install them or rerun as root" >&2
    exit 1
  fi
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
