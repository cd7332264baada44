#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those that are missing.
set -euo pipefail
packages=(
  g++ cmake ninja-build ccache pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-svg-dev libgl1-mesa-dev fonts-dejavu-core qt6-translations-l10n
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  socat lrzsz mbpoll libmodbus-dev
  libarchive-dev
  libqcustomplot-dev
  poppler-utils
  libsqlite3-dev sqlite3
  libmosquitto-dev mosquitto mosquitto-clients nlohmann-json3-dev
  clang libclang-rt-14-dev
  xvfb xauth
  dpkg-dev fakeroot lintian desktop-file-utils shared-mime-info xdg-utils file help2man librsvg2-bin
  bash-completion libglib2.0-bin
  openssl
)
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  # sudo drops the environment, so the front end is set on the far side of it.
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
