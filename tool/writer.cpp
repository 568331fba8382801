#include "tool/writer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "support/alloc.h"
#include "support/platform.h"
#include "support/prefetch.h"
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

// One logged entry as the writer places it.
struct Placed {
  KeyEntry* entry;    // the entry in the table
  uint32_t hash;      // its key_hash
  uint32_t position;  // where the table's walk meets it (chain_position)
};

// Each section's entries, so that writing a section reads just them
// instead of walking the table.
struct Layout {
  Placed* entries;  // every logged entry, grouped by section, each group in
                    // creation order (heap)
  int32_t* starts;  // section_count + 1 offsets into entries: section s has
                    // entries[starts[s]..starts[s + 1]) (heap)
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
  auto* first = static_cast<uint64_t*>(util_alloc(static_cast<int32_t>(sizeof(uint64_t)) * count));
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

  // A counting sort: each section's entries land in its own range, in
  // creation order. `first` is reused as every section's next free place.
  for (int32_t s = 0; s < count; ++s) {
    layout->starts[s + 1] += layout->starts[s];
    first[s] = static_cast<uint64_t>(layout->starts[s]);
  }
  layout->entries =
      static_cast<Placed*>(util_alloc(static_cast<int32_t>(sizeof(Placed)) * log->count));
  for (int32_t i = 0; i < log->count; ++i) {
    const LoggedEntry& entry = log->entries[i];
    layout->entries[first[entry.section]++] = Placed{entry.entry, entry.hash, 0};
  }
  util_free(first);
}

void release_layout(Layout* layout) {
  util_free(layout->entries);
  util_free(layout->starts);
  layout->entries = nullptr;
  layout->starts = nullptr;
}

