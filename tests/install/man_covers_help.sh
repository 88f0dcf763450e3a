#!/bin/sh
# Every option a program's --help lists is described in its man page, so the two cannot drift
# apart unnoticed when an option is added.
# usage: man_covers_help.sh PROGRAM MAN_PAGE
set -eu
program=$1 page=$2
options=$("$program" --help | grep -Eo '^ +(-[a-z],)?--[a-z][a-z-]*' | grep -Eo -- '--[a-z-]+')
missing=0
for option in $options; do
  # roff spells each hyphen \-
  escaped=$(printf '%s' "$option" | sed 's/-/\\\\-/g')
  if ! grep -q -- "$escaped" "$page"; then
    echo "$(basename "$page") does not describe $option"
    missing=$((missing + 1))
  fi
done
echo "$(echo "$options" | wc -w) options of $(basename "$program") --help, $missing missing from the man page"
[ "$missing" -eq 0 ]
