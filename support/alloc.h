// Checked memory and the fatal exit.
//
// Every allocation in the program goes through these functions. None of them
// reports failure: when memory runs out the process ends at once through
// util_fatal with status 3, so callers never test a result for null.
#pragma once

#include <cstdint>

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
// The writer uses it to remove a half-written temporary file.
void util_set_fatal_cleanup(void (*cleanup)());
