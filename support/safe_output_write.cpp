// Writing through a SafeOutput and letting it go: the same on every system,
// since only how the file is opened and finally replaced differs between
// them.
#include <cerrno>
#include <cstring>

#include "support/alloc.h"
#include "support/fault_injection.h"
#include "support/safe_output.h"

void safe_output_write(SafeOutput* out, const char* data, size_t length) {
  if (out->failed || length == 0) return;
  if (fault_io_fails()) {
    errno = EIO;  // as a failing write would report it
  } else if (std::fwrite(data, 1, length, out->stream) == length) {
    return;
  }
  out->failed = true;
  out->error = errno;
}

void safe_output_puts(SafeOutput* out, const char* text) {
  safe_output_write(out, text, std::strlen(text));
}

void safe_output_release(SafeOutput* out) {
  util_free(out->target_path);
  util_free(out->temp_path);
  out->target_path = nullptr;
  out->temp_path = nullptr;
  out->stream = nullptr;
  out->target_fd = -1;
}

void safe_output_close_stream(SafeOutput* out) {
  if (out->stream != nullptr) std::fclose(out->stream);
  out->stream = nullptr;
}
