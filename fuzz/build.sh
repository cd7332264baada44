#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer, apart from the main build:
#   fuzz/build.sh [OUTDIR]          (default build/fuzz)
# Targets:
#   fuzz_config    the configuration-file reader (link, model)
#   fuzz_requests  the answer decoding of every request (link, model, protocol)
#   fuzz_xmodem    the XModem-CRC sender fed arbitrary replies (ops/XModemCRC)
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
       -I"$root/src/link" -I"$root/src/model" -I"$root/src/protocol" -I"$root/src/ops")
headers_dirs=("$root/src/link" "$root/src/model" "$root/src/protocol" "$root/src/ops")

# Compiles the given sources into $out/obj (when changed) and prints the
# object paths, one a line.
pids=()
declare -A seen=()
compile() {
  for src in "$@"; do
    obj="$out/obj/$(basename "${src%.cpp}").o"
    if [ -z "${seen[$obj]:-}" ]; then
      seen[$obj]=1
      if [ ! -f "$obj" ] || [ "$src" -nt "$obj" ] ||
         [ -n "$(find "${headers_dirs[@]}" -name '*.h' -newer "$obj")" ]; then
        "${launcher[@]}" "$cxx" "${flags[@]}" -c "$src" -o "$obj" &
        pids+=($!)
      fi
    fi
  done
}
obj() { for src in "$@"; do echo "$out/obj/$(basename "${src%.cpp}").o"; done; }

base=("$root"/src/link/*.cpp "$root"/src/model/*.cpp)
protocol=("$root"/src/protocol/*.cpp)
compile "${base[@]}" "$root/fuzz/fuzz_config.cpp"
compile "${protocol[@]}" "$root/fuzz/fuzz_requests.cpp"
compile "$root/src/ops/XModemCRC.cpp" "$root/fuzz/fuzz_xmodem.cpp"
for pid in "${pids[@]}"; do wait "$pid"; done

link() {
  local name=$1
  shift
  "$cxx" -fsanitize=fuzzer,address,undefined "$@" -lpthread -o "$out/$name"
  echo "$out/$name"
}
mapfile -t config_objs < <(obj "${base[@]}" "$root/fuzz/fuzz_config.cpp")
mapfile -t requests_objs < <(obj "${base[@]}" "${protocol[@]}" "$root/fuzz/fuzz_requests.cpp")
mapfile -t xmodem_objs < <(obj "$root/src/ops/XModemCRC.cpp" "$root/fuzz/fuzz_xmodem.cpp")
link fuzz_config "${config_objs[@]}"
link fuzz_requests "${requests_objs[@]}"
# The sender's file reads and seeks go through the target's checks.
link fuzz_xmodem "${xmodem_objs[@]}" \
  -Wl,--wrap=pread,--wrap=pread64,--wrap=lseek,--wrap=lseek64
