// The seam between the safe output's shared half (safe_output.cpp: writing,
// the commit's order, giving up) and each system's own half (POSIX:
// safe_output_*_posix.cpp; Windows: safe_output_win.cpp). Only those files
// include it.
#pragma once

#include "support/safe_output.h"

// The reason given when the output is no longer the file that was read, or
// was changed since.
constexpr const char* kOutputChanged = "changed while it was being converted";

// Sets the reason (a failure's first word is kept: later ones are effects).
void safe_output_reason(SafeOutput* out, const char* text);

// Returns `done`; a step that failed leaves errno's text as the reason.
bool safe_output_note(SafeOutput* out, bool done);

// A failure point of the test build (fault_injection.h): true when this one
// is chosen to fail, with errno set as for an I/O error.
bool safe_output_injected_failure();

// Closes the stream and lets go of the paths `out` holds; it then holds
// nothing.
void safe_output_release(SafeOutput* out);

// --- Provided by each system ---------------------------------------------

// Commits the temporary file's text to the disk (the stream is flushed).
bool system_sync_temp(SafeOutput* out);

// Holds, then lets through again, every signal that can be held, so that
// none ends the process between a check and the move it allows.
void system_hold_signals();
void system_release_signals();

// Where the output is the input (`check_input`): whether target_path still
// names it, unchanged since it was opened. The reason says so if not.
bool system_output_unchanged(SafeOutput* out);

// rename plan, signals held: puts the closed temporary file in the output's
// place, durably. The temporary file is then no longer watched.
bool system_replace(SafeOutput* out);

// rewrite plan: the whole commit after the sync (see safe_output.h), which
// closes the output's descriptors either way. On failure the temporary file
// is still watched (and so removed by the give-up) unless the reason names
// it as kept.
bool system_rewrite(SafeOutput* out);

// Closes the descriptors `out` holds (the stream is closed by now) and
// removes the temporary file if it is still watched (watched: it can be
// given up), then stops watching it.
void system_give_up(SafeOutput* out);
