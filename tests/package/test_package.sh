#!/usr/bin/env bash
# The Debian package, end to end: builds it (Release, build/package), checks
# its control fields and file list, lintian, unpacks it into a throw-away root
# and runs the installed programs, validates the desktop entry, renders the
# manual pages, asks the completion for subcommands and lets GIO recognise a
# configuration by the package's MIME type (by name and by its signature).
set -euo pipefail
cd "$(dirname "$0")/../.."
deb=$(scripts/package.sh --build-only | tail -n 1)
root=$(mktemp -d /tmp/lim07-package-XXXXXX)
trap 'rm -rf "$root"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
# "ok: WHAT" when no check failed since the last report.
reported=0
ok() { [ "$failures" -gt "$reported" ] || echo "ok: $*"; reported=$failures; }
check() { local what=$1; shift; if "$@" >/dev/null 2>&1; then ok "$what"; else fail "$what"; fi; }

version=$(sed -n 's/^project(lim07 VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = lim07 ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version-1" ] || fail "Version: $(field Version), project $version"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture: $(field Architecture)"
# Computed from the binaries: Qt, and nothing of the build tree.
depends=$(field Depends)
for lib in libqt6widgets6 libqt6core6 libarchive13 libsqlite3-0 libc6; do
  [[ $depends == *"$lib "* || $depends == *"$lib," || $depends == *"$lib" ]] || fail "Depends lacks $lib: $depends"
done
ok "control fields (Depends: $depends)"

files=$(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|')
expected=(
  /usr/bin/lim07 /usr/bin/lim07ctl /usr/bin/lim07-sim
  /usr/share/applications/lim07.desktop /usr/share/mime/packages/lim07.xml
  /usr/share/icons/hicolor/scalable/apps/lim07.svg
  /usr/share/man/man1/lim07.1.gz /usr/share/man/man1/lim07ctl.1.gz /usr/share/man/man1/lim07-sim.1.gz
  /usr/share/bash-completion/completions/lim07ctl
  /usr/share/doc/lim07/copyright /usr/share/doc/lim07/changelog.Debian.gz
  /usr/lib/systemd/system/lim07-gateway@.service
  /usr/share/doc/lim07/examples/mqtt.conf.example /usr/share/doc/lim07/examples/lim07-mqtt.schema.json
)
for size in 16 22 24 32 48 64 128 256; do
  expected+=("/usr/share/icons/hicolor/${size}x${size}/apps/lim07.png")
done
for f in "${expected[@]}"; do grep -qx "$f" <<<"$files" || fail "not in the package: $f"; done
# Nothing else ships: no static libraries, headers, tests or build tools.
unexpected=$(grep -v -e '/$' <<<"$files" | grep -vx -F -f <(printf '%s\n' "${expected[@]}" /usr/share/lintian/overrides/lim07) || true)
[ -z "$unexpected" ] || fail "unexpected files: $unexpected"
ok "file list (${#expected[@]} files)"

dpkg -x "$deb" "$root"
bin=$root/usr/bin
for program in lim07 lim07ctl lim07-sim; do
  [ "$(QT_QPA_PLATFORM=offscreen "$bin/$program" --version)" = "$program $version" ] ||
    fail "$program --version"
  ! ldd "$bin/$program" | grep -e 'not found' -e "$PWD" || fail "$program links outside Debian's libraries"
done
ok "--version of the three programs"
poll=$(cd "$root" && LIM07_HISTORY=:temporary: "$bin/lim07ctl" --demo poll --cycles 1) ||
  fail "lim07ctl --demo poll --cycles 1 (exit $?)"
[ "$(grep -c 'Операция завершена успешно' <<<"$poll")" = 5 ] || fail "the demo poll: $poll"
ok "lim07ctl --demo poll --cycles 1"

check "desktop-file-validate" desktop-file-validate "$root/usr/share/applications/lim07.desktop"
grep -qx 'Name=Настройка ЛИМ-07' "$root/usr/share/applications/lim07.desktop" || fail "menu name"
for page in lim07 lim07ctl lim07-sim; do
  text=$(MANWIDTH=80 man --warnings -E UTF-8 -l "$root/usr/share/man/man1/$page.1.gz" 2>&1 >/dev/null) ||
    fail "man $page"
  [ -z "$text" ] || fail "man $page warns: $text"
  # Cyrillic stays Cyrillic (no UTF-8 encoded twice, no question marks).
  name=$(MANWIDTH=200 man -E UTF-8 -l "$root/usr/share/man/man1/$page.1.gz" 2>/dev/null | sed -n '/^NAME/{n;p}')
  grep -q 'ЛИМ-07' <<<"$name" || fail "man $page NAME: $name"
done
rendered=$(MANWIDTH=80 man -E UTF-8 -l "$root/usr/share/man/man1/lim07ctl.1.gz" 2>/dev/null)
for word in write.addresses switch.protocol ЛИМ-07 'Exit status'; do
  grep -q -i "$word" <<<"$rendered" || fail "lim07ctl.1 lacks \"$word\""
done
ok "manual pages"

complete_words() {
  bash -c 'source /usr/share/bash-completion/bash_completion
           source "$1"; shift
           COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
           _lim07ctl lim07ctl "${COMP_WORDS[-1]}" "${COMP_WORDS[-2]}"
           printf "%s\n" "${COMPREPLY[@]}" | sort | tr "\n" " "' \
    _ "$root/usr/share/bash-completion/completions/lim07ctl" "$@"
}
[ "$(complete_words lim07ctl po)" = "poll ports " ] || fail "completion of po: $(complete_words lim07ctl po)"
[ "$(complete_words lim07ctl --demo poll --cyc)" = "--cycles " ] || fail "completion of poll --cyc"
[ "$(complete_words lim07ctl --protocol m)" = "modbus " ] || fail "completion of --protocol"
[ "$(complete_words lim07ctl config n)" = "new " ] || fail "completion of config n"
ok "bash completion"

xdg=$root/xdg
mkdir -p "$xdg/mime/packages"
cp "$root/usr/share/mime/packages/lim07.xml" "$xdg/mime/packages/"
update-mime-database "$xdg/mime" 2>/dev/null
printf 'TPF0\x08TComPort\x07ComPort' >"$root/line.l07"
cp "$root/line.l07" "$root/line-config"
for f in line.l07 line-config; do
  type=$(XDG_DATA_HOME=$xdg XDG_DATA_DIRS=$xdg:/usr/share gio info -a standard::content-type "$root/$f" |
    sed -n 's/.*standard::content-type: //p')
  [ "$type" = application/x-lim07-config ] || fail "MIME type of $f: $type"
done
ok "MIME type by name and by signature"

# Lintian warns that it runs as root (CI does); that line is no finding.
if lintian_out=$(lintian --fail-on error,warning "$deb" 2>&1); then
  ok "lintian"
else
  fail "lintian: $lintian_out"
fi
notes=$(grep -v 'running with root privileges' <<<"$lintian_out" || true)
[ -z "$notes" ] || echo "lintian notes: $notes"

if [ "$failures" -gt 0 ]; then
  echo "package test: $failures failure(s)" >&2
  exit 1
fi
echo "package test passed: $deb"
