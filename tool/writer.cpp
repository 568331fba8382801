#include "tool/writer.h"

#include <algorithm>
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

// Output stream buffer: large writes instead of one per few lines.
constexpr size_t kOutputBufferBytes = 1 << 16;

// What write_entry needs to know about the section being written.
struct SectionContext {
  SafeOutput* output;  // where entries go
  const char* name;    // the section being written, compared case-sensitively
  size_t name_length;  // strlen(name), taken once per section
};

// One gathered section with the full hashes of its entries, so that writing
// it visits only the buckets holding them instead of the whole table.
struct Gathered {
  const char* name;  // the section name; the section list owns the text
  uint32_t* hashes;  // key_hash of every entry of the section (heap)
  int32_t count;     // hashes in use
  int32_t capacity;  // hashes allocated
};

// Gathered sections by exact name text, in open addressing over a
// power-of-two slot array kept at most half full. Not a second KeyTable:
// names that differ only in letter case are distinct sections.
struct SectionIndex {
  Gathered** slots;  // mask + 1 slots, null when free; the index owns each
                     // record until write_own_buckets takes them and the array
  uint32_t mask;     // slot count minus one
  int32_t count;     // records held
  PtrList* list;     // the section list, appended in gathering order
};

constexpr uint32_t kFirstIndexMask = 63;
constexpr int32_t kFirstHashCapacity = 8;

// FNV-1a over the `length` bytes at `text`: the index's own hash, exact bytes.
uint32_t name_hash(const char* text, size_t length) {
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < length; ++i) {
    h = (h ^ static_cast<unsigned char>(text[i])) * 16777619u;
  }
  return h;
}

// The slot that holds the section named by the `length` bytes at `name`, or
// the free slot where it belongs.
Gathered** find_slot(const SectionIndex* index, const char* name, size_t length) {
  uint32_t i = name_hash(name, length) & index->mask;
  while (index->slots[i] != nullptr) {
    const char* held = index->slots[i]->name;
    if (std::strncmp(held, name, length) == 0 && held[length] == '\0') break;
    i = (i + 1) & index->mask;
  }
  return &index->slots[i];
}

Gathered** new_slots(uint32_t mask) {
  return static_cast<Gathered**>(
      util_alloc(static_cast<int32_t>(sizeof(Gathered*) * (static_cast<size_t>(mask) + 1))));
}

void grow_index(SectionIndex* index) {
  Gathered** old = index->slots;
  uint32_t old_mask = index->mask;
  index->mask = old_mask * 2 + 1;
  index->slots = new_slots(index->mask);
  for (uint32_t i = 0; i <= old_mask; ++i) {
    if (old[i] == nullptr) continue;
    const char* name = old[i]->name;
    *find_slot(index, name, std::strlen(name)) = old[i];
  }
  util_free(old);
}

// Releases the records and the slot array (if not taken already).
void release_index(SectionIndex* index) {
  if (index->slots == nullptr) return;
  for (uint32_t i = 0; i <= index->mask; ++i) {
    if (index->slots[i] == nullptr) continue;
    util_free(index->slots[i]->hashes);
    util_free(index->slots[i]);
  }
  util_free(index->slots);
  index->slots = nullptr;
}

