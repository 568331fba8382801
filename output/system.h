// The seam between the write path's shared half (safe_output.cpp) and each
// system's (posix/, windows/), with the headers all of them use. Only they
// include it.
#pragma once

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "output/safe_output.h"
#include "support/alloc.h"

// The reason when the output is no longer the file read, or was changed.
constexpr const char* kOutputChanged = "changed while it was being converted";

// Both known and the same file: the write path's one test of "the same file".
inline bool file_identity_same_file(const FileIdentity& a, const FileIdentity& b) {
  return a.known && b.known && a.device == b.device && a.inode == b.inode;
}

// Sets the reason; the first failure's is kept, later ones are its effects.
void safe_output_reason(SafeOutput* out, const char* text);

// Returns `done`; a step that failed leaves errno's text as the reason,
// followed by `why` in brackets where given.
bool safe_output_note(SafeOutput* out, bool done, const char* why = nullptr);

// A failure point of the test build (fault_injection.h); errno as for EIO.
bool safe_output_injected_failure();

// For an output the plan may replace, whose path names `found`: whether it is
// the input (named as such, `in_place`, or not), which the commit finds unchanged.
void safe_output_check_input(SafeOutput* out, const FileIdentity& found, bool in_place);

// True if `same` (the file opened, its text as read) and, where the output
// is the input, `found` is the input unchanged; else false, with the reason.
bool safe_output_unchanged(SafeOutput* out, const FileIdentity& found, bool same = true);

// Removes the temporary file if still watched, unwatches, forgets its path.
void temp_discard(SafeOutput* out);

// Each system's own. Opens `path` and chooses the plan; false, with the
// reason, when nothing could be opened (the shared half then gives up).
bool system_open(SafeOutput* out, const char* path, bool in_place);

// The file `path` names now (not known: none); `*exists`: whether anything is.
FileIdentity system_identity_at(const char* path, bool* exists = nullptr);

// Commits the flushed temporary file's text to the disk.
bool system_sync_temp(SafeOutput* out);

// Holds every signal that can be held, then lets them through again.
void system_hold_signals();
void system_release_signals();

// rename plan, signals held: puts the closed temporary file in the output's
// place, durably, and stops watching it.
bool system_replace(SafeOutput* out);

// After a commit or a failure: closes the descriptors, removes the temporary
// file if still watched and lets go of its path.
void system_give_up(SafeOutput* out);

// Removes the watched temporary file, if any (the fatal clean-up; signal-safe).
void temp_remove();

// Stops watching the temporary file (renamed, removed, or to be kept).
void temp_unwatch();

#ifdef _WIN32
// Heap UTF-16 copy of `text`, read in the ANSI code page as fopen reads it.
wchar_t* widen(const char* text);

// Creates, opens in text mode and watches a temporary file ".NAME.PID-N"
// beside the output; false when impossible (the give-up removes it).
bool temp_create(SafeOutput* out);
#else
// rewrite plan, after the sync: the commit. On failure the temporary file
// stays watched unless kept (standard error says).
bool system_rewrite(SafeOutput* out);

// The folder part of `path` ("." for none).
void directory_of(const char* path, char dir[PATH_MAX]);

// Creates and watches a temporary file, 0600, ".NAME.XXXXXX" after `name`,
// in `dir` (null: beside `name`). Its descriptor, `out->temp_path` set; or
// -1, errno set, nothing made and every signal's action as before.
int temp_create(SafeOutput* out, const char* dir, const char* name);

// Any file's identity (known), from its status.
FileIdentity identity_of(const struct stat& info);

// Gives `temp` exactly the owner, group, mode and extended attributes of
// the output `target` (status `info`); false when any could not be given.
bool carry_identity(int temp, int target, const struct stat& info);

// rewrite plan, at open: opens the output (status `info`) as `out->old_fd`
// and reads its old text for `out->old_digest`. False, with the reason,
// when it cannot be read or is no longer the file opened.
bool rewrite_prepare(SafeOutput* out, const struct stat& info);
#endif
