#!/usr/bin/env bash
# Checks the Debian package that `cpack -G DEB` made:
#   tests/package_check.sh path/to/keyfolder_<version>_<arch>.deb SCRATCH-DIR
# It must hold exactly the stripped program, the compressed manual page, the
# copyright file and the changelog, name its dependencies, pass lintian, and
# the program it installs (unpacked into SCRATCH-DIR with dpkg -x) must
# convert as the golden files say and show the package's version.
set -euo pipefail

deb=$1
scratch=$2
source_dir=$(realpath "$(dirname "$0")/..")
data="$source_dir/tests/data"
failures=0

fail() {
  echo "FAIL: $1" >&2
  failures=$((failures + 1))
}

if [ ! -f "$deb" ]; then
  echo "package_check: $deb was not made" >&2
  exit 1
fi
dpkg-deb -I "$deb"

# Contents: these files and nothing else (directories aside).
expected_files=$'./usr/bin/keyfolder\n./usr/share/doc/keyfolder/changelog.gz\n./usr/share/doc/keyfolder/copyright
./usr/share/man/man1/keyfolder.1.gz'
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort)
[ "$files" = "$expected_files" ] || fail "contents: $(echo "$files" | tr '\n' ' ')"

# Control fields: the name, a synopsis and a long description, and the
# C library among the dependencies dpkg-shlibdeps read off the program.
[ "$(dpkg-deb -f "$deb" Package)" = keyfolder ] || fail "Package field"
description=$(dpkg-deb -f "$deb" Description)
[ "$(echo "$description" | wc -l)" -ge 2 ] || fail "Description has no long description"
depends=$(dpkg-deb -f "$deb" Depends)
grep -Eq '(^|, )libc6 \(>= [0-9.]+\)' <<<"$depends" || fail "Depends: $depends"

# lintian, Debian's package checker: no error or warning, and none of the
# informational tags that say a hardening flag or the removal of the
# compilers' notes is missing.
if ! command -v lintian >/dev/null 2>&1; then
  echo "package_check: lintian is missing (Debian package lintian)" >&2
  exit 1
fi
lintian_tags=$(lintian --display-info "$deb" 2>/dev/null || true)
echo "lintian: ${lintian_tags:-no tags}"
if grep -Eq '^(E|W): |^I: [^ ]+ (hardening-|binary-has-unneeded-section)' <<<"$lintian_tags"; then
  fail "lintian"
fi

rm -rf "$scratch"
mkdir -p "$scratch/root" "$scratch/run"
scratch=$(realpath "$scratch")
dpkg -x "$deb" "$scratch/root"
program="$scratch/root/usr/bin/keyfolder"
sections=$(readelf -S "$program")
if grep -q '\.symtab' <<<"$sections"; then
  fail "the program keeps its symbol table (not stripped)"
fi
cmp -s <(gzip -dc "$scratch/root/usr/share/man/man1/keyfolder.1.gz") "$source_dir/docs/keyfolder.1" ||
  fail "the manual page is not docs/keyfolder.1"
cmp -s "$scratch/root/usr/share/doc/keyfolder/copyright" "$source_dir/cmake/copyright" ||
  fail "the copyright file is not cmake/copyright"
# The changelog's newest entry is the package's version (made from CHANGELOG.md).
version=$(dpkg-deb -f "$deb" Version)
newest=$(gzip -dc "$scratch/root/usr/share/doc/keyfolder/changelog.gz" | sed -n 1p)
[ "$newest" = "keyfolder ($version) unstable; urgency=medium" ] ||
  fail "changelog: newest entry '$newest', package version $version"

# The installed program converts the worked file as its golden files say
# (after the banner and the stamp line, which hold the date and time).
cp "$data/worked_conversion.conf" "$scratch/run/worked.conf"
if (cd "$scratch/run" && "$program" worked.conf >stdout); then
  banner=$(head -n 1 "$scratch/run/stdout")
  [[ "$banner" == "keyfolder v$version "* ]] || fail "banner '$banner', package version $version"
  cmp -s <(tail -n +2 "$scratch/run/stdout") "$data/worked_conversion.stdout" ||
    fail "worked conversion: standard output"
  cmp -s <(tail -n +2 "$scratch/run/worked.conf") "$data/worked_conversion.expected" ||
    fail "worked conversion: file"
else
  fail "worked conversion: exit status $?"
fi
# And the bundled example, which then reads back as clean.
cp "$source_dir/examples/arena.conf" "$scratch/run/arena.conf"
(cd "$scratch/run" && "$program" arena.conf >/dev/null) || fail "example: exit status $?"
again=$(cd "$scratch/run" && "$program" arena.conf)
grep -qx 'this file is already clean' <<<"$again" ||
  fail "example: the converted file does not read back clean"

if [ "$failures" -ne 0 ]; then
  echo "package_check: $failures check(s) failed" >&2
  exit 1
fi
echo "package_check: $deb holds the stripped program, the manual page, the copyright file and the changelog"
