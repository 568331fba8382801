// Compiled into the test build only (see fault_injection.h).
#include "support/fault_injection.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// One failure point: the ordinal to fail, read from the environment on
// first use, and the calls counted so far.
struct FaultCounter {
  const char* variable;  // environment variable naming the ordinal
  bool loaded;           // `target` has been read
  long target;           // the call that fails (1-based), 0 for none
  bool onward;           // every call from `target` on fails ("n+")
  long calls;            // calls so far
};

FaultCounter allocation_counter{"KEYFOLDER_FAIL_ALLOC", false, 0, false, 0};
FaultCounter io_counter{"KEYFOLDER_FAIL_IO", false, 0, false, 0};

// Writes how many failure points of each kind the run passed to the file
// KEYFOLDER_FAULT_COUNT names: "<allocations> <output operations>".
void write_counts() {
  FILE* file = std::fopen(std::getenv("KEYFOLDER_FAULT_COUNT"), "w");
  if (file == nullptr) return;
  std::fprintf(file, "%ld %ld\n", allocation_counter.calls, io_counter.calls);
  std::fclose(file);
}

bool next_call_fails(FaultCounter* counter) {
  static bool counting =
      std::getenv("KEYFOLDER_FAULT_COUNT") != nullptr && std::atexit(write_counts) == 0;
  (void)counting;
  if (!counter->loaded) {
    const char* text = std::getenv(counter->variable);
    char* end = nullptr;
    counter->target = text != nullptr ? std::strtol(text, &end, 10) : 0;
    counter->onward = end != nullptr && *end == '+';
    counter->loaded = true;
  }
  ++counter->calls;
  if (counter->target <= 0) return false;
  return counter->onward ? counter->calls >= counter->target : counter->calls == counter->target;
}

}  // namespace

bool fault_allocation_fails() { return next_call_fails(&allocation_counter); }

bool fault_io_fails() { return next_call_fails(&io_counter); }

void fault_pause(const char* moment) {
  const char* wanted = std::getenv("KEYFOLDER_PAUSE_AT");
  if (wanted != nullptr && std::strcmp(wanted, moment) == 0) std::raise(SIGSTOP);
}
