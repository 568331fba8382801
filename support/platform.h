// What the tool needs from the operating system, in one place: the local
// time written as the stamp line shows it and random bytes for a hash key.
// On Windows it also has the runtime expand wildcards in the arguments,
// which on other systems the shell has done before the program starts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

// Characters of a formatted time, without terminator.
constexpr int kTimeTextChars = 24;

// Writes `when` in local time as exactly 24 characters plus a terminator:
// English weekday and month (three letters each), day of month as two digits
// with a leading zero, hh:mm:ss, four-digit year, single spaces between,
// e.g. "Tue Dec 08 07:18:32 2026".
void format_local_time(char text[kTimeTextChars + 1], time_t when);

// Fills `count` bytes with the system's random bytes, for a key that must
// differ from run to run and that no one outside the run can know. Where
// the system gives none (a kernel without getrandom), they are mixed from
// the clock, the process id and where the process lies in memory, which an
// input written beforehand cannot foresee either.
void platform_random_bytes(void* bytes, size_t count);
