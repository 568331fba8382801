// Writing the output file so that no failure, signal, second user or edit
// made during the run costs the old file or what it carries, or shows anyone
// a text they could not read before.
//
// Open (it chooses `plan` once, from what is at the path), write, then
// commit or abandon. One SafeOutput may be live at a time, and it must not
// move until committed or abandoned: the signal guard and the fatal clean-up
// that remove its temporary file are process-wide and point into it.
//
// The output is opened as a plain open for writing opens it, links followed
// (to a file not made yet too); in a sticky world-writable folder a link,
// file or FIFO owned by neither the caller nor the folder's owner is
// refused, whatever the system's setting. The plans, and what is on disk:
// direct  no regular file (a FIFO, a device, a pipe or socket reached by
//         name): the text goes into it as it comes.
// rename  a new output, or one with one name, in a folder the caller may
//         write, whose owner, group, mode and extended attributes (access
//         lists too) the caller can give exactly. Open: a temporary file
//         ".NAME.XXXXXX" beside it, 0600, then given all the output carries
//         (a new output: a plain create's mode); what cannot be given makes
//         the plan rewrite. Write: into it; a failure, a fatal exit or a
//         deadly signal removes it. Commit: sync it; hold every signal; check
//         the output (the input: unchanged); rename; sync the folder.
// rewrite an existing output a rename would change (more than one name, an
//         owner, group or attribute the caller cannot give, a mount of its
//         own, a folder the caller may not write: the temporary file then in
//         TMPDIR or /tmp). Open: read the old text (unreadable: refused,
//         nothing touched); a private temporary file. Commit: sync it; hold
//         signals; copy the old text into an unnamed backup; check that the
//         path still names the file (the input: unchanged, its text as read);
//         copy the new text in, cut to length, sync; remove the temporary
//         file. A failed copy puts the old text back; if that fails too, or
//         the process is killed or power lost mid-copy, the synced new text
//         stays in the temporary file (standard error names it unless killed).
// Windows: no rewrite plan; Ctrl-C leaves the temporary file, which is in
// text mode (LF becomes CR LF); ReplaceFileW keeps an existing output's
// security descriptor, attributes and streams; a read-only output is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Which file a stream reads, and its state: taken when the input is opened and
// looked at again before the output replaces it, so that an edit made during
// the run (to the text, mode, owner or access lists) is never overwritten.
struct FileIdentity {
  bool known;                 // read (by file_identity_of: of a regular file only)
  uint64_t device;            // the device (on Windows the volume serial number)
  uint64_t inode;             // the inode (on Windows the file index)
  int64_t size;               // size in bytes
  int64_t mtime_seconds;      // last change of the text, seconds part
  int64_t mtime_nanoseconds;  // and its nanoseconds
  int64_t ctime_seconds;      // last change of the text or of its status (mode,
  int64_t ctime_nanoseconds;  // owner, group, access lists, links), likewise
};

// The identity of the file open as `stream`, as it stands now; `known` is
// false for a pipe, a terminal or a device, or when it cannot be had.
FileIdentity file_identity_of(FILE* stream);

// Bytes of a failure's reason (an error text and a kept file's path).
constexpr size_t kSafeOutputReasonBytes = 4608;

// How the output is finally written (see above).
enum class SafeOutputPlan { direct, rename, rewrite };

struct SafeOutput {
  SafeOutputPlan plan;  // chosen by safe_output_open, followed by every later step
  FILE* stream;         // where the text goes while writing
  char* target_path;    // the regular file or FIFO written, links resolved (heap)
  char* temp_path;      // the temporary file (heap); null in the direct plan
  int target_fd = -1;   // rewrite: the output, open for writing; else -1
  int old_fd = -1;      // rewrite: the output, open for reading its old text; else -1
  uint64_t old_digest;  // rewrite: digest of the old text as read at open
  bool check_input;     // the output is the input: the commit finds it unchanged
  FileIdentity input;   // the file the text was made from
  bool failed;          // a write has failed: commit reports failure
  int error;            // the system's error number of that failed write
  char reason[kSafeOutputReasonBytes];  // why open or commit failed, for a message
};

// Whether `path` names the stream `input` reads when that is neither a
// regular file nor a folder (a pipe or terminal, as /dev/stdin): an output
// to refuse at once.
bool safe_output_is_input_stream(const char* path, FILE* input);

// Prepares to write `path` and chooses the plan. `input` (or null) is the
// file the text was made from; where the output is that file (`in_place`,
// or `path` names it) the commit replaces it only if unchanged. False when
// nothing could be opened: nothing was made or changed, `out->reason`
// says why and `out` holds nothing to release.
bool safe_output_open(SafeOutput* out, const char* path, const FileIdentity* input, bool in_place);

// Writes `length` bytes; a failure is remembered in
// `failed` and `error`, and later writes are skipped.
void safe_output_write(SafeOutput* out, const char* data, size_t length);

// Finishes the file by its plan. False if anything failed, with the reason
// ("changed while it was being converted" when the output changed); the
// output is then as it was and the temporary file gone, unless standard
// error said it is kept. Releases everything `out` holds either way.
bool safe_output_commit(SafeOutput* out);

// Gives up: closes everything, removes the temporary file, releases `out`.
// The one way out of every failure.
void safe_output_abandon(SafeOutput* out);
