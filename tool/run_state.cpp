#include "tool/run_state.h"

#include <cstdarg>
#include <cstdio>

RunState run{};

void run_begin(const char* input_path, const char* output_path) {
  run = RunState{};
  run.input_path = input_path;
  run.output_path = output_path;
  run.key_table = keytable_new();
  run.sections = section_index_new();
}

void run_end() {
  keytable_free(run.key_table);
  run.key_table = nullptr;
  section_index_free(run.sections);
  run.sections = nullptr;
  arena_release(&run.comments);
  arena_release(&run.value_texts);
  block_map_free(&run.blocks);
  // What a call gave the run is the call's, and gone once it returns.
  run.printed = nullptr;
  run.converted = nullptr;
  run.findings = nullptr;
}

void run_print(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  if (run.printed == nullptr) {
    std::vprintf(format, arguments);
  } else {
    text_buffer_vprintf(run.printed, format, arguments);
  }
  va_end(arguments);
}

void report_access_error(const char* path, const char* reason) {
  run_print("error accessing '%s'\n", path);
  std::fprintf(stderr, "keyfolder: %s: %s\n", path, reason);
  run.status = 1;
}
