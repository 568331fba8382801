#!/bin/sh
# Renders the manual page given as $1 with every groff warning switched on;
# any diagnostic at all fails the test, so a broken macro or escape in the
# page is caught before it is installed.
set -u
page=$1
if ! command -v groff >/dev/null 2>&1; then
  echo "groff is missing (Debian package groff-base)" >&2
  exit 1
fi
diagnostics=$(groff -man -Tutf8 -ww -z "$page" 2>&1) || {
  echo "$diagnostics"
  exit 1
}
if [ -n "$diagnostics" ]; then
  echo "$diagnostics"
  exit 1
fi
