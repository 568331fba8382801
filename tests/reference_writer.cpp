#include "reference_writer.h"

#include <cstring>
#include <vector>

#include "tool/run_state.h"
#include "tool/section_index.h"
#include "tool/section_sort.h"
#include "tool/writer.h"

namespace {

// Enumeration visitor: gathers the key's section (the exact text before
// its first ':') unless it is empty or begins with '#'. Always keeps the
// entry.
int collect_section(const char* key, void* value, void* sections) {
  (void)value;
  section_index_number(static_cast<SectionIndex*>(sections), key);
  return 0;
}

// What write_entry needs to know about the section being written.
struct SectionContext {
  SafeOutput* output;  // where entries go
  const char* name;    // the section being written, compared case-sensitively
  size_t length;       // strlen(name)
};

// Enumeration visitor: writes an entry of the context's section and has it
// removed; other entries stay.
int write_entry_of(const char* key, void* value, void* context) {
  const auto* section = static_cast<const SectionContext*>(context);
  const char* colon = std::strchr(key, ':');
  size_t length = colon != nullptr ? static_cast<size_t>(colon - key) : std::strlen(key);
  if (length != section->length || std::strncmp(key, section->name, length) != 0) return 0;
  write_entry(section->output, colon != nullptr ? colon + 1 : key + length,
              static_cast<const char*>(value));
  return 1;
}

}  // namespace

void reference_use_chains() {
  keytable_enum(
      run.key_table, [](const char*, void*, void*) { return 0; }, nullptr);
}

void reference_write_sections(SafeOutput* output) {
  SectionIndex* gathered = section_index_new();
  keytable_enum(run.key_table, collect_section, gathered);
  std::vector<int32_t> order;
  for (int32_t section = 0; section < gathered->count; ++section) order.push_back(section);
  sort_sections(order.data(), gathered->count, gathered);
  for (int32_t section : order) {
    const char* name = section_index_name(gathered, section);
    write_section(output, name, nullptr, 0);
    SectionContext context{output, name, std::strlen(name)};
    keytable_enum(run.key_table, write_entry_of, &context);
  }
  section_index_free(gathered);
}
