#include "tool/writer.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "support/alloc.h"
#include "support/platform.h"
#include "support/ptrlist.h"
#include "tool/line_reader.h"
#include "tool/parser.h"
#include "tool/run_state.h"
#include "tool/section_sort.h"

namespace {

constexpr size_t kStampPrefixChars = 17;
constexpr const char kByteOrderMark[] = "\xEF\xBB\xBF";

// What write_entry needs to know about the section being written.
struct SectionContext {
  SafeOutput* output;  // where entries go
  const char* name;    // the section being written, compared case-sensitively
};

bool is_comment_line(const char* line) {
  return line[0] == ';' || (line[0] == '/' && line[1] == '/');
}

// Reads the input's leading comment lines into `block` as heap copies.
// Returns false (after reporting) when the input cannot be read; sets
// `*had_mark` when the input began with a byte-order mark.
bool read_header_block(PtrList* block, bool* had_mark) {
  FILE* input = std::fopen(input_path, "r");
  if (input == nullptr) {
    report_access_error(input_path);
    return false;
  }
  LineReader reader = line_reader_start(input);
  char line[kLinePieceChars + 1];
  while (line_reader_next(&reader, line) && is_comment_line(line)) {
    if (std::strncmp(line, kStampPrefix, kStampPrefixChars) == 0) continue;
    // A NUL byte ends the text of a piece before its real end. Such a cut
    // piece still ends its output line: glued to the next carried piece it
    // would shift where the line splits when read back, and the tail of a
    // comment could read as a key of its own. (A piece that ends at a lone
    // carriage return has its line end already.)
    size_t length = std::strlen(line);
    if (length < static_cast<size_t>(kLinePieceChars) && line[length - 1] != '\n' &&
        line[length - 1] != '\r') {
      char* ended = static_cast<char*>(util_alloc(static_cast<int32_t>(length + 2)));
      std::memcpy(ended, line, length);
      ended[length] = '\n';
      ptrlist_append(block, ended);
    } else {
      ptrlist_append(block, util_strdup(line));
    }
  }
  bool ok = std::ferror(input) == 0;
  std::fclose(input);
  *had_mark = reader.had_byte_order_mark;
  if (!ok) report_access_error(input_path);
  return ok;
}

void release_items(PtrList* list) {
  ptrlist_foreach(list, util_free);
  ptrlist_clear(list);
}

void write_stamp(SafeOutput* output, time_t now) {
  char when[kTimeTextChars + 1];
  format_local_time(when, now);
  char stamp[160];
  std::snprintf(stamp, sizeof stamp, "%s%-24.24s (v%s %s)\n", kStampPrefix, when, kVersion,
                kCredit);
  safe_output_puts(output, stamp);
}

}  // namespace

int collect_section(const char* key, void* value, void* list) {
  (void)value;
  if (key[0] == '#') return 0;
  size_t length = std::strcspn(key, ":");
  if (length == 0) return 0;
  auto* sections = static_cast<PtrList*>(list);
  for (PtrNode* node = sections->head; node != nullptr; node = node->next) {
    const char* name = static_cast<const char*>(node->item);
    // Section parts never exceed the 32 characters of a section field, so
    // equal in the first 32 characters means equal.
    if (std::strlen(name) == length && std::strncmp(name, key, length) == 0) return 0;
  }
  char* section = static_cast<char*>(util_alloc(static_cast<int32_t>(length + 1)));
  std::memcpy(section, key, length);
  ptrlist_append(sections, section);
  return 0;
}

int write_entry(const char* key, void* value, void* context) {
  const auto* section = static_cast<const SectionContext*>(context);
  size_t length = std::strcspn(key, ":");
  if (std::strlen(section->name) != length || std::strncmp(section->name, key, length) != 0) {
    return 0;
  }
  const char* name = key[length] == ':' ? key + length + 1 : key + length;
  safe_output_puts(section->output, name);
  if (value != nullptr) {
    safe_output_write(section->output, " = ", 3);
    safe_output_puts(section->output, static_cast<const char*>(value));
  }
  safe_output_write(section->output, "\n", 1);
  util_free(value);
  return 1;
}

void write_section(SafeOutput* output, const char* name) {
  if (std::strcmp(name, kTopmostSection) == 0) {
    std::printf("writing pp's\n");
    safe_output_write(output, "\n", 1);
  } else {
    std::printf("writing section: %s\n", name);
    safe_output_write(output, "\n[", 2);
    safe_output_puts(output, name);
    safe_output_write(output, "]\n", 2);
  }
  SectionContext context{output, name};
  keytable_enum(key_table, write_entry, &context);
}

void write_config() {
  time_t now = std::time(nullptr);
  PtrList block{nullptr, nullptr};
  bool had_mark = false;
  if (!read_header_block(&block, &had_mark)) {
    release_items(&block);
    return;
  }

  PtrList sections{nullptr, nullptr};
  keytable_enum(key_table, collect_section, &sections);
  sort_sections(&sections);

  SafeOutput output{};
  if (!safe_output_open(&output, output_path)) {
    report_access_error(output_path);
    release_items(&block);
    release_items(&sections);
    return;
  }
  if (had_mark) safe_output_write(&output, kByteOrderMark, 3);
  write_stamp(&output, now);
  for (PtrNode* node = block.head; node != nullptr; node = node->next) {
    safe_output_puts(&output, static_cast<const char*>(node->item));
  }
  release_items(&block);
  for (PtrNode* node = sections.head; node != nullptr; node = node->next) {
    write_section(&output, static_cast<const char*>(node->item));
  }
  release_items(&sections);
  if (!safe_output_commit(&output)) report_access_error(output_path);
}
