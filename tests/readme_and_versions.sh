#!/usr/bin/env bash
# Checks what the texts a user reads say against the program:
#   tests/readme_and_versions.sh path/to/keyfolder VERSION
# - the README's before/after example (its first two ```ini blocks) is what
#   the program makes of that input, the stamp line's time aside;
# - its directive example (the next two) is a passage of examples/arena.conf
#   and a passage of what the program makes of that file;
# - one version, the project's, everywhere: the banner, the newest entry of
#   CHANGELOG.md, the manual page's title line, and every version number the
#   README, docs/DEVELOPING.md and the manual page name;
# - the README names every file of a release, as scripts/release lists them
#   at its top, with the project's version.
set -euo pipefail

program=$(realpath "$1")
version=$2
source_dir=$(realpath "$(dirname "$0")/..")
readme="$source_dir/README.md"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
  echo "FAIL: $1" >&2
  failures=$((failures + 1))
}

# ini_block N: the lines of the README's N-th ```ini block.
ini_block() {
  awk -v want="$1" '
    /^```/ && inside { inside = 0; next }
    /^```ini$/ && ++n == want { inside = 1; next }
    inside' "$readme"
}

# without_time: standard input with the time taken out of a stamp line.
without_time() {
  sed -E "s/^(; keyfolder'd on ).{24}/\\1<time>/"
}

# contains FILE PASSAGE-FILE: FILE holds the passage's lines one after another.
contains() {
  [ -s "$2" ] && awk '
    NR == FNR { want[++n] = $0; next }
    { line[++m] = $0 }
    END {
      for (i = 1; i + n - 1 <= m; i++) {
        for (j = 1; j <= n && line[i + j - 1] == want[j]; j++) {}
        if (j > n) exit 0
      }
      exit 1
    }' "$2" "$1"
}

# --- The before/after example.
ini_block 1 >"$work/arena.conf"
ini_block 2 >"$work/expected"
if (cd "$work" && "$program" arena.conf >/dev/null); then
  if ! diff -u <(without_time <"$work/expected") <(without_time <"$work/arena.conf") >"$work/diff"; then
    fail "README: the example's output (second \`\`\`ini block) is not what keyfolder writes"
    cat "$work/diff" >&2
  fi
else
  fail "README: keyfolder failed on the example's input (first \`\`\`ini block)"
fi

# --- The directive example, from the bundled example.
ini_block 3 >"$work/before"
ini_block 4 >"$work/after"
cp "$source_dir/examples/arena.conf" "$work/example.conf"
(cd "$work" && "$program" example.conf >/dev/null) || fail "keyfolder failed on examples/arena.conf"
contains "$source_dir/examples/arena.conf" "$work/before" ||
  fail "README: the third \`\`\`ini block is not a passage of examples/arena.conf"
contains "$work/example.conf" "$work/after" ||
  fail "README: the fourth \`\`\`ini block is not a passage of examples/arena.conf converted"

# --- One version.
banner=$("$program" --help | sed -n 1p)
[[ "$banner" == "keyfolder v$version "* ]] || fail "banner '$banner', project version $version"
newest=$(sed -n 's/^## \[\([0-9][^]]*\)\].*/\1/p' "$source_dir/CHANGELOG.md" | sed -n 1p)
[ "$newest" = "$version" ] || fail "CHANGELOG.md: newest entry '$newest', project version $version"
grep -q "^\.TH KEYFOLDER 1 \"[^\"]*\" \"keyfolder $version\"" "$source_dir/docs/keyfolder.1" ||
  fail "docs/keyfolder.1: the .TH line does not name keyfolder $version"
for text in README.md docs/DEVELOPING.md docs/keyfolder.1; do
  for named in $(grep -oE '[0-9]+\.[0-9]+\.[0-9]+' "$source_dir/$text" | sort -u); do
    [ "$named" = "$version" ] || fail "$text names version $named, project version $version"
  done
done

# --- The release's files.
release_files=$(sed -n 's/^#   \(keyfolder[^ ]*\) .*/\1/p' "$source_dir/scripts/release")
[ -n "$release_files" ] || fail "scripts/release lists no files at its top"
for file in $release_files; do
  file=${file//<version>/$version}
  grep -qF "\`$file\`" "$readme" || fail "README: names no \`$file\`, a file of the release"
done

if [ "$failures" -ne 0 ]; then
  echo "readme_and_versions: $failures check(s) failed" >&2
  exit 1
fi
echo "readme_and_versions: the README's examples hold, it names every release file and" \
  "every text names version $version"
