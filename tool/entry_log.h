// The entry log: every entry the parser created that the writer will gather,
// in creation order, with its full hash and its section.
//
// While a table is only filled (entries added at the ends of their chains,
// values replaced in place, growth splitting chains in order), every chain
// lists its entries in the order they were created. So where a whole-table
// enumeration meets each entry, and with it the order in which it first
// meets each section, follows from the hashes and the creation order alone:
// the writer reads both here instead of walking the whole table. A section
// is the exact text of a key before its first ':' (letter case counts); keys
// that begin with '#' or have an empty section part are never gathered and
// are not logged. Running out of memory ends the process (util_fatal).
#pragma once

#include <cstdint>

// One logged entry.
struct LoggedEntry {
  uint32_t hash;    // key_hash of the entry's key
  int32_t section;  // index into EntryLog::names
};

struct EntryLog {
  LoggedEntry* entries;     // `count` entries in creation order (heap, owned)
  int32_t count;            // entries logged
  int32_t capacity;         // entries allocated
  char** names;             // section texts by index, each a heap copy (owned)
  int32_t section_count;    // sections named
  int32_t name_capacity;    // names allocated
  int32_t* slots;           // exact-text index over names: section + 1, 0 free;
                            // slot_mask + 1 slots, at most half in use (owned)
  uint32_t slot_mask;       // slot count minus one
  int32_t last_section;     // the section logged last (-1: none): consecutive
                            // entries mostly share one, so it is tried first
};

// An empty log. Released with entry_log_free.
EntryLog* entry_log_new();

// Releases the log, its arrays and its section texts; null is a no-op.
void entry_log_free(EntryLog* log);

// Logs a new entry with key `key` and hash `hash` (key_hash(key)) if it is
// one that gathering counts; call once per created entry, in creation order.
void entry_log_record(EntryLog* log, const char* key, uint32_t hash);

// The index of the section whose text is `name` exactly, or -1.
int32_t entry_log_find(const EntryLog* log, const char* name);
