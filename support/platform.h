// What the tool needs from the operating system, in one place: the argument
// list with wildcards expanded, the local time written as the stamp line
// shows it, and the size of an open file. Running out of memory ends the process (util_fatal).
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>

// An argument vector owned by the program: release with args_release.
struct ArgList {
  int count;     // number of arguments, argument zero included
  char** items;  // `count` heap texts, then a null pointer
};

// Copies argv, replacing every argument after argument zero that holds '*'
// or '?' by the names of the files it matches, in sorted order; a pattern
// that matches nothing stays as typed. On Windows the C runtime's start-up
// code has done that expansion before main (in its own order), so argv is
// copied as it is.
ArgList args_expand(int argc, char** argv);

// Releases every text and the vector; leaves the list empty.
void args_release(ArgList* args);

// Characters of a formatted time, without terminator.
constexpr int kTimeTextChars = 24;

// Writes `when` in local time as exactly 24 characters plus a terminator:
// English weekday and month (three letters each), day of month as two digits
// with a leading zero, hh:mm:ss, four-digit year, single spaces between,
// e.g. "Tue Dec 08 07:18:32 2026".
void format_local_time(char text[kTimeTextChars + 1], time_t when);

// The size in bytes of the regular file open as `stream`, or -1 when it is
// not a regular file (a pipe, a terminal) or its size cannot be had. Only a
// hint: the file may change before it is read.
int64_t file_size_of(FILE* stream);
