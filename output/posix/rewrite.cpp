// The rewrite in place (safe_output.h). While the output holds neither text
// whole, the temporary file and an unnamed backup hold them; signals wait,
// and nothing allocates, so no fatal exit can come.
#include <fcntl.h>
#include <unistd.h>

#include "output/system.h"
#include "support/fault_injection.h"

namespace {

// Bytes moved per step of a copy.
constexpr size_t kCopyChunkBytes = size_t{1} << 16;

// A text's digest (64-bit FNV-1a): tells apart texts that an edit within
// one tick of the file system's clock leaves with the same identity.
constexpr uint64_t kDigestBasis = 14695981039346656037ULL;
constexpr uint64_t kDigestPrime = 1099511628211ULL;

// Copies the whole text of `from` over the start of `to` (nowhere when
// `to` is -1), giving its digest and size. False, errno set, on a failure,
// with the bytes written by then as the size.
bool copy_text(int from, int to, uint64_t* digest, off_t* size) {
  static char chunk[kCopyChunkBytes];
  uint64_t hash = kDigestBasis;
  off_t done = 0;
  *size = 0;
  for (;;) {
    ssize_t got = safe_output_injected_failure() ? -1 : pread(from, chunk, sizeof chunk, done);
    if (got < 0) return false;
    if (got == 0) break;
    for (ssize_t i = 0; i < got; ++i)
      hash = (hash ^ static_cast<unsigned char>(chunk[i])) * kDigestPrime;
    for (ssize_t put = 0; to >= 0 && put < got;) {
      ssize_t written = safe_output_injected_failure()
                            ? -1
                            : pwrite(to, chunk + put, static_cast<size_t>(got - put), done + put);
      if (written < 0) return false;
      put += written;
      *size = done + put;
    }
    done += got;
  }
  *digest = hash;
  *size = done;
  return true;
}

// Writes the whole text of `from` into `to`, cut to its length and synced;
// `*size` as copy_text gives it.
bool replace_text(int from, int to, off_t* size) {
  uint64_t digest = 0;
  return copy_text(from, to, &digest, size) && !safe_output_injected_failure() &&
         ftruncate(to, *size) == 0 && !safe_output_injected_failure() && fsync(to) == 0;
}

// Whether the output is still the file opened and, where it is the input,
// unchanged with the text read at open (`digest`); if not, the reason says so.
bool output_still_as_read(SafeOutput* out, uint64_t digest) {
  struct stat open {};
  FileIdentity opened = fstat(out->target_fd, &open) == 0 ? identity_of(open) : FileIdentity{};
  bool same = file_identity_same_file(system_identity_at(out->target_path), opened) &&
              (!out->check_input || digest == out->old_digest);
  return safe_output_unchanged(out, opened, same);
}

}  // namespace

bool rewrite_prepare(SafeOutput* out, const struct stat& info) {
  out->old_fd = open(out->target_path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  struct stat seen {};
  off_t size = 0;
  // No way back: refused before anything is touched.
  if (!safe_output_note(out,
                        out->old_fd >= 0 && fstat(out->old_fd, &seen) == 0 &&
                            copy_text(out->old_fd, -1, &out->old_digest, &size),
                        "its old text, needed to rewrite it in place, cannot be read")) {
    return false;
  }
  // An edit since the parse shows at the commit's check, against the
  // identity the input had when it was opened.
  bool same = file_identity_same_file(identity_of(seen), identity_of(info));
  if (!same) safe_output_reason(out, kOutputChanged);
  return same;
}

bool system_rewrite(SafeOutput* out) {
  char dir[PATH_MAX];
  directory_of(out->temp_path, dir);
  constexpr char kBackupName[] = "/.keyfolder-old.XXXXXX";
  char backup_name[PATH_MAX + sizeof kBackupName];
  std::snprintf(backup_name, sizeof backup_name, "%s%s", dir, kBackupName);
  system_hold_signals();
  // The way back first: the old text as it is now, in a file unnamed as
  // soon as it is made, so nothing can leave it behind.
  int backup = safe_output_injected_failure() ? -1 : mkostemp(backup_name, O_CLOEXEC);
  if (backup >= 0) unlink(backup_name);
  uint64_t digest = 0;
  off_t old_size = 0;
  bool ready =
      safe_output_note(out, backup >= 0 && copy_text(out->old_fd, backup, &digest, &old_size)) &&
      output_still_as_read(out, digest);
  if (ready) fault_pause("first-bytes");  // the moment the output's text turns new
  off_t copied = 0;
  bool written =
      ready && safe_output_note(out, replace_text(fileno(out->stream), out->target_fd, &copied));
  // Put back unless nothing reached the output.
  bool restored = written || !ready || copied == 0 || replace_text(backup, out->target_fd, &copied);
  if (backup >= 0) close(backup);
  if (written) {
    temp_discard(out);
  } else if (!restored) {
    // Said here, while signals wait: one let through below would end the
    // process before the caller could say it.
    std::fprintf(stderr, "keyfolder: %s: the new text is kept in '%s'\n", out->target_path,
                 out->temp_path);
    temp_unwatch();
  }
  system_release_signals();
  return written;
}
