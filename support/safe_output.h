// Writing the output file so that a failure never damages the old one.
//
// A regular output file (or one that does not exist yet) is written to a new
// temporary file in the same directory, which replaces the output by rename
// only after every write, the flush and the sync succeeded. An output path
// that is a symbolic link stays a link: its final target is replaced. An
// existing output that is not a regular file (a FIFO, a terminal, a device)
// is written directly and never replaced. The replacement keeps the old
// file's permission bits and, where allowed, its owner and group; a new file
// gets the mode a plain create gives (0666 less the umask).
//
// While a temporary file exists, a fatal exit (util_fatal) removes it, and
// so does a signal that ends the process (SIGINT, SIGTERM, SIGHUP, SIGQUIT,
// SIGPIPE, SIGXFSZ), which then ends it as it would have.
//
// The Windows build (safe_output_win.cpp) writes the temporary in text mode
// (LF becomes CR LF), syncs it with _commit and replaces the output with
// MoveFileExW (replace existing, write through). It follows no links; of
// the old file's attributes it keeps hidden and system, and a read-only
// output is refused as fopen would refuse it. Access rights are those a new
// file in that directory gets.
#pragma once

#include <cstddef>
#include <cstdio>

struct SafeOutput {
  FILE* stream;       // where the text goes while writing
  char* target_path;  // the file finally written, links resolved (heap)
  char* temp_path;    // the temporary file, or null when writing directly (heap)
  bool failed;        // a write has failed: commit reports failure
};

// Prepares to write `path`. Returns false when nothing could be opened; then
// nothing was created and `out` holds nothing to release.
bool safe_output_open(SafeOutput* out, const char* path);

// Writes `length` bytes / a terminated text; a failure is remembered in
// `failed` and later writes are skipped.
void safe_output_write(SafeOutput* out, const char* data, size_t length);
void safe_output_puts(SafeOutput* out, const char* text);

// Finishes the file: flush, sync, close, and (for a temporary) rename over
// the target and sync the directory. Returns false if anything failed; the
// temporary file is then removed and the old output is as it was. Releases
// everything `out` holds either way.
bool safe_output_commit(SafeOutput* out);

// Gives up: closes and removes the temporary file, releases `out`.
void safe_output_abandon(SafeOutput* out);