// Writes the input's leading comment block as the parser kept it, without
// earlier stamp lines.
void write_leading_comments(SafeOutput* output) {
  for (const CommentLine* line = leading_comments.head; line != nullptr; line = line->next) {
    const char* text = line->text;
    if (std::strncmp(text, kStampPrefix, kStampPrefixChars) == 0) continue;
    safe_output_puts(output, text);
    // A NUL byte ends the text of a piece before its real end. Such a cut
    // piece still ends its output line: glued to the next carried piece it
    // would shift where the line splits when read back, and the tail of a
    // comment could read as a key of its own. (A piece that ends at a lone
    // carriage return has its line end already.)
    size_t length = std::strlen(text);
    if (length < static_cast<size_t>(kLinePieceChars) && text[length - 1] != '\n' &&
        text[length - 1] != '\r') {
      safe_output_write(output, "\n", 1);
    }
  }
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

// Writes "name = value", or the name alone for no value, as one line.
void write_key_line(SafeOutput* output, const char* name, const char* value) {
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

// Below this many entries an insertion sort is the quicker.
constexpr int32_t kRadixSortFrom = 256;
constexpr int kRadixBits = 11;
// How many entries ahead writing asks for an entry's value, which lies
// scattered over memory (the entries themselves are asked for while their
// order is worked out).
constexpr int32_t kWriteAhead = 8;

// The number of one bits of a mask 2^k - 1, k.
int mask_bits(uint32_t mask) {
  int bits = 0;
  for (; mask != 0; mask >>= 1) ++bits;
  return bits;
}

// Where a walk of the table, under `mask`, meets an entry with hash `hash`,
// as a number to sort by; entries with equal numbers are met in the order
// they were made. The table had `first_mask` when writing began and has
// only halved since: a halving appends the chain of bucket j + half to that
// of bucket j, so within a bucket the chains of the old buckets follow one
// another in the order of the hash bits the halvings dropped, the bit
// dropped last counting most; in each such old chain, entries stand in the
// order made, as in every chain of a table that was only filled.
// `kept` and `dropped` are mask_bits(mask) and mask_bits(first_mask) - kept.
uint32_t chain_position(uint32_t hash, uint32_t mask, uint32_t first_mask, int kept, int dropped) {
  uint32_t high = (hash & first_mask) >> kept;
  uint32_t reversed = 0;
  for (int bit = 0; bit < dropped; ++bit) reversed |= ((high >> bit) & 1u) << (dropped - 1 - bit);
  return ((hash & mask) << dropped) | reversed;
}

// Sorts `count` entries by position, keeping the order of equal ones, using
// `spare` (as many entries) as room; every position is below 2^bits.
void sort_placed(Placed* placed, Placed* spare, int32_t count, int bits) {
  if (count < kRadixSortFrom) {
    for (int32_t i = 1; i < count; ++i) {
      Placed moving = placed[i];
      int32_t j = i;
      for (; j > 0 && placed[j - 1].position > moving.position; --j) placed[j] = placed[j - 1];
      placed[j] = moving;
    }
    return;
  }
  // A section of thousands of entries: a few passes over its digits
  // instead of a dozen comparisons per entry.
  constexpr uint32_t kDigits = 1u << kRadixBits;
  Placed* from = placed;
  Placed* to = spare;
  for (int shift = 0; shift < bits; shift += kRadixBits) {
    int32_t place[kDigits] = {};
    for (int32_t i = 0; i < count; ++i) ++place[(from[i].position >> shift) & (kDigits - 1)];
    int32_t sum = 0;
    for (int32_t& slot : place) {
      int32_t here = slot;
      slot = sum;
      sum += here;
    }
    for (int32_t i = 0; i < count; ++i) {
      to[place[(from[i].position >> shift) & (kDigits - 1)]++] = from[i];
    }
    std::swap(from, to);
  }
  if (from != placed) std::memcpy(placed, from, sizeof(Placed) * static_cast<size_t>(count));
}

// How the sections are gathered and written: one enumeration of the whole
// table per section (the plain form, the tests' reference), or from the
// entry log, each section from its own entries (the same output in time
// linear in the entries).
enum class SectionPasses { kWholeTable, kLogged };

// The table's shape as the whole-table passes would leave it, followed
// without changing the table.
struct Shape {
  uint32_t first_mask;  // the mask when writing began
  uint32_t mask;        // the mask now
  int64_t count;        // the entries still in the table
};

// Writes a section as write_section does, from its `count` entries at
// `placed` (in creation order; reordered here), and moves `shape` on as the
// whole-table pass would: that pass meets the section's entries in the
// order of their chain positions, removes them and ends with one size
// check. `spare` holds at least `count` entries.
void write_logged_section(SafeOutput* output, const char* name, Placed* placed, int32_t count,
                          Placed* spare, Shape* shape) {
  write_section_header(output, name);
  int kept = mask_bits(shape->mask);
  int dropped = mask_bits(shape->first_mask) - kept;
  for (int32_t i = 0; i < count; ++i) {
    prefetch(placed[i].entry);
    placed[i].position =
        chain_position(placed[i].hash, shape->mask, shape->first_mask, kept, dropped);
  }
  sort_placed(placed, spare, count, kept + dropped);
  size_t skip = std::strlen(name) + 1;  // the section part and its colon
  for (int32_t i = 0; i < count; ++i) {
    if (i + kWriteAhead < count) prefetch(placed[i + kWriteAhead].entry->value);
    KeyEntry* entry = placed[i].entry;
    write_key_line(output, entry->key() + skip, static_cast<const char*>(entry->value));
  }
  shape->count -= count;
  shape->mask =
      static_cast<uint32_t>(keytable_checked_mask(shape->count, static_cast<int32_t>(shape->mask)));
}

// Writes every section of the ordered list by write_logged_section.
void write_logged(SafeOutput* output, const PtrList* sections, const EntryLog* log,
                  const Layout* layout) {
  int32_t largest = 0;
  for (int32_t s = 0; s < log->section_count; ++s) {
    largest = std::max(largest, layout->starts[s + 1] - layout->starts[s]);
  }
  auto* spare = static_cast<Placed*>(util_alloc(static_cast<int32_t>(sizeof(Placed)) * largest));
  Shape shape{static_cast<uint32_t>(key_table->mask), static_cast<uint32_t>(key_table->mask),
              key_table->count};
  for (PtrNode* node = sections->head; node != nullptr; node = node->next) {
    const char* name = static_cast<const char*>(node->item);
    int32_t s = entry_log_find(log, name);
    write_logged_section(output, name, layout->entries + layout->starts[s],
                         layout->starts[s + 1] - layout->starts[s], spare, &shape);
  }
  util_free(spare);
}

void convert_table(SectionPasses passes) {
  time_t now = std::time(nullptr);
  PtrList sections{nullptr, nullptr};
  Layout layout{nullptr, nullptr};
  if (passes == SectionPasses::kLogged) {
    gather_logged(entry_log, &sections, &layout);
    // The size check that ends the whole-table pass. (After a parse, which
    // only adds, it never resizes.)
    keytable_check_size(key_table);
  } else {
    keytable_enum(key_table, collect_section, &sections);
  }
  sort_sections(&sections);

  // In place when the output path is the input's; safe_output_open also
  // finds the input under another name.
  SafeOutput output{};
  if (!safe_output_open(&output, output_path, &input_identity,
                        std::strcmp(output_path, input_path) == 0)) {
    report_access_error(output_path, output.reason);
    release_layout(&layout);
    release_items(&sections);
    return;
  }
  // Our own buffer: given none, the runtime would ignore the size. It
  // outlives the stream, which the commit below closes.
  static char buffer[kOutputBufferBytes];
  std::setvbuf(output.stream, buffer, _IOFBF, sizeof buffer);
  if (leading_comments.had_byte_order_mark) safe_output_write(&output, kByteOrderMark, 3);
  write_stamp(&output, now);
  write_leading_comments(&output);
  if (passes == SectionPasses::kLogged) {
    write_logged(&output, &sections, entry_log, &layout);
  } else {
    for (PtrNode* node = sections.head; node != nullptr; node = node->next) {
      write_section(&output, static_cast<const char*>(node->item));
    }
  }
  release_layout(&layout);
  release_items(&sections);
  if (!safe_output_commit(&output)) report_access_error(output_path, output.reason);
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
  write_key_line(section->output, name, static_cast<const char*>(value));
  // The value stays in value_texts, which the driver releases whole.
  return 1;
}

void write_section(SafeOutput* output, const char* name) {
  write_section_header(output, name);
  SectionContext context{output, name, std::strlen(name)};
  keytable_enum(key_table, write_entry, &context);
}

void write_config() {
  convert_table(entry_log != nullptr ? SectionPasses::kLogged : SectionPasses::kWholeTable);
}

void write_config_literal() { convert_table(SectionPasses::kWholeTable); }
