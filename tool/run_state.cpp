#include "tool/run_state.h"

#include <cstdio>

const char* input_path = nullptr;
const char* output_path = nullptr;
KeyTable* key_table = nullptr;
EntryLog* entry_log = nullptr;
Arena value_texts{};
FileIdentity input_identity{};
LeadingComments leading_comments{};
int32_t floating_count = 0;
int32_t directive_count = 0;
int run_status = 0;

void report_access_error(const char* path, const char* reason) {
  std::printf("error accessing '%s'\n", path);
  std::fprintf(stderr, "keyfolder: %s: %s\n", path, reason);
  run_status = 1;
}

void run_state_reset() {
  input_path = nullptr;
  output_path = nullptr;
  key_table = nullptr;
  entry_log = nullptr;
  input_identity = FileIdentity{};
  leading_comments = LeadingComments{};
  floating_count = 0;
  directive_count = 0;
  run_status = 0;
}
