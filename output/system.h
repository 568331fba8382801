// The seam between the safe output's shared half (safe_output.cpp) and each
// system's (safe_output_win.cpp; safe_output_*posix.cpp). Only they include it.
#pragma once

#include <sys/stat.h>

#include <climits>

#include "output/safe_output.h"

// The reason when the output is no longer the file read, or was changed.
constexpr const char* kOutputChanged = "changed while it was being converted";

// Sets the reason; the first failure's is kept, later ones are its effects.
void safe_output_reason(SafeOutput* out, const char* text);

// Returns `done`; a step that failed leaves errno's text as the reason,
// followed by `why` in brackets where given.
bool safe_output_note(SafeOutput* out, bool done, const char* why = nullptr);

// A failure point of the test build (fault_injection.h); errno as for EIO.
bool safe_output_injected_failure();

// Closes the stream and lets go of the paths (the descriptors are closed).
void safe_output_release(SafeOutput* out);


// Each system's own. Commits the flushed temporary file's text to the disk.
bool system_sync_temp(SafeOutput* out);

// Holds every signal that can be held, then lets them through again.
void system_hold_signals();
void system_release_signals();

// Where the output is the input: whether target_path still names it,
// unchanged; if not, the reason says so.
bool system_output_unchanged(SafeOutput* out);

// rename plan, signals held: puts the closed temporary file in the output's
// place, durably, and stops watching it.
bool system_replace(SafeOutput* out);

// rewrite plan: the commit after the sync (safe_output.h); closes the
// output's descriptors. On failure the temporary file is still watched (so
// the give-up removes it) unless it is kept, as standard error then says.
bool system_rewrite(SafeOutput* out);

// Closes the descriptors and removes the temporary file if still watched.
void system_give_up(SafeOutput* out);

#ifndef _WIN32
// Shared by the POSIX files. The folder part of `path` ("." for none).
void directory_of(const char* path, char dir[PATH_MAX]);

// Creates and watches a temporary file, 0600, ".NAME.XXXXXX" after `name`,
// in `dir` (null: beside `name`). Its descriptor, `out->temp_path` set; or
// -1, errno set, nothing made and every signal's action as before.
int temp_create(SafeOutput* out, const char* dir, const char* name);

// Removes the temporary file if still watched, unwatches, forgets its path.
void temp_discard(SafeOutput* out);

// Stops watching the temporary file (renamed, removed, or to be kept).
void temp_unwatch();

FileIdentity identity_of(const struct stat& info);

// Gives `temp` exactly the owner, group, mode and extended attributes of
// the output `target` (status `info`); false when any could not be given.
bool carry_identity(int temp, int target, const struct stat& info);

// rewrite plan, at open: opens the output (status `info`) as `out->old_fd`
// and reads its old text for `out->old_digest`. False, with the reason,
// when it cannot be read or is no longer the file opened.
bool rewrite_prepare(SafeOutput* out, const struct stat& info);
#endif
