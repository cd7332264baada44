#!/usr/bin/env bash
# Builds the Debian package of lim07 (a Release build of its own, without
# sanitizers, in build/package) and installs it with apt.
#   scripts/package.sh               build, then install (as root or with sudo)
#   scripts/package.sh --build-only  build only; prints the path of the .deb
set -euo pipefail
cd "$(dirname "$0")/.."
install=1
case "${1:-}" in
  --build-only) install=0 ;;
  "") ;;
  *) echo "usage: scripts/package.sh [--build-only]" >&2; exit 2 ;;
esac
scripts/deps.sh
build=${LIM07_PACKAGE_BUILD:-build/package}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLIM07_PACKAGE=ON \
  -DLIM07_TESTS=OFF -DLIM07_BENCH=OFF -DLIM07_SANITIZE=OFF -DLIM07_TSAN=OFF >/dev/null
cmake --build "$build"
rm -f "$build"/lim07_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/lim07_*.deb)
if [ "$install" = 0 ]; then
  echo "$deb"
  exit 0
fi
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y --reinstall "./$deb"
echo "Installed $deb: the menu entry \"Настройка ЛИМ-07\", lim07, lim07ctl, lim07-sim."
