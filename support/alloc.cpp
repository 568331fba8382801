#include "support/alloc.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "support/fault_injection.h"

namespace {

void (*fatal_cleanup)() = nullptr;

// Large pages' size where the system offers them: 2 MB on x86-64 and most
// ARM systems.
constexpr uintptr_t kLargePageBytes = uintptr_t{1} << 21;

// Marks the whole large pages inside `size` bytes at `block` for large
// pages. The big arrays and blocks of a run over millions of keys are read
// at random: with 4 KB pages each page costs a fault when first touched
// and nearly every read a translation miss. Only a hint: where the system
// gives no large pages (or only on request and refuses it) nothing changes.
void prefer_large_pages(void* block, size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  auto begin = (reinterpret_cast<uintptr_t>(block) + kLargePageBytes - 1) & ~(kLargePageBytes - 1);
  auto end = (reinterpret_cast<uintptr_t>(block) + size) & ~(kLargePageBytes - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)block;
  (void)size;
#endif
}

}  // namespace

void* util_alloc(int32_t size) {
  // A negative size is a count that overflowed somewhere: treat it as
  // exhaustion rather than letting it wrap into a huge unsigned request.
  void* block = size < 0 || fault_allocation_fails()
                    ? nullptr
                    : std::calloc(1, size == 0 ? 1 : static_cast<size_t>(size));
  if (block == nullptr) util_fatal(3, "malloc error: requested %i bytes\n", size);
  if (static_cast<size_t>(size) >= 2 * kLargePageBytes)
    prefer_large_pages(block, static_cast<size_t>(size));
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
