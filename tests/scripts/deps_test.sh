#!/usr/bin/env bash
# scripts/deps.sh with a PATH that lacks one tool and installing forbidden: it names the tool's package and
# exits 2, for each tool in turn; with nothing hidden it passes.
set -u
deps=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A PATH of links to every program on this one except the hidden one.
path_without() {
  local dir=$work/path-$1 entry
  mkdir -p "$dir"
  local IFS=:
  for entry in $PATH; do
    [ -d "$entry" ] || continue
    for program in "$entry"/*; do
      local name=${program##*/}
      [ "$name" = "$1" ] || [ -e "$dir/$name" ] || ln -s "$program" "$dir/$name"
    done
  done
  echo "$dir"
}

status=0
for case in cmake:cmake ninja:ninja-build g++:g++; do
  tool=${case%%:*} package=${case#*:}
  output=$(KIVO_NO_INSTALL=1 PATH=$(path_without "$tool") "$BASH" "$deps" build 2>&1)
  rc=$?
  if [ $rc -ne 2 ] || ! grep -q "(package $package)" <<<"$output" || ! grep -q "install .*$package" <<<"$output"; then
    echo "without $tool: exit $rc, expected 2 naming $package; output:"; echo "$output"; status=1
  fi
done
if ! output=$(KIVO_NO_INSTALL=1 "$BASH" "$deps" build 2>&1); then
  echo "with every tool present it failed:"; echo "$output"; status=1
fi
exit $status
