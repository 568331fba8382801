// The commit's own moves: the temporary file's sync, the rename and the
// folder's sync; and the give-up, which closes what the rewrite held.
#include <fcntl.h>
#include <unistd.h>

#include "output/system.h"

bool system_sync_temp(SafeOutput* out) {
  return safe_output_note(out, !safe_output_injected_failure() && fsync(fileno(out->stream)) == 0);
}

bool system_replace(SafeOutput* out) {
  if (!safe_output_note(out, !safe_output_injected_failure() &&
                                 std::rename(out->temp_path, out->target_path) == 0)) {
    return false;
  }
  temp_unwatch();
  // Synced, the rename survives a crash (where the file system syncs folders).
  char dir[PATH_MAX];
  directory_of(out->target_path, dir);
  int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
  return true;
}

void system_give_up(SafeOutput* out) {
  if (out->target_fd >= 0) close(out->target_fd);
  if (out->old_fd >= 0) close(out->old_fd);
  temp_discard(out);
}
