// Checked memory and the fatal exit.
//
// Every allocation in the program goes through these functions. None of them
// reports failure: when memory runs out the process ends at once through
// util_fatal with status 3, so callers never test a result for null.
#pragma once

#include <cstdint>
#include <cstring>

// Returns `size` zero-filled bytes, released with util_free. A request for
// 0 bytes succeeds and returns a valid pointer. Ends the process with
// "malloc error: requested %i bytes" when the memory cannot be had. Blocks
// of 4 MB or more are offered to the system for large pages (on Linux).
void* util_alloc(int32_t size);

// Returns a heap copy of `text` with its terminator, released with util_free;
// null in, null out (nothing is allocated then).
char* util_strdup(const char* text);

// Releases memory from util_alloc or util_strdup; null is a no-op.
void util_free(void* pointer);

// Writes "Unrecoverable error (<status>): ", the formatted message and "\n"
// to standard error, runs the registered clean-up, then exits with `status`
// through the normal exit (open streams are flushed).
[[noreturn]] void util_fatal(int status, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Registers the one function util_fatal runs before exiting (null: none).
// The safe output uses it to remove a half-written temporary file.
void util_set_fatal_cleanup(void (*cleanup)());

// A zero-filled array of `count` items, released with util_free. A count
// beyond what one allocation can ask for is exhaustion, like any other.
template <typename Item>
Item* util_alloc_array(int64_t count) {
  int64_t bytes = count * static_cast<int64_t>(sizeof(Item));
  return static_cast<Item*>(util_alloc(bytes > INT32_MAX ? -1 : static_cast<int32_t>(bytes)));
}

// Grows the array `*array` of `*capacity` items (null and 0 before the
// first growth) to hold at least `needed`, doubling the capacity as often
// as that takes; the items kept are copied, the new room is zero-filled.
// The one growable array of the program, for plain items.
template <typename Item>
void util_grow(Item** array, int32_t* capacity, int64_t needed) {
  if (needed <= *capacity) return;
  int64_t larger = *capacity > 0 ? *capacity : 16;
  while (larger < needed) larger *= 2;
  auto* fresh = util_alloc_array<Item>(larger);
  if (*capacity > 0) std::memcpy(fresh, *array, sizeof(Item) * static_cast<size_t>(*capacity));
  util_free(*array);
  *array = fresh;
  *capacity = static_cast<int32_t>(larger);
}
