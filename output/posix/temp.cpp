// The temporary file and its signal guard. A temporary file is watched (a
// fatal exit or a deadly signal removes it) until renamed, removed or kept;
// the handler reads one atomic pointer, whole at every instant.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <csignal>

#include "output/system.h"

namespace {

// Bytes of the output's name kept in the temporary's, within 255 in all.
constexpr size_t kTempNameBaseBytes = 200;

// The watched temporary file or null, read by the handler: lock-free.
std::atomic<const char*> watched_temp{nullptr};
static_assert(std::atomic<const char*>::is_always_lock_free,
              "the signal handler must read the path without a lock");

// Each signal's action before the watch, and whether ours replaced it.
struct sigaction saved_actions[NSIG];
bool guarded[NSIG];

// The mask before system_hold_signals.
sigset_t mask_before_hold;

// Whether the default action of signal `s` ends the process.
bool ends_process(int s) {
  return s != SIGKILL && s != SIGSTOP && s != SIGTSTP && s != SIGTTIN && s != SIGTTOU &&
         s != SIGCONT && s != SIGCHLD && s != SIGURG && s != SIGWINCH;
}

// Removes the temporary file, then ends the process as the signal would
// have: SA_RESETHAND put the default action back for the raised signal.
void remove_temp_on_signal(int signal_number) {
  temp_remove();
  raise(signal_number);
}

// From here a fatal exit or a deadly signal removes `path`; an ignored
// signal stays ignored.
void watch(const char* path) {
  watched_temp = path;
  util_set_fatal_cleanup(temp_remove);
  struct sigaction action {};
  action.sa_handler = remove_temp_on_signal;
  sigfillset(&action.sa_mask);
  action.sa_flags = static_cast<int>(SA_RESETHAND);  // an unsigned constant on glibc
  for (int s = 1; s < NSIG; ++s) {
    guarded[s] = ends_process(s) && sigaction(s, nullptr, &saved_actions[s]) == 0 &&
                 saved_actions[s].sa_handler != SIG_IGN && sigaction(s, &action, nullptr) == 0;
  }
}

}  // namespace

void temp_remove() {
  const char* path = watched_temp.load();
  if (path != nullptr) unlink(path);
  watched_temp = nullptr;  // only now: a signal before finds it still
}

void temp_unwatch() {
  for (int s = 1; s < NSIG; ++s) {
    if (guarded[s]) sigaction(s, &saved_actions[s], nullptr);
    guarded[s] = false;
  }
  watched_temp = nullptr;
  util_set_fatal_cleanup(nullptr);
}

void system_hold_signals() {
  sigset_t all;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, &mask_before_hold);
}

void system_release_signals() { sigprocmask(SIG_SETMASK, &mask_before_hold, nullptr); }

void directory_of(const char* path, char dir[PATH_MAX]) {
  const char* slash = std::strrchr(path, '/');
  int length = slash == nullptr ? 0 : slash == path ? 1 : static_cast<int>(slash - path);
  std::snprintf(dir, PATH_MAX, "%.*s", length > 0 ? length : 1, length > 0 ? path : ".");
}

int temp_create(SafeOutput* out, const char* dir, const char* name) {
  char beside[PATH_MAX];
  directory_of(name, beside);
  if (dir == nullptr) dir = beside;
  const char* base = std::strrchr(name, '/');
  base = base == nullptr ? name : base + 1;
  size_t room = std::strlen(dir) + kTempNameBaseBytes + sizeof "/..XXXXXX";
  out->temp_path = static_cast<char*>(util_alloc(static_cast<int32_t>(room)));
  std::snprintf(out->temp_path, room, "%s/.%.*s.XXXXXX", dir, static_cast<int>(kTempNameBaseBytes),
                base);
  // Made and watched with every signal held: none finds it unwatched, and
  // none sees the name of a file mkostemp tried and found another's.
  system_hold_signals();
  int fd = safe_output_injected_failure() ? -1 : mkostemp(out->temp_path, O_CLOEXEC);
  int error = errno;
  if (fd >= 0) watch(out->temp_path);
  system_release_signals();
  if (fd < 0) {
    util_free(out->temp_path);
    out->temp_path = nullptr;
    errno = error;
  }
  return fd;
}
