// Failure points that a test build can make fail on purpose.
//
// The shipped program is built without KEYFOLDER_FAULT_INJECTION: then both
// questions below are constant false and the compiler drops them. The test
// build (library keyfolder_core_faults, program keyfolder_faulty) defines it
// and counts every call: KEYFOLDER_FAIL_ALLOC=n in the environment makes the
// n-th allocation fail, KEYFOLDER_FAIL_IO=n the n-th failing point of the
// output path (creating the temporary file, each write, flush, sync, close,
// rename, and each step of a rewrite in place). Each fails once; unset or
// 0 means never. KEYFOLDER_FAIL_IO=n+ makes the n-th and every later one
// fail, so that a failure cannot be undone by the next step.
// KEYFOLDER_FAULT_COUNT=path has the run write to that file, as it exits,
// how many allocations and output operations it passed.
// KEYFOLDER_PAUSE_AT=name stops the process (SIGSTOP) when it reaches the
// moment of that name, so that a test can act there (edit the file, send a
// signal, look at the temporary file) and then let it go on (SIGCONT).
#pragma once

#ifdef KEYFOLDER_FAULT_INJECTION

// True exactly when this allocation is the one chosen to fail.
bool fault_allocation_fails();

// True exactly when this output operation is the one chosen to fail.
bool fault_io_fails();

// Stops the process here when KEYFOLDER_PAUSE_AT names `moment`.
void fault_pause(const char* moment);

#else

constexpr bool fault_allocation_fails() { return false; }
constexpr bool fault_io_fails() { return false; }
constexpr void fault_pause(const char*) {}

#endif
