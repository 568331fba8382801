#!/usr/bin/env bash
# End-to-end tests of the Windows build, run under wine:
#   tests/windows_e2e.sh path/to/keyfolder.exe VERSION
# Checks what is Windows-specific on top of the shared behaviour: files come
# out with CR LF line ends, CR LF input reads like LF input, a Ctrl-Z byte
# ends the input, the runtime expands wildcards, and the output is replaced
# through the Windows calls (devices written directly, read-only refused,
# hidden kept, an input changed during the run not overwritten, a failed
# replacement leaving the old file whole), each access error with its
# reason on standard error.
# Wine runs headless in a private prefix that is removed afterwards.
set -euo pipefail

exe=$(realpath "$1")
version_re=${2//./\\.}  # the version the banner and the stamp line must show
shared=$(realpath "$(dirname "$0")/data")
data="$shared/windows"
input="$shared/worked_conversion.conf"
golden="$data/worked_conversion.expected"

# The Windows golden file is the shared one with CR LF line ends; say so at
# once if the two have drifted apart.
if ! cmp -s <(tr -d '\r' <"$golden") "$shared/worked_conversion.expected" ||
  [ "$(grep -c $'\r$' "$golden")" -ne "$(wc -l <"$golden")" ]; then
  echo "windows_e2e: $golden is not worked_conversion.expected with CR LF ends" >&2
  exit 1
fi

wine=$(command -v wine || command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver64)

work=$(mktemp -d)
export WINEPREFIX="$work/prefix"
export WINEDEBUG=-all
# No .NET or HTML engine: a console program needs neither, and without this
# wine would offer to install them while creating the prefix.
export WINEDLLOVERRIDES="mscoree,mshtml="
export HOME="${HOME:-$work}"
unset DISPLAY WAYLAND_DISPLAY

# Stops this prefix's wine server (it saves the registry as it ends, so wait
# for that) before the prefix is removed.
cleanup() {
  "$wineserver" -k >/dev/null 2>&1 || true
  "$wineserver" -w >/dev/null 2>&1 || true
  rm -rf "$work" || true
}
trap cleanup EXIT

start=$(date +%s)
# One wine server for the whole run, started before the prefix is made: by
# default it ends 3 s after its last program, and a case started as it
# leaves would meet a server on its way out.
mkdir -p "$WINEPREFIX"
"$wineserver" -p
"$wine" wineboot --init </dev/null >"$work/wineboot.log" 2>&1 || {
  cat "$work/wineboot.log" >&2
  echo "windows_e2e: wine could not create its prefix" >&2
  exit 1
}
echo "windows_e2e: wine prefix ready in $(($(date +%s) - start)) s"

failures=0
dir=""
status=0

fail() {
  echo "FAIL: $1" >&2
  failures=$((failures + 1))
}

# new_case NAME: a fresh, empty directory for one case, made current for run.
new_case() {
  dir="$work/cases/$1"
  mkdir -p "$dir"
}

# run ARGS...: runs the program in the case directory; its standard output,
# with the console's CR LF turned into LF, lands in $work/out and its exit
# status in $status.
run() {
  set +e
  (cd "$dir" && "$wine" "$exe" "$@" </dev/null >"$work/raw" 2>"$work/err")
  status=$?
  set -e
  tr -d '\r' <"$work/raw" >"$work/out"
}

banner_re="^keyfolder v$version_re [A-Z][a-z]{2} [ 123][0-9] [0-9]{4} Lanternfold Tools <keyfolder@example\.org>$"

# expect_run NAME STATUS EXPECTED-STDOUT-AFTER-BANNER: checks the last run.
expect_run() {
  local name=$1 want_status=$2 want_out=$3 before=$failures
  [ "$status" -eq "$want_status" ] || fail "$name: status $status, expected $want_status"
  grep -Eq "$banner_re" <<<"$(head -n 1 "$work/out")" || fail "$name: banner: $(head -n 1 "$work/out")"
  if ! diff -u <(printf '%s' "$want_out") <(tail -n +2 "$work/out") >"$work/diff"; then
    fail "$name: standard output"
    cat "$work/diff" >&2
  fi
  # What the program (or wine) said of a failed case.
  if [ "$failures" -ne "$before" ]; then
    echo "$name: standard error:" >&2
    cat "$work/err" >&2
  fi
}

stamp_re=$'^; keyfolder\'d on [A-Z][a-z]{2} [A-Z][a-z]{2} [0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4} \\(v'"$version_re"$' Lanternfold Tools <keyfolder@example\\.org>\\)\r$'

# expect_file NAME FILE GOLDEN: FILE is a stamp line ending in CR LF and
# then exactly the bytes of GOLDEN.
expect_file() {
  local name=$1 file=$2 golden=$3
  if [ ! -f "$file" ]; then
    fail "$name: $file was not written"
    return
  fi
  grep -Eq "$stamp_re" <<<"$(head -n 1 "$file")" || fail "$name: stamp line: $(head -n 1 "$file" | cat -A)"
  if ! cmp -s <(tail -n +2 "$file") "$golden"; then
    fail "$name: file contents"
    diff -u <(cat -A "$golden") <(tail -n +2 "$file" | cat -A) >&2 || true
  fi
}

# expect_err NAME EXPECTED-STDERR: checks the last run's standard error,
# CR LF turned into LF.
expect_err() {
  local got
  got=$(tr -d '\r' <"$work/err")
  [ "$got" = "$1" ] || fail "$2: standard error: '$got', expected '$1'"
}

# No temporary file may be left beside an output.
expect_no_leftovers() {
  local left
  left=$(find "$dir" -name '.*' -type f)
  [ -z "$left" ] || fail "$1: left behind: $left"
}

worked_out=$'writing pp\'s\nwriting section: General\nwriting section: Misc\nwriting section: Warbird
writing section: Spider\nwriting section: Shark\nwriting section: zeta\n'
warning() { printf "please check the preprocessor directives in '%s' for errors\n" "$1"; }
# The block report: the lines counted as the converted file holds them.
worked_err="arena.conf:18: [Spider] Y: now inside '#ifdef FOO' (line 17); in the input outside every block (input line 11)
arena.conf:22: [Shark] X: now inside '#ifdef FOO' (line 17); in the input outside every block (input line 8)
arena.conf:25: [zeta] a: now inside '#ifdef FOO' (line 17); in the input outside every block (input line 9)"

# --- The worked conversion, in place: CR LF line ends throughout.
new_case worked
cp "$input" "$dir/arena.conf"
run arena.conf
expect_run worked 0 "$worked_out$(warning arena.conf)"$'\n'
expect_err "$worked_err" worked
expect_file worked "$dir/arena.conf" "$golden"
expect_no_leftovers worked

# --- The same input with CR LF line ends gives the same file.
new_case crlf_input
sed 's/$/\r/' "$input" >"$dir/arena.conf"
run arena.conf
expect_run crlf_input 0 "$worked_out$(warning arena.conf)"$'\n'
expect_err "$worked_err" crlf_input
expect_file crlf_input "$dir/arena.conf" "$golden"

# --- Converting the result again finds it clean and leaves it alone.
cp "$dir/arena.conf" "$work/converted"
run arena.conf
expect_run reconvert 0 $'this file is already clean\n'
cmp -s "$dir/arena.conf" "$work/converted" || fail "reconvert: the clean file was changed"

# --- Two arguments: the second file is written, the first left as it was.
new_case two_arguments
cp "$input" "$dir/in.conf"
run in.conf out.conf
expect_run two_arguments 0 "$worked_out$(warning out.conf)"$'\n'
expect_file two_arguments "$dir/out.conf" "$golden"
cmp -s "$dir/in.conf" "$input" || fail "two_arguments: input changed"

# --- Ctrl-Z ends the input: a floating key after it is never seen, so the
# file is clean; keys after it are dropped from a converted file.
new_case ctrl_z
printf '[General]\r\nA=1\r\n\032Misc:B=2\r\n' >"$dir/clean.conf"
cp "$dir/clean.conf" "$work/clean.before"
run clean.conf
expect_run ctrl_z_clean 0 $'this file is already clean\n'
cmp -s "$dir/clean.conf" "$work/clean.before" || fail "ctrl_z_clean: file changed"
printf '[General]\r\nA=1\r\nMisc:B=2\r\n\032\r\nShark:Hidden=1\r\n' >"$dir/cut.conf"
printf '\r\n[General]\r\nA = 1\r\n\r\n[Misc]\r\nB = 2\r\n' >"$work/cut.expected"
run cut.conf
expect_run ctrl_z_cut 0 $'writing section: General\nwriting section: Misc\n'
expect_file ctrl_z_cut "$dir/cut.conf" "$work/cut.expected"

# --- Wildcards are expanded by the runtime: one match is the input; two
# matches are the input and the output, in name order.
new_case wildcard
cp "$input" "$dir/arena.conf"
run 'a*.conf'
expect_run wildcard_one 0 "$worked_out$(warning arena.conf)"$'\n'
expect_file wildcard_one "$dir/arena.conf" "$golden"
cp "$input" "$dir/pair1.conf"
: >"$dir/pair2.conf"
run 'pair?.conf'
expect_run wildcard_two 0 "$worked_out$(warning pair2.conf)"$'\n'
expect_file wildcard_two "$dir/pair2.conf" "$golden"
cmp -s "$dir/pair1.conf" "$input" || fail "wildcard_two: input changed"
run 'none*.conf'
expect_run wildcard_none 1 $'error accessing \'none*.conf\'\n'

# --- The command line.
new_case command_line
run
argv0=$(cd "$dir" && "$wine" winepath -w "$exe" </dev/null 2>/dev/null | tr -d '\r')
expect_run no_arguments 2 "Usage: $argv0 <arena.conf> [<out.conf>]"$'\n'
help=$'use this tool to merge floating keys like section:name=value into the more
readable [section] name=value format. warning: comments are discarded\n'
run --help
expect_run help_long 0 "$help"
run -h extra.conf
expect_run help_short 0 "$help"
run missing.conf out.conf
expect_run missing_input 1 $'error accessing \'missing.conf\'\n'
expect_err "keyfolder: missing.conf: No such file or directory" missing_input
[ ! -e "$dir/out.conf" ] || fail "missing_input: an output was created"

# --- A clean file is untouched, and with a second argument nothing is made.
new_case clean
printf '; only keys under headers\r\n[General]\r\nA=1\r\n#if X\r\n' >"$dir/clean.conf"
cp "$dir/clean.conf" "$work/clean.before"
run clean.conf other.conf
expect_run clean 0 $'this file is already clean\n'
cmp -s "$dir/clean.conf" "$work/clean.before" || fail "clean: file changed"
[ ! -e "$dir/other.conf" ] || fail "clean: an output was created"

# --- A hidden output stays hidden once replaced. Wine keeps DOS attributes
# in extended attributes, which not every file system holding /tmp offers.
is_hidden() {
  local shown
  shown=$(cd "$dir" && "$wine" attrib "$1" </dev/null 2>/dev/null | tr -d '\r')
  [[ "$shown" =~ ^[A-Z\ ]*H ]]
}
new_case hidden
cp "$input" "$dir/arena.conf"
(cd "$dir" && "$wine" attrib +h arena.conf </dev/null >/dev/null 2>&1) || true
if is_hidden arena.conf; then
  run arena.conf
  expect_file hidden "$dir/arena.conf" "$golden"
  is_hidden arena.conf || fail "hidden: the replaced file is no longer hidden"
else
  echo "windows_e2e: skipped hidden: this file system keeps no DOS attributes"
fi

# --- A device is written directly; a read-only output is refused and kept.
new_case outputs
cp "$input" "$dir/arena.conf"
run arena.conf NUL
expect_run device 0 "$worked_out$(warning NUL)"$'\n'
cmp -s "$dir/arena.conf" "$input" || fail "device: input changed"
chmod a-w "$dir/arena.conf"
run arena.conf
expect_run read_only 1 $'error accessing \'arena.conf\'\n'
expect_err "keyfolder: arena.conf: Permission denied" read_only
cmp -s "$dir/arena.conf" "$input" || fail "read_only: file changed"
expect_no_leftovers read_only

# held_run OUTPUT ACTION ARGS...: runs the program with ARGS on files of
# thousands of sections, held mid-write by a pipe nobody reads (one progress
# line each) until the temporary file for OUTPUT exists; then runs ACTION,
# lets the run finish and leaves its output in $work/out.
held_run() {
  local output=$1 action=$2 held
  shift 2
  rm -f "$work/progress"
  mkfifo "$work/progress"
  set +e
  (cd "$dir" && exec "$wine" "$exe" "$@" </dev/null >"$work/progress" 2>"$work/err") &
  held=$!
  exec 3<"$work/progress"
  for _ in $(seq 300); do
    [ -z "$(find "$dir" -name ".$output.*")" ] || break
    sleep 0.1
  done
  $action
  tr -d '\r' <&3 >"$work/out"
  exec 3<&-
  wait "$held"
  status=$?
  set -e
}
many_sections() { awk 'BEGIN { for (i = 0; i < 6000; i++) print "Section" i ":key=value" }'; }

# --- A line appended while the file is converted in place is not lost: the
# run must refuse to replace the file.
new_case changed
many_sections >"$dir/arena.conf"
cp "$dir/arena.conf" "$work/changed.expected"
echo "Misc:Late=1" >>"$work/changed.expected"
append_line() { echo "Misc:Late=1" >>"$dir/arena.conf"; }
held_run arena.conf append_line arena.conf
[ "$status" -eq 1 ] || fail "changed: status $status, expected 1"
[ "$(tail -n 1 "$work/out")" = "error accessing 'arena.conf'" ] ||
  fail "changed: last line $(tail -n 1 "$work/out")"
expect_err "keyfolder: arena.conf: changed while it was being converted" changed
cmp -s "$dir/arena.conf" "$work/changed.expected" || fail "changed: the appended line was lost"
expect_no_leftovers changed

# --- A replacement that fails (the output made read-only during the run,
# which ReplaceFileW refuses) leaves the old file whole and nothing beside it.
new_case failed_replace
many_sections >"$dir/in.conf"
echo "old text" >"$dir/out.conf"
make_read_only() { chmod a-w "$dir/out.conf"; }
held_run out.conf make_read_only in.conf out.conf
[ "$status" -eq 1 ] || fail "failed_replace: status $status, expected 1"
[ "$(tail -n 1 "$work/out")" = "error accessing 'out.conf'" ] ||
  fail "failed_replace: last line $(tail -n 1 "$work/out")"
[ "$(cat "$dir/out.conf")" = "old text" ] || fail "failed_replace: the old file changed"
[ "$(ls -A "$dir")" = $'in.conf\nout.conf' ] || fail "failed_replace: left $(ls -A "$dir")"

echo "windows_e2e: done in $(($(date +%s) - start)) s"
if [ "$failures" -ne 0 ]; then
  echo "windows_e2e: $failures check(s) failed" >&2
  exit 1
fi
echo "windows_e2e: all checks passed"
