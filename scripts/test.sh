#!/usr/bin/env bash
# Installs what is missing, builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every test through ctest; then builds
# the Debian package (a Release build of its own) and tests it.
# LIM07_TEST_PACKAGE=0 leaves the package out.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
build=${LIM07_TEST_BUILD:-build/asan}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DLIM07_SANITIZE=ON
cmake --build "$build"
jobs=$(( $(nproc) * 3 ))
(cd "$build" && ctest --output-on-failure --timeout 600 -j "$jobs")
if [ "${LIM07_TEST_PACKAGE:-1}" != 0 ]; then
  tests/package/test_package.sh
fi
