# Writes CHANGELOG.md in the form of a Debian changelog, which the package
# ships as changelog.gz, so the one file is the changelog's only source:
#   awk -v package=keyfolder -v maintainer='Name <address>' \
#     -f cmake/debian_changelog.awk CHANGELOG.md >changelog
# Each "## [version] - yyyy-mm-dd" section becomes one entry, newest first as
# in the file; "## [Unreleased]" has no version yet and is left out. Within an
# entry a "### Added" heading becomes the line "  Added:", an item "- text"
# becomes "  * text" and its continuation lines are indented to match; the
# entry's date is that day at midnight UTC.

# weekday(y, m, d): the English abbreviation of the date's day of the week
# (Sakamoto's method; the Gregorian calendar).
function weekday(y, m, d,   offsets, n) {
  split("0 3 2 5 0 3 5 1 4 6 2 4", offsets, " ")
  if (m < 3) y -= 1
  n = (y + int(y / 4) - int(y / 100) + int(y / 400) + offsets[m] + d) % 7
  return substr("SunMonTueWedThuFriSat", 3 * n + 1, 3)
}

# end_entry(): closes the entry being written, if any, with its trailer.
function end_entry() {
  if (in_entry) printf "\n -- %s  %s\n", maintainer, date
  in_entry = 0
}

BEGIN {
  months = "JanFebMarAprMayJunJulAugSepOctNovDec"
  in_entry = 0
  entries = 0
}

# A version's heading: a new entry, or the start of the unreleased part.
/^## \[/ {
  end_entry()
  if (!match($0, /^## \[[0-9][^]]*\] - [0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]$/)) next
  version = $0
  sub(/^## \[/, "", version)
  sub(/\].*/, "", version)
  split(substr($0, length($0) - 9), ymd, "-")
  date = sprintf("%s, %s %s %d 00:00:00 +0000", weekday(ymd[1] + 0, ymd[2] + 0, ymd[3] + 0),
                 ymd[3], substr(months, 3 * ymd[2] - 2, 3), ymd[1])
  if (entries++ > 0) print ""
  printf "%s (%s) unstable; urgency=medium\n", package, version
  in_entry = 1
  started = 0
  next
}

# Outside a released version (the title, the introduction, Unreleased).
!in_entry { next }

# A blank line parts the entry's heading from its first line and each group
# of items from the one before.
/^### / {
  heading = $0
  sub(/^### */, "", heading)
  printf "\n  %s:\n", heading
  started = 1
  next
}

/^$/ { next }
!started { print ""; started = 1 }
/^- / { printf "  * %s\n", substr($0, 3); next }
/^ +[^ ]/ { line = $0; sub(/^ +/, "", line); printf "    %s\n", line; next }
{ printf "  %s\n", $0 }

END { end_entry() }
