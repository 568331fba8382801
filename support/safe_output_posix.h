// What the POSIX half of the safe output shares between its files: the
// temporary file and its signal guard (safe_output_temp_posix.cpp), the
// file's identity and what it carries (safe_output_meta_posix.cpp), the
// rewrite in place (safe_output_rewrite_posix.cpp); opening the output
// and choosing the plan is safe_output_posix.cpp. Only those files include it.
#pragma once

#include <sys/stat.h>

#include <climits>

#include "support/safe_output_system.h"

// The folder part of `path` ("." when it has none), cut to PATH_MAX.
void directory_of(const char* path, char dir[PATH_MAX]);

// Creates a new temporary file, mode 0600, in `dir`, named after the last
// part of `name` with a leading dot and a unique suffix, and watches it:
// from here a fatal exit or a signal that ends the process removes it.
// Returns its descriptor with `out->temp_path` set, or -1 with errno set,
// nothing created and every signal's action as before.
int temp_create(SafeOutput* out, const char* dir, const char* name);

// Removes the temporary file if it is still watched, stops watching it and
// forgets its path.
void temp_discard(SafeOutput* out);

// Stops watching the temporary file: it has been renamed, removed, or must
// stay. Signals act as before it was made.
void temp_unwatch();

// Whether a signal is waiting that will end the process once let through.
bool temp_deadly_signal_pending();

// The identity read off a status.
FileIdentity identity_of(const struct stat& info);

// Gives the temporary file `temp` exactly the owner, group, mode and
// extended attributes (access lists among them) of the output `target`
// (status `info`). False when any of it could not be given.
bool carry_identity(int temp, int target, const struct stat& info);

// rewrite plan, at open: opens the output (status `info`) for reading as
// `out->old_fd` and reads its old text once for `out->old_digest`. False,
// with the reason, when it cannot be read, or (where the output is the
// input) has changed since it was opened.
bool rewrite_prepare(SafeOutput* out, const struct stat& info);
