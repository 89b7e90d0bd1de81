#!/usr/bin/env bash
# Installs every Debian package that building, testing and benchmarking KORVAN
# needs. Idempotent: packages already present are skipped, and apt is not
# touched at all when nothing is missing. Run as root (or with sudo at hand).
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  zlib1g-dev libssl-dev libboost-dev libsqlite3-dev
  libjpeg-dev                # JPEG recompression in korvan-server
  libdeflate-dev             # fast inflate in the codec, thorough deflate in korvan-server
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev   # libFuzzer targets
  python3                    # resource generators
  curl                       # demo and integration tests
  squid                      # a real parent proxy for the tunnel tests
  libcairo2-dev libgif-dev libimagequant-dev   # replacement banners and GIF recompression
  fontconfig fonts-liberation                  # "Arial" on banners: a metric-compatible face
  libcurl4-openssl-dev       # FTP fetches in korvan-server
  python3-pyftpdlib          # a real FTP server for the FTP tests
  chromium                   # a real browser for what pages must show
  qt6-base-dev qt6-charts-dev libqt6opengl6-dev libgl-dev libxkbcommon-dev   # window mode: Qt 6 Widgets and Charts
  xvfb xauth                 # a real X server for the window tests and screenshots
  libglib2.0-dev gsettings-desktop-schemas     # GNOME's proxy settings through GSettings (GIO)
  systemd                    # systemd-analyze verify for the service unit
  lintian desktop-file-utils # checks of the Debian package (scripts/package-test.sh)
  libpq-dev postgresql       # the shared account store of several servers, and its tests
  haproxy                    # a real load balancer in front of two servers in the tests
)
# Wanted by the benchmarks alone: a failure to install them is reported, and
# the benchmark then says "skipped" for that baseline.
OPTIONAL=(
  ziproxy                    # a compressing proxy, baseline of the service benchmark
)

not_installed() {
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      echo "$p"
    fi
  done
}
mapfile -t missing < <(not_installed "${PACKAGES[@]}")
mapfile -t missing_optional < <(not_installed "${OPTIONAL[@]}")

if [ ${#missing[@]} -eq 0 ] && [ ${#missing_optional[@]} -eq 0 ]; then
  echo "install-deps: all $(( ${#PACKAGES[@]} + ${#OPTIONAL[@]} )) packages present"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null; then SUDO="sudo"; else
    echo "install-deps: missing packages (${missing[*]} ${missing_optional[*]}) and not root; install them or rerun as root" >&2
    [ ${#missing[@]} -eq 0 ] && exit 0
    exit 1
  fi
fi

export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
if [ ${#missing_optional[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing_optional[*]} (benchmarks only)"
  $SUDO apt-get install -y -qq --no-install-recommends "${missing_optional[@]}" ||
    echo "install-deps: warning: ${missing_optional[*]} could not be installed; the benchmarks skip it" >&2
fi