// Enumeration visitor, `closure` the SectionIndex: gathers sections as
// collect_section does (same skips, same order in the list) and records
// every entry's hash under its section. Always returns 0.
int gather_entry(const char* key, void* value, void* closure) {
  (void)value;
  if (key[0] == '#') return 0;
  size_t length = std::strcspn(key, ":");
  if (length == 0) return 0;
  auto* index = static_cast<SectionIndex*>(closure);
  Gathered** slot = find_slot(index, key, length);
  if (*slot == nullptr) {
    char* name = static_cast<char*>(util_alloc(static_cast<int32_t>(length + 1)));
    std::memcpy(name, key, length);
    ptrlist_append(index->list, name);
    auto* section = static_cast<Gathered*>(util_alloc(sizeof(Gathered)));
    section->name = name;
    *slot = section;
    if (++index->count * 2 > static_cast<int64_t>(index->mask) + 1) {
      grow_index(index);
      slot = find_slot(index, key, length);
    }
  }
  Gathered* section = *slot;
  if (section->count == section->capacity) {
    int32_t capacity = section->capacity == 0 ? kFirstHashCapacity : section->capacity * 2;
    auto* hashes =
        static_cast<uint32_t*>(util_alloc(static_cast<int32_t>(sizeof(uint32_t)) * capacity));
    if (section->count != 0) {
      std::memcpy(hashes, section->hashes, sizeof(uint32_t) * static_cast<size_t>(section->count));
    }
    util_free(section->hashes);
    section->hashes = hashes;
    section->capacity = capacity;
  }
  section->hashes[section->count++] = key_hash(key);
  return 0;
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

// Writes a section as write_section does, visiting only the buckets that
// hold its entries under the table's current mask. The whole-table pass
// meets this section's entries in ascending bucket order, each chain from
// its head, and leaves every other entry alone; so does this, and it ends
// with the same size check, so every removal and halving, and with them the
// order of every later section, are what the whole-table pass gives.
// `scratch` holds at least section->count bucket numbers.
void write_section_buckets(SafeOutput* output, const Gathered* section, int32_t* scratch) {
  write_section_header(output, section->name);
  // The mask can have halved since the hashes were recorded: recompute.
  auto mask = static_cast<uint32_t>(key_table->mask);
  for (int32_t i = 0; i < section->count; ++i) {
    scratch[i] = static_cast<int32_t>(section->hashes[i] & mask);
  }
  std::sort(scratch, scratch + section->count);
  auto buckets = static_cast<int32_t>(std::unique(scratch, scratch + section->count) - scratch);
  SectionContext context{output, section->name, std::strlen(section->name)};
  keytable_enum_buckets(key_table, scratch, buckets, write_entry, &context);
}

// How the sections are gathered and written: one enumeration of the whole
// table per section (the plain form, the tests' reference), or only each
// section's own buckets (the same output in time linear in the entries).
enum class SectionPasses { kWholeTable, kOwnBuckets };

// Writes every section of the ordered list by write_section_buckets, taking
// the records out of `index` in that order and releasing each once its
// section is written. The index's slot array goes before any entry is
// freed: with glibc's fast bins in use, releasing a block that large after
// the entries makes the allocator merge every block freed by then in one
// pass over cold memory.
void write_own_buckets(SafeOutput* output, PtrList* sections, SectionIndex* index) {
  int32_t count = ptrlist_count(sections);
  auto* order =
      static_cast<Gathered**>(util_alloc(static_cast<int32_t>(sizeof(Gathered*)) * count));
  int32_t largest = 0;
  int32_t i = 0;
  for (PtrNode* node = sections->head; node != nullptr; node = node->next) {
    const char* name = static_cast<const char*>(node->item);
    order[i] = *find_slot(index, name, std::strlen(name));
    largest = std::max(largest, order[i]->count);
    ++i;
  }
  util_free(index->slots);
  index->slots = nullptr;
  auto* scratch =
      static_cast<int32_t*>(util_alloc(static_cast<int32_t>(sizeof(int32_t)) * largest));
  for (i = 0; i < count; ++i) {
    write_section_buckets(output, order[i], scratch);
    util_free(order[i]->hashes);
    util_free(order[i]);
  }
  util_free(scratch);
  util_free(order);
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
  SectionIndex index{new_slots(kFirstIndexMask), kFirstIndexMask, 0, &sections};
  if (passes == SectionPasses::kOwnBuckets) {
    keytable_enum(key_table, gather_entry, &index);
  } else {
    keytable_enum(key_table, collect_section, &sections);
  }
  sort_sections(&sections);

  SafeOutput output{};
  if (!safe_output_open(&output, output_path)) {
    report_access_error(output_path);
    release_items(&block);
    release_index(&index);
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
    write_own_buckets(&output, &sections, &index);
  } else {
    for (PtrNode* node = sections.head; node != nullptr; node = node->next) {
      write_section(&output, static_cast<const char*>(node->item));
    }
  }
  release_index(&index);
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
  util_free(value);
  return 1;
}

void write_section(SafeOutput* output, const char* name) {
  write_section_header(output, name);
  SectionContext context{output, name, std::strlen(name)};
  keytable_enum(key_table, write_entry, &context);
}

void write_config() { convert_table(SectionPasses::kOwnBuckets); }

void write_config_literal() { convert_table(SectionPasses::kWholeTable); }
