// Writing the output file so that neither a failure, nor a signal, nor a
// second user, nor an edit made during the run costs the old file or
// anything it carries, or shows anyone a text they could not read before.
//
// Calling sequence: safe_output_open chooses a plan once, from what it finds
// at the path, into `plan`, which every later step follows; write with
// safe_output_write/puts; then safe_output_commit, or safe_output_abandon.
//
// The output is opened as a plain open for writing opens it (the kernel
// follows links and judges); a link to no file yet is followed here. In a
// sticky world-writable folder a link, file or FIFO owned by neither the
// caller nor the folder's owner is refused, whatever the system setting.
//
// The plans, and what is on disk between their moves:
//
// direct: no regular file (a FIFO, a device, a pipe or socket reached by
//   name): the text goes into it as it comes; no old text to keep.
//
// rename: a new output, or an existing one with one name, in a folder the
//   caller may write, whose owner, group, mode and extended attributes
//   (access lists among them) the caller can give exactly.
//   open    temporary file ".NAME.XXXXXX" beside it, created 0600, then
//           given all the output carries (a new output: the mode a plain
//           create gives). Anything that cannot be given exactly: it is
//           removed at once and the plan is rewrite.
//   write   into the temporary file. A failure, a fatal exit or a signal
//           whose default action ends the process removes it.
//   commit  sync it; hold every signal; check the output (where it is the
//           input: unchanged); rename; sync the folder; let the signals
//           through. A failure removes the temporary file.
//
// rewrite: an existing output that a rename would change (more than one
//   name, an owner, group or attribute the caller cannot give, a mount of
//   its own, a folder the caller may not write: the temporary file then in
//   TMPDIR or /tmp): the text is replaced inside the file.
//   open    read the old text once (no way back: refused here, nothing
//           touched); a private temporary file (0600, the caller's).
//   write   as for rename.
//   commit  sync it; hold every signal that can be held; copy the old text
//           into an unnamed backup file; check that the path still names
//           the file and, where it is the input, that it is unchanged with
//           the text read at open; copy the new text in, cut to length,
//           sync; remove the temporary file; let the signals through. A
//           failed copy puts the old text back from the backup. If that
//           fails too, or power is lost or the process killed (SIGKILL)
//           during the copy, the synced new text stays in the temporary
//           file (standard error names it, where the process lives).
//
// Windows: no rewrite plan; Ctrl-C leaves the temporary file. It is in text
// mode (LF becomes CR LF); ReplaceFileW keeps an existing output's security
// descriptor, attributes and streams; a read-only output is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "output/file_identity.h"

// Bytes of a failure's reason (an error text and a kept file's path).
constexpr size_t kSafeOutputReasonBytes = 4608;

// How the output is finally written (see above).
enum class SafeOutputPlan { direct, rename, rewrite };

struct SafeOutput {
  SafeOutputPlan plan;  // chosen by safe_output_open, followed by every later step
  FILE* stream;         // where the text goes while writing
  char* target_path;    // the regular file or FIFO written, links resolved (heap)
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

// Whether `path` names the stream `input` reads when that is no regular
// file (a pipe or terminal, as /dev/stdin): an output to refuse at once.
bool safe_output_is_input_stream(const char* path, FILE* input);

// Prepares to write `path` and chooses the plan. `input` (or null) is the
// file the text was made from; where the output is that file (`in_place`,
// or `path` names it) the commit replaces it only if unchanged. False when
// nothing could be opened: nothing was made or changed, `out->reason`
// says why and `out` holds nothing to release.
bool safe_output_open(SafeOutput* out, const char* path, const FileIdentity* input, bool in_place);

// Writes `length` bytes / a terminated text; a failure is remembered in
// `failed` and `error`, and later writes are skipped.
void safe_output_write(SafeOutput* out, const char* data, size_t length);
void safe_output_puts(SafeOutput* out, const char* text);

// Finishes the file by its plan. False if anything failed, with the reason
// ("changed while it was being converted" when the output changed); the
// output is then as it was and the temporary file gone, unless standard
// error said it is kept. Releases everything `out` holds either way.
bool safe_output_commit(SafeOutput* out);

// Gives up: closes everything, removes the temporary file, releases `out`.
// The one way out of every failure.
void safe_output_abandon(SafeOutput* out);
