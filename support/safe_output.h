// Writing the output file so that neither a failure, nor a signal, nor a
// second user, nor an edit made during the run costs the old file or
// anything it carries, or shows anyone a text they could not read before.
//
// Calling sequence: safe_output_open chooses a plan, once, from what it
// finds at the path, and records it in `plan`; the caller writes with
// safe_output_write and safe_output_puts; then safe_output_commit, or
// safe_output_abandon to give up. Every later step follows `plan`.
//
// The output is opened as a plain open for writing would open it: the kernel
// follows its links and judges write permission. A link whose target does
// not exist yet is followed here, and only where the kernel's strictest rule
// for sticky world-writable folders allows; the same rule refuses a regular
// file or FIFO there that neither the caller nor the folder's owner owns,
// whatever the system setting. An output that is the input's own stream
// (a pipe or terminal named /dev/stdin) is refused before the input is read
// (safe_output_is_input_stream).
//
// The plans, and what is on disk between their moves:
//
// direct: the output is no regular file (a FIFO, a device, a pipe or socket
//   reached by name). The text is written into it as it comes; there is no
//   old text to keep.
//
// rename: a new output, or an existing one with one name, in a folder the
//   caller may write, with an owner, group, mode and extended attributes
//   (access lists among them) that the caller can give exactly.
//   open    a temporary file ".NAME.XXXXXX" beside the output, created 0600,
//           is given everything the output carries (a new output: the mode
//           a plain create gives). If any of it cannot be given exactly,
//           it is removed at once and the plan is rewrite.
//   write   into the temporary file. A failure or a signal removes it; the
//           output is untouched.
//   commit  sync the temporary file; hold every signal; check the output
//           (where it is the input: still there, unchanged); rename it over
//           the output; let the signals through; sync the folder. A failure
//           before the rename removes the temporary file.
//
// rewrite: an existing output that a rename would change: more than one
//   name, an owner, group or attribute the caller cannot give, or a folder
//   the caller may not write (the temporary file then goes to TMPDIR, or
//   /tmp). Its text is replaced inside the existing file, which so keeps all
//   it carries.
//   open    the old text is read once (a rewrite without a way back is
//           refused here, before anything is touched); a private temporary
//           file (0600, the caller's) is made and stays private.
//   write   as for rename.
//   commit  sync the temporary file; hold every signal that can be held;
//           copy the old text into an unnamed backup file; check that the
//           path still names the file and, where it is the input, that it is
//           unchanged and its text is the one read at open; copy the new
//           text in, cut the file to length, sync; remove the temporary
//           file; let the signals through. A failure in the copy puts the
//           old text back from the backup. If even that fails, or power is
//           lost, or the process is killed (SIGKILL) during the copy, the
//           synced new text stays in the temporary file, which the reason
//           names.
//
// A signal whose default action ends the process, or a fatal exit, that
// comes while a temporary file can still be given up removes it first and
// then ends the process as it would have. A signal the process ignores
// stays ignored.
//
// On Windows the temporary file is written in text mode (LF becomes CR LF)
// and synced with _commit; an existing output is replaced with ReplaceFileW,
// which keeps its security descriptor, attributes and streams, a new one is
// put in place with MoveFileExW. Links are not followed, a read-only output
// is refused as fopen would refuse it, and there is no rewrite plan.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "support/file_identity.h"

// Bytes of a failure's reason, terminator included: the system's error text
// and the path of a temporary file kept with the new text.
constexpr size_t kSafeOutputReasonBytes = 4608;

// How the output is finally written (see above).
enum class SafeOutputPlan { direct, rename, rewrite };

struct SafeOutput {
  SafeOutputPlan plan;  // chosen by safe_output_open, followed by every later step
  FILE* stream;         // where the text goes while writing
  char* target_path;    // the file finally written, links resolved (heap)
  char* temp_path;      // the temporary file (heap); null in the direct plan
  int target_fd;        // rewrite: the output, open for writing; else -1
  int old_fd;           // rewrite: the output, open for reading its old text; else -1
  uint64_t old_digest;  // rewrite: digest of the old text as read at open
  bool check_input;     // the output is the input: the commit finds it unchanged
  FileIdentity input;   // the file the text was made from
  bool failed;          // a write has failed: commit reports failure
  int error;            // the system's error number of that failed write
  char reason[kSafeOutputReasonBytes];  // why open or commit failed, for a message
};

// Whether `path` names the very stream `input` reads when that is no
// regular file (a pipe, FIFO, socket or terminal, as /dev/stdin names it):
// written, it would take the text back into the input.
bool safe_output_is_input_stream(const char* path, FILE* input);

// Prepares to write `path` and chooses the plan. `input` (or null) is the
// file the new text was made from; when `in_place` says the output is that
// file, or when `path` turns out to name it, the commit replaces nothing
// unless it is still there unchanged. Returns false when nothing could be
// opened; then nothing was created or changed, `out->reason` says why and
// `out` holds nothing else to release.
bool safe_output_open(SafeOutput* out, const char* path, const FileIdentity* input, bool in_place);

// Writes `length` bytes / a terminated text; a failure is remembered in
// `failed` and `error`, and later writes are skipped.
void safe_output_write(SafeOutput* out, const char* data, size_t length);
void safe_output_puts(SafeOutput* out, const char* text);

// Finishes the file by its plan. Returns false if anything failed, with the
// reason in `out->reason` ("changed while it was being converted" when the
// output is no longer the file that was read, or was changed); the output is
// then as it was and the temporary file is gone, except where the reason
// names it (see rewrite). Releases everything `out` holds either way.
bool safe_output_commit(SafeOutput* out);

// Gives up: closes everything, removes the temporary file, releases `out`.
// The one way out of every failure.
void safe_output_abandon(SafeOutput* out);
