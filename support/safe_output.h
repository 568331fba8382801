// Writing the output file so that neither a failure nor a second user nor an
// edit made during the run costs the old file or anything it carries.
//
// The output is opened as a plain open for writing would open it: the
// kernel follows its links (with its protections), refuses a loop and judges
// write permission by the effective ids. Only a link whose target does not
// exist yet is followed here, and only where the kernel's rule for sticky
// world-writable directories allows (the link's owner is the caller or the
// directory's owner), whatever the system setting. An output that is not a
// regular file (a FIFO, a device, a pipe or socket reached through
// /dev/stdout or /proc/self/fd/N) is written directly.
//
// A regular output is first written whole to a temporary file and synced.
// Where that file can carry all the old one has (mode, owner and group,
// extended attributes and so access control lists, a single name), it
// replaces the output by rename; otherwise (an owner the caller cannot give,
// more than one hard link, a directory the caller may not write, where the
// temporary file goes to the system's temporary directory) its text is
// copied into the existing file, which so keeps all of that, and the
// temporary file is removed once the copy is synced. Either way a complete
// old or new text is kept at every moment: on disk, except where the new
// text waits in the system's temporary directory, which may be held in
// memory (it then outlives a failure of the program, not of the machine).
// A rewrite does not write into a file the path no longer names. A new
// output gets the mode a plain create gives (0666 less the umask).
//
// While a temporary file can be given up, a fatal exit (util_fatal) removes
// it, and so does a signal that ends the process (SIGINT, SIGTERM, SIGHUP,
// SIGQUIT, SIGPIPE, SIGXFSZ), which then ends it by its default action.
// Those signals wait while the existing file is being rewritten.
//
// The Windows build (safe_output_win.cpp) writes the temporary in text mode
// (LF becomes CR LF), syncs it with _commit and replaces the output with
// MoveFileExW (replace existing, write through). It follows no links; of
// the old file's attributes it keeps hidden and system, and a read-only
// output is refused as fopen would refuse it. Access rights are those a new
// file in that directory gets. An input converted in place is checked as
// elsewhere, by volume, file index, size and last write time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Which file a stream reads, and its state: a rewrite in place compares it
// with the output before replacing, so that an edit made meanwhile is not
// overwritten.
struct FileIdentity {
  bool known;                 // a regular file whose identity was read
  uint64_t device;            // the device (on Windows the volume serial number)
  uint64_t inode;             // the inode (on Windows the file index)
  int64_t size;               // size in bytes
  int64_t mtime_seconds;      // last modification, seconds part
  int64_t mtime_nanoseconds;  // and its nanoseconds
};

// The identity of the file open as `stream`, as it stands now; `known` is
// false for a pipe, a terminal or a device, or when it cannot be had.
FileIdentity file_identity_of(FILE* stream);

// Bytes of a failure's reason, terminator included: the system's error text
// and the path of a temporary file kept with the new text.
constexpr size_t kSafeOutputReasonBytes = 4608;

struct SafeOutput {
  FILE* stream;        // where the text goes while writing
  char* target_path;   // the file finally written, links resolved (heap)
  char* temp_path;     // the temporary file, or null when writing directly (heap)
  int target_fd;       // the existing file to rewrite in place, or -1 (renamed over)
  bool check_input;    // the commit must find `input` still at target_path
  FileIdentity input;  // the file the text was made from
  bool failed;         // a write has failed: commit reports failure
  int error;           // the system's error number of that failed write
  char reason[kSafeOutputReasonBytes];  // why open or commit failed, for a message
};

// Prepares to write `path`. `input` (or null) is the file the new text was
// made from; when `in_place` says the output is that file, or when `path`
// turns out to name it, the commit replaces nothing unless `path` still
// names it unchanged (device, inode, size, modification time). Returns false
// when nothing could be opened; then nothing was created, `out->reason`
// says why and `out` holds nothing else to release.
bool safe_output_open(SafeOutput* out, const char* path, const FileIdentity* input, bool in_place);

// Writes `length` bytes / a terminated text; a failure is remembered in
// `failed` and `error`, and later writes are skipped.
void safe_output_write(SafeOutput* out, const char* data, size_t length);
void safe_output_puts(SafeOutput* out, const char* text);

// Finishes the file: flush and sync, then replace the output (rename and
// sync the directory, or rewrite in place). Returns false if anything
// failed, with the reason in `out->reason` ("changed while it was being
// converted" when the input changed); the temporary file is then removed and
// the output is as it was. Only when a rewrite in place failed and the old
// text could not be put back does the temporary file stay, and the reason
// names it. Releases everything `out` holds either way.
bool safe_output_commit(SafeOutput* out);

// Gives up: closes and removes the temporary file, releases `out`.
void safe_output_abandon(SafeOutput* out);

// Closes the stream `out` writes to, if any, without a word about how that
// went: for giving up. (The system's own half calls it.)
void safe_output_close_stream(SafeOutput* out);

// Lets go of the paths `out` holds and marks it as holding nothing (no
// stream, no descriptor); the system's own half calls it when `out` is done
// with, after closing what it opened.
void safe_output_release(SafeOutput* out);
