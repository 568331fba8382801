#!/bin/sh
# host_protection.sh save|restore FILE: keeps the kernel's protections of
# files and FIFOs in sticky folders (fs.protected_regular, .protected_fifos)
# in FILE before the test that switches them off, and puts them back after
# it, however it ended. Without the settings, or unable to write them (not
# root), it changes nothing.
set -eu
settings="/proc/sys/fs/protected_regular /proc/sys/fs/protected_fifos"
case $1 in
save)
  cat $settings >"$2" 2>/dev/null || rm -f "$2"
  ;;
restore)
  [ -f "$2" ] || exit 0
  for setting in $settings; do
    read -r value
    [ "$(cat "$setting")" = "$value" ] || echo "$value" >"$setting"
  done <"$2"
  rm -f "$2"
  ;;
esac
