#!/bin/bash
# scripts/install twice in a row on a fresh data home: the first run installs the production
# build's release archive, the second upgrades it in place (the tree is exchanged, not merged);
# the menu entry validates and points at the installed program, whose Qt, libcurl and libarchive
# come from the tree's own lib/; then `talvo --uninstall` removes it all.
#   install_script_test.sh PRODUCTION-BUILD-DIR
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
build=$1
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
export XDG_DATA_HOME="$home/data"
root="$XDG_DATA_HOME/TALVO/app"
entry="$XDG_DATA_HOME/applications/pro.talvo.recorder.desktop"
fail() { echo "FAIL: $*" >&2; exit 1; }

check_installed() {
  [ -x "$root/bin/talvo" ] || fail "no executable bin/talvo"
  [ "$("$root/bin/talvo" --version)" = "$("$build/app/talvo" --version)" ] || fail "installed version differs"
  desktop-file-validate "$entry" || fail "menu entry does not validate"
  grep -qxF "Exec=\"$root/bin/talvo\"" "$entry" || fail "menu entry does not start the installed program"
  [ -f "$XDG_DATA_HOME/icons/hicolor/scalable/apps/pro.talvo.recorder.svg" ] || fail "no icon"
  local linked
  linked=$(ldd "$root/bin/talvo")
  for library in libQt6Core libQt6Widgets libcurl libarchive; do
    grep -qF " => $root/bin/../lib/$library." <<<"$linked" || fail "$library not taken from the tree"
  done
  [ -f "$root/plugins/platforms/libqxcb.so" ] || fail "no xcb platform plugin"
  # The install path is a link to its tree, and nothing else lies beside them.
  local tree
  tree=$(readlink "$root")
  case $tree in .app-tree-*) ;; *) fail "the install path is not a link to its tree: $tree" ;; esac
  [ "$(ls -A "$XDG_DATA_HOME/TALVO" | sort)" = "$(printf '%s\n' "$tree" app)" ] ||
    fail "left-overs beside the tree: $(ls -A "$XDG_DATA_HOME/TALVO")"
}

"$repo/scripts/install" --build-dir "$build"
check_installed
touch "$root/from-the-first-install"
"$repo/scripts/install" --build-dir "$build"
check_installed
[ ! -e "$root/from-the-first-install" ] || fail "second run merged into the old tree instead of replacing it"
# What users download stays small.
archive=$(ls "$build"/packages/TALVO-*.tar.gz)
size=$(stat -c %s "$archive")
echo "release archive: $size bytes"
[ "$size" -le $((30 * 1024 * 1024)) ] || fail "release archive larger than 30 MiB: $size bytes"
"$root/bin/talvo" --uninstall
[ ! -e "$root" ] && [ ! -e "$entry" ] && [ -z "$(ls -A "$XDG_DATA_HOME/TALVO")" ] ||
  fail "--uninstall left the tree or the menu entry"
echo "install script: installed, upgraded in place and uninstalled"
