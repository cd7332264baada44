#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer, apart from the main build:
#   fuzz/build.sh [OUTDIR]          (default build/fuzz)
# Run one for ten minutes, new inputs going to a scratch corpus:
#   build/fuzz/fuzz_config -max_total_time=600 -max_len=4096 \
#       build/fuzz/corpus-config fuzz/corpus/config
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build/fuzz}
cxx=${CLANGXX:-clang++}
mkdir -p "$out/obj"
launcher=()
command -v ccache >/dev/null && launcher=(ccache)
flags=(-std=c++20 -g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer-no-link,address,undefined
       -fno-sanitize-recover=undefined -Wall -Wextra
       -I"$root/src/link" -I"$root/src/model")
objs=()
pids=()
for src in "$root"/src/link/*.cpp "$root"/src/model/*.cpp "$root"/fuzz/fuzz_config.cpp; do
  obj="$out/obj/$(basename "${src%.cpp}").o"
  if [ ! -f "$obj" ] || [ "$src" -nt "$obj" ] || [ -n "$(find "$root/src/link" "$root/src/model" -name '*.h' -newer "$obj")" ]; then
    "${launcher[@]}" "$cxx" "${flags[@]}" -c "$src" -o "$obj" &
    pids+=($!)
  fi
  objs+=("$obj")
done
for pid in "${pids[@]}"; do wait "$pid"; done
"$cxx" -fsanitize=fuzzer,address,undefined "${objs[@]}" -lpthread -o "$out/fuzz_config"
echo "$out/fuzz_config"
