#include "tool/writer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "support/alloc.h"
#include "support/platform.h"
#include "support/ptrlist.h"
#include "tool/entry_log.h"
#include "tool/line_reader.h"
#include "tool/parser.h"
#include "tool/run_state.h"
#include "tool/section_sort.h"

namespace {

constexpr size_t kStampPrefixChars = 17;
constexpr const char kByteOrderMark[] = "\xEF\xBB\xBF";

// Output stream buffer: large writes instead of one per few lines.
constexpr size_t kOutputBufferBytes = 1 << 16;

// What write_entry needs to know about the section being written.
struct SectionContext {
  SafeOutput* output;  // where entries go
  const char* name;    // the section being written, compared case-sensitively
  size_t name_length;  // strlen(name), taken once per section
};

// The full hashes of each section's entries, so that writing a section
// visits only the buckets holding them instead of the whole table.
struct Layout {
  uint32_t* hashes;  // every logged hash, grouped by section (heap)
  int32_t* starts;   // section_count + 1 offsets into hashes: section s has
                     // hashes[starts[s]..starts[s + 1]) (heap)
};

// Gathers the sections from `log` as a whole-table pass of collect_section
// over key_table would: appends heap copies of their names to `sections` in
// the order that pass first meets them, and fills `layout`. That pass walks
// the buckets in ascending order and each chain from its head, where the
// log's creation order is the chain order; so it meets a section first at
// its entry with the least (bucket under the current mask, creation index),
// and sorting the sections by that pair gives its order.
void gather_logged(const EntryLog* log, PtrList* sections, Layout* layout) {
  auto mask = static_cast<uint32_t>(key_table->mask);
  int32_t count = log->section_count;
  auto* first =
      static_cast<uint64_t*>(util_alloc(static_cast<int32_t>(sizeof(uint64_t)) * count));
  layout->starts =
      static_cast<int32_t*>(util_alloc(static_cast<int32_t>(sizeof(int32_t)) * (count + 1)));
  for (int32_t s = 0; s < count; ++s) first[s] = UINT64_MAX;
  for (int32_t i = 0; i < log->count; ++i) {
    const LoggedEntry& entry = log->entries[i];
    uint64_t met = (static_cast<uint64_t>(entry.hash & mask) << 32) | static_cast<uint32_t>(i);
    if (met < first[entry.section]) first[entry.section] = met;
    ++layout->starts[entry.section + 1];
  }
  auto* order = static_cast<int32_t*>(util_alloc(static_cast<int32_t>(sizeof(int32_t)) * count));
  for (int32_t s = 0; s < count; ++s) order[s] = s;
  std::sort(order, order + count, [first](int32_t a, int32_t b) { return first[a] < first[b]; });
  for (int32_t s = 0; s < count; ++s) {
    ptrlist_append(sections, util_strdup(entry_log_name(log, order[s])));
  }
  util_free(order);

  // A counting sort: each section's hashes land in its own range. `first`
  // is reused as every section's next free place.
  for (int32_t s = 0; s < count; ++s) {
    layout->starts[s + 1] += layout->starts[s];
    first[s] = static_cast<uint64_t>(layout->starts[s]);
  }
  layout->hashes =
      static_cast<uint32_t*>(util_alloc(static_cast<int32_t>(sizeof(uint32_t)) * log->count));
  for (int32_t i = 0; i < log->count; ++i) {
    const LoggedEntry& entry = log->entries[i];
    layout->hashes[first[entry.section]++] = entry.hash;
  }
  util_free(first);
}

void release_layout(Layout* layout) {
  util_free(layout->hashes);
  util_free(layout->starts);
  layout->hashes = nullptr;
  layout->starts = nullptr;
}

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

// The progress line, then a blank line and the header (none for the
// section of directives before any header).
void write_section_header(SafeOutput* output, const char* name) {
  if (std::strcmp(name, kTopmostSection) == 0) {
    std::printf("writing pp's\n");
    safe_output_write(output, "\n", 1);
  } else {
    std::printf("writing section: %s\n", name);
    safe_output_write(output, "\n[", 2);
    safe_output_puts(output, name);
    safe_output_write(output, "]\n", 2);
  }
}

// Below this many buckets a comparison sort is the quicker.
constexpr int32_t kRadixSortFrom = 256;
constexpr int kRadixBits = 11;

// Sorts the `count` bucket numbers at `buckets` (each at most `mask`) in
// ascending order, using `spare` (as many numbers) as room. A section of
// thousands of keys is sorted in two passes over its buckets instead of a
// dozen comparisons per key.
void sort_buckets(int32_t* buckets, int32_t* spare, int32_t count, uint32_t mask) {
  if (count < kRadixSortFrom) {
    std::sort(buckets, buckets + count);
    return;
  }
  constexpr uint32_t kDigits = 1u << kRadixBits;
  int32_t* from = buckets;
  int32_t* to = spare;
  for (int shift = 0; (mask >> shift) != 0; shift += kRadixBits) {
    int32_t place[kDigits] = {};
    for (int32_t i = 0; i < count; ++i) {
      ++place[(static_cast<uint32_t>(from[i]) >> shift) & (kDigits - 1)];
    }
    int32_t sum = 0;
    for (int32_t& slot : place) {
      int32_t here = slot;
      slot = sum;
      sum += here;
    }
    for (int32_t i = 0; i < count; ++i) {
      to[place[(static_cast<uint32_t>(from[i]) >> shift) & (kDigits - 1)]++] = from[i];
    }
    std::swap(from, to);
  }
  if (from != buckets) std::memcpy(buckets, from, sizeof(int32_t) * static_cast<size_t>(count));
}

// Writes a section as write_section does, visiting only the buckets that
// hold its entries (`count` hashes at `hashes`) under the table's current
// mask. The whole-table pass meets this section's entries in ascending
// bucket order, each chain from its head, and leaves every other entry
// alone; so does this, and it ends with the same size check, so every
// removal and halving, and with them the order of every later section, are
// what the whole-table pass gives. `scratch` holds at least 2 x `count`
// numbers.
void write_section_buckets(SafeOutput* output, const char* name, const uint32_t* hashes,
                           int32_t count, int32_t* scratch) {
  write_section_header(output, name);
  // The mask can have halved since the hashes were recorded: recompute.
  auto mask = static_cast<uint32_t>(key_table->mask);
  for (int32_t i = 0; i < count; ++i) scratch[i] = static_cast<int32_t>(hashes[i] & mask);
  sort_buckets(scratch, scratch + count, count, mask);
  auto buckets = static_cast<int32_t>(std::unique(scratch, scratch + count) - scratch);
  SectionContext context{output, name, std::strlen(name)};
  keytable_enum_buckets(key_table, scratch, buckets, write_entry, &context);
}

// How the sections are gathered and written: one enumeration of the whole
// table per section (the plain form, the tests' reference), or from the
// entry log, each section by its own buckets (the same output in time
// linear in the entries).
enum class SectionPasses { kWholeTable, kOwnBuckets };

// Writes every section of the ordered list by write_section_buckets.
void write_own_buckets(SafeOutput* output, const PtrList* sections, const EntryLog* log,
                       const Layout* layout) {
  int32_t largest = 0;
  for (int32_t s = 0; s < log->section_count; ++s) {
    largest = std::max(largest, layout->starts[s + 1] - layout->starts[s]);
  }
  auto* scratch =
      static_cast<int32_t*>(util_alloc(static_cast<int32_t>(sizeof(int32_t)) * 2 * largest));
  for (PtrNode* node = sections->head; node != nullptr; node = node->next) {
    const char* name = static_cast<const char*>(node->item);
    int32_t s = entry_log_find(log, name);
    write_section_buckets(output, name, layout->hashes + layout->starts[s],
                          layout->starts[s + 1] - layout->starts[s], scratch);
  }
  util_free(scratch);
}

void convert_table(SectionPasses passes) {
  time_t now = std::time(nullptr);
  PtrList block{nullptr, nullptr};
  bool had_mark = false;
  if (!read_header_block(&block, &had_mark)) {
    release_items(&block);
    return;
  }

  PtrList sections{nullptr, nullptr};
  Layout layout{nullptr, nullptr};
  if (passes == SectionPasses::kOwnBuckets) {
    gather_logged(entry_log, &sections, &layout);
    // The size check that ends the whole-table pass. (After a parse, which
    // only adds, it never resizes.)
    keytable_check_size(key_table);
  } else {
    keytable_enum(key_table, collect_section, &sections);
  }
  sort_sections(&sections);

  SafeOutput output{};
  if (!safe_output_open(&output, output_path)) {
    report_access_error(output_path);
    release_items(&block);
    release_layout(&layout);
    release_items(&sections);
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
  if (passes == SectionPasses::kOwnBuckets) {
    write_own_buckets(&output, &sections, entry_log, &layout);
  } else {
    for (PtrNode* node = sections.head; node != nullptr; node = node->next) {
      write_section(&output, static_cast<const char*>(node->item));
    }
  }
  release_layout(&layout);
  release_items(&sections);
  if (!safe_output_commit(&output)) report_access_error(output_path);
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
  // Section names hold no colon, so the key's section part equals the name
  // exactly when the key starts with the name followed by ':' (or ends).
  size_t length = section->name_length;
  if (std::strncmp(key, section->name, length) != 0 ||
      (key[length] != ':' && key[length] != '\0')) {
    return 0;
  }
  const char* name = key[length] == ':' ? key + length + 1 : key + length;
  // The whole line in one write where it fits, which it always does for a
  // table the parser filled (name part and value are cut to their fields).
  const char* text = static_cast<const char*>(value);
  size_t name_length = std::strlen(name);
  size_t text_length = text != nullptr ? std::strlen(text) : 0;
  char line[kComposedKeyChars + kValueChars + 8];
  if (name_length + text_length + 4 > sizeof line) {
    safe_output_write(section->output, name, name_length);
    if (text != nullptr) {
      safe_output_write(section->output, " = ", 3);
      safe_output_write(section->output, text, text_length);
    }
    safe_output_write(section->output, "\n", 1);
  } else {
    size_t used = name_length;
    std::memcpy(line, name, used);
    if (text != nullptr) {
      std::memcpy(line + used, " = ", 3);
      std::memcpy(line + used + 3, text, text_length);
      used += 3 + text_length;
    }
    line[used++] = '\n';
    safe_output_write(section->output, line, used);
  }
  // The value stays in value_texts, which the driver releases whole.
  return 1;
}

void write_section(SafeOutput* output, const char* name) {
  write_section_header(output, name);
  SectionContext context{output, name, std::strlen(name)};
  keytable_enum(key_table, write_entry, &context);
}

void write_config() {
  convert_table(entry_log != nullptr ? SectionPasses::kOwnBuckets : SectionPasses::kWholeTable);
}

void write_config_literal() { convert_table(SectionPasses::kWholeTable); }
