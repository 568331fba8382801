#include "support/alloc.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/fault_injection.h"

namespace {

void (*fatal_cleanup)() = nullptr;

}  // namespace

void* util_alloc(int32_t size) {
  // A negative size is a count that overflowed somewhere: treat it as
  // exhaustion rather than letting it wrap into a huge unsigned request.
  void* block = size < 0 || fault_allocation_fails()
                    ? nullptr
                    : std::calloc(1, size == 0 ? 1 : static_cast<size_t>(size));
  if (block == nullptr) util_fatal(3, "malloc error: requested %i bytes\n", size);
  return block;
}

char* util_strdup(const char* text) {
  if (text == nullptr) return nullptr;
  size_t length = std::strlen(text) + 1;
  char* copy = fault_allocation_fails() ? nullptr : static_cast<char*>(std::malloc(length));
  if (copy == nullptr) util_fatal(3, "strdup error\n");
  std::memcpy(copy, text, length);
  return copy;
}

void util_free(void* pointer) { std::free(pointer); }

void util_set_fatal_cleanup(void (*cleanup)()) { fatal_cleanup = cleanup; }

void util_fatal(int status, const char* format, ...) {
  std::fprintf(stderr, "Unrecoverable error (%i): ", status);
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(stderr, format, arguments);
  va_end(arguments);
  std::fprintf(stderr, "\n");
  if (fatal_cleanup != nullptr) {
    void (*cleanup)() = fatal_cleanup;
    fatal_cleanup = nullptr;  // a failure inside the clean-up must not loop
    cleanup();
  }
  std::exit(status);
}
