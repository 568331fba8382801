#include "tool/writer.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "support/alloc.h"
#include "support/platform.h"
#include "support/prefetch.h"
#include "support/ptrlist.h"
#include "tool/line_reader.h"
#include "tool/parser.h"
#include "tool/run_state.h"
#include "tool/section_sort.h"

namespace {

constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

// Output stream buffer: large writes instead of one per few lines.
constexpr size_t kOutputBufferBytes = 1 << 16;

// How many entries ahead writing asks for an entry's value, which lies
// scattered over memory.
constexpr int32_t kWriteAhead = 8;

bool is_comment_line(const char* line) {
  return line[0] == ';' || (line[0] == '/' && line[1] == '/');
}

// Reads the input's leading comment lines into `block` as heap copies.
// Returns false (after reporting) when the input cannot be read; sets
// `*had_mark` when the input began with a byte-order mark.
bool read_header_block(PtrList* block, bool* had_mark) {
  FILE* input = std::fopen(run.input_path, "r");
  if (input == nullptr) {
    report_access_error(run.input_path);
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
  if (!ok) report_access_error(run.input_path);
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

void write_entry(SafeOutput* output, const char* name, const char* value) {
  // The whole line in one write where it fits, which it always does for a
  // table the parser filled (name part and value are cut to their fields).
  size_t name_length = std::strlen(name);
  size_t value_length = value != nullptr ? std::strlen(value) : 0;
  char line[kComposedKeyChars + kValueChars + 8];
  if (name_length + value_length + 4 > sizeof line) {
    safe_output_write(output, name, name_length);
    if (value != nullptr) {
      safe_output_write(output, " = ", 3);
      safe_output_write(output, value, value_length);
    }
    safe_output_write(output, "\n", 1);
    return;
  }
  size_t used = name_length;
  std::memcpy(line, name, used);
  if (value != nullptr) {
    std::memcpy(line + used, " = ", 3);
    std::memcpy(line + used + 3, value, value_length);
    used += 3 + value_length;
  }
  line[used++] = '\n';
  safe_output_write(output, line, used);
}

void write_section(SafeOutput* output, const char* name, KeyEntry* const* entries, int32_t count) {
  // WARNING: performance-critical (every line of the output is written
  // here); measure changes with bench/run_bench.py --baseline OLD/keyfolder.
  if (std::strcmp(name, kTopmostSection) == 0) {
    std::printf("writing pp's\n");
    safe_output_write(output, "\n", 1);
  } else {
    std::printf("writing section: %s\n", name);
    safe_output_write(output, "\n[", 2);
    safe_output_puts(output, name);
    safe_output_write(output, "]\n", 2);
  }
  size_t skip = std::strlen(name) + 1;  // the section part and its colon
  for (int32_t i = 0; i < count; ++i) {
    if (i + kWriteAhead < count) prefetch(entries[i + kWriteAhead]->value);
    write_entry(output, entries[i]->key() + skip, static_cast<const char*>(entries[i]->value));
  }
}

void write_sections(SafeOutput* output) {
  // Gathering: the sections in the order one enumeration first meets them,
  // then into the order they are written.
  int32_t section_count = run.sections->count;
  auto* order = util_alloc_array<int32_t>(section_count);
  int32_t count = keytable_groups_met(run.key_table, section_count, order);
  sort_sections(order, count, run.sections);
  KeyOrder entries = keytable_order(run.key_table, order, count, section_count);
  for (int32_t i = 0; i < count; ++i) {
    int32_t size = 0;
    KeyEntry* const* section = keytable_order_next(&entries, &size);
    write_section(output, section_index_name(run.sections, order[i]), section, size);
  }
  keytable_order_end(&entries);
  util_free(order);
}

void write_config() {
  time_t now = std::time(nullptr);
  PtrList block{nullptr, nullptr};
  bool had_mark = false;
  if (!read_header_block(&block, &had_mark)) {
    release_items(&block);
    return;
  }
  SafeOutput output{};
  if (!safe_output_open(&output, run.output_path)) {
    report_access_error(run.output_path);
    release_items(&block);
    return;
  }
  // Our own buffer: given none, the runtime would ignore the size. It
  // outlives the stream, which the commit below closes.
  static char buffer[kOutputBufferBytes];
  std::setvbuf(output.stream, buffer, _IOFBF, sizeof buffer);
  if (had_mark) safe_output_write(&output, kByteOrderMark, 3);
  write_stamp(&output, now);
  for (PtrNode* node = block.head; node != nullptr; node = node->next) {
    safe_output_puts(&output, static_cast<const char*>(node->item));
  }
  release_items(&block);
  write_sections(&output);
  if (!safe_output_commit(&output)) report_access_error(run.output_path);
}
