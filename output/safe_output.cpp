// The safe output's half that every system shares: writing, the order of
// the commit's moves for each plan, and the one way to give up.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "support/alloc.h"
#include "support/fault_injection.h"
#include "output/system.h"

void safe_output_reason(SafeOutput* out, const char* text) {
  if (out->reason[0] == '\0') std::snprintf(out->reason, sizeof out->reason, "%s", text);
}

bool safe_output_note(SafeOutput* out, bool done, const char* why) {
  if (done || out->reason[0] != '\0') return done;
  std::snprintf(out->reason, sizeof out->reason, why != nullptr ? "%s (%s)" : "%s",
                std::strerror(errno), why);
  return false;
}

bool safe_output_injected_failure() {
  if (!fault_io_fails()) return false;
  errno = EIO;
  return true;
}

void safe_output_release(SafeOutput* out) {
  if (out->stream != nullptr) std::fclose(out->stream);
  util_free(out->target_path);
  util_free(out->temp_path);
  out->target_path = nullptr;
  out->temp_path = nullptr;
  out->stream = nullptr;
}

void safe_output_write(SafeOutput* out, const char* data, size_t length) {
  if (out->failed || length == 0) return;
  if (!safe_output_injected_failure() && std::fwrite(data, 1, length, out->stream) == length) {
    return;
  }
  out->failed = true;
  out->error = errno;
}

void safe_output_puts(SafeOutput* out, const char* text) {
  safe_output_write(out, text, std::strlen(text));
}

namespace {

// rename plan, after the sync: the stream closed (Windows replaces no open
// file), then the check and the replacement with no signal between them.
bool commit_by_rename(SafeOutput* out) {
  bool ok = safe_output_note(out, std::fclose(out->stream) == 0 && !safe_output_injected_failure());
  out->stream = nullptr;
  system_hold_signals();
  fault_pause("replace");
  ok = ok && (!out->check_input || system_output_unchanged(out)) && system_replace(out);
  system_release_signals();
  return ok;
}

}  // namespace

bool safe_output_commit(SafeOutput* out) {
  fault_pause("commit");
  if (out->failed) safe_output_reason(out, std::strerror(out->error));
  bool ok = !out->failed && safe_output_note(out, !safe_output_injected_failure() &&
                                                      std::fflush(out->stream) == 0 &&
                                                      std::ferror(out->stream) == 0);
  switch (out->plan) {
    case SafeOutputPlan::direct:
      ok = safe_output_note(out, std::fclose(out->stream) == 0) && ok;
      out->stream = nullptr;  // a device's failed close has nothing to give up
      break;
    case SafeOutputPlan::rename:
      ok = ok && system_sync_temp(out) && commit_by_rename(out);
      break;
    case SafeOutputPlan::rewrite:
      ok = ok && system_sync_temp(out) && system_rewrite(out);
      break;
  }
  if (!ok) {
    safe_output_abandon(out);
    return false;
  }
  safe_output_release(out);
  return true;
}

void safe_output_abandon(SafeOutput* out) {
  if (out->stream != nullptr) std::fclose(out->stream);
  out->stream = nullptr;
  system_give_up(out);
  safe_output_release(out);
}
