// The write path's half that every system shares: opening's first and last
// steps, writing, the order of the commit's moves for each plan, the input
// check, and the one way to give up.

#include "output/system.h"
#include "support/fault_injection.h"

namespace {

// The same file, with no change to its text or status between the two looks.
bool unchanged(const FileIdentity& a, const FileIdentity& b) {
  return file_identity_same_file(a, b) && a.size == b.size && a.mtime_seconds == b.mtime_seconds &&
         a.mtime_nanoseconds == b.mtime_nanoseconds && a.ctime_seconds == b.ctime_seconds &&
         a.ctime_nanoseconds == b.ctime_nanoseconds;
}

// rename plan, after the sync: the stream closed (Windows replaces no open
// file), then the check and the replacement with no signal between them.
bool commit_by_rename(SafeOutput* out) {
  bool ok = safe_output_note(out, std::fclose(out->stream) == 0 && !safe_output_injected_failure());
  out->stream = nullptr;
  system_hold_signals();
  fault_pause("replace");
  ok = ok &&
       (!out->check_input || safe_output_unchanged(out, system_identity_at(out->target_path))) &&
       system_replace(out);
  system_release_signals();
  return ok;
}

}  // namespace

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

void safe_output_check_input(SafeOutput* out, const FileIdentity& found, bool in_place) {
  out->check_input = out->input.known && (in_place || file_identity_same_file(out->input, found));
}

bool safe_output_unchanged(SafeOutput* out, const FileIdentity& found, bool same) {
  same = same && (!out->check_input || unchanged(out->input, found));
  if (!same) safe_output_reason(out, kOutputChanged);
  return same;
}

void temp_discard(SafeOutput* out) {
  temp_remove();
  temp_unwatch();
  util_free(out->temp_path);
  out->temp_path = nullptr;
}

bool safe_output_open(SafeOutput* out, const char* path, const FileIdentity* input, bool in_place) {
  *out = SafeOutput{};
  if (input != nullptr) out->input = *input;
  if (system_open(out, path, in_place)) return true;
  safe_output_abandon(out);
  return false;
}

void safe_output_write(SafeOutput* out, const char* data, size_t length) {
  if (out->failed || length == 0) return;
  out->failed =
      safe_output_injected_failure() || std::fwrite(data, 1, length, out->stream) != length;
  if (out->failed) out->error = errno;
}

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
    case SafeOutputPlan::rewrite:  // chosen on POSIX systems only
#ifndef _WIN32
      ok = ok && system_sync_temp(out) && system_rewrite(out);
#endif
      break;
  }
  safe_output_abandon(out);  // after a commit, no temporary file is left to remove
  return ok;
}

void safe_output_abandon(SafeOutput* out) {
  if (out->stream != nullptr) std::fclose(out->stream);
  out->stream = nullptr;
  system_give_up(out);
  util_free(out->target_path);
  out->target_path = nullptr;
}
