// Which file a stream reads, and its state: taken when the input is opened
// and looked at again before the output replaces it, so that an edit made
// during the run (to the text, mode, owner or access lists) is never
// overwritten. Each system reads it its own way; the comparisons are shared.
#pragma once

#include <cstdint>
#include <cstdio>

struct FileIdentity {
  bool known;                 // a regular file whose identity was read
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

// Both known and the same file.
inline bool file_identity_same_file(const FileIdentity& a, const FileIdentity& b) {
  return a.known && b.known && a.device == b.device && a.inode == b.inode;
}

// The same file, with no change to its text or status between the two looks.
inline bool file_identity_unchanged(const FileIdentity& a, const FileIdentity& b) {
  return file_identity_same_file(a, b) && a.size == b.size && a.mtime_seconds == b.mtime_seconds &&
         a.mtime_nanoseconds == b.mtime_nanoseconds && a.ctime_seconds == b.ctime_seconds &&
         a.ctime_nanoseconds == b.ctime_nanoseconds;
}
