// The entry log: every entry the parser created that the writer will gather,
// in creation order, with its full hash, its section and where it lies.
//
// While a table is only filled (entries added at the ends of their chains,
// values replaced in place, growth splitting chains in order), every chain
// lists its entries in the order they were created. So where a whole-table
// enumeration meets each entry, and with it the order in which it first
// meets each section, follows from the hashes and the creation order alone:
// the writer reads both here instead of walking the table. A section
// is the exact text of a key before its first ':' (letter case counts); keys
// that begin with '#' or have an empty section part are never gathered and
// are not logged. Running out of memory ends the process (util_fatal).
#pragma once

#include <cstdint>

#include "support/keytable.h"

// One logged entry.
struct LoggedEntry {
  KeyEntry* entry;  // the entry in the table (which owns it)
  uint32_t hash;    // key_hash of the entry's key (the entry's own copy
                    // would cost a cache miss per entry to read)
  int32_t section;  // the section's number, 0 up (see entry_log_name)
};

// A slot of the section index.
struct SectionSlot {
  uint32_t hash;    // the section text's index hash
  int32_t section;  // section + 1; 0 for a free slot
};

struct EntryLog {
  LoggedEntry* entries;   // `count` entries in creation order (heap, owned)
  int32_t count;          // entries logged
  int32_t capacity;       // entries allocated
  char* text;             // every section text, terminated, one after the
                          // other: kept together, a lookup stays in cache (owned)
  int32_t text_used;      // bytes of text in use
  int32_t text_capacity;  // bytes of text allocated
  int32_t* name_at;       // offset in text of each section's text (owned)
  int32_t section_count;  // sections named
  int32_t name_capacity;  // name_at allocated
  SectionSlot* slots;     // exact-text index over the sections, slot_mask + 1
                          // slots, at most half in use (owned)
  uint32_t slot_mask;     // slot count minus one
  int32_t recent[2];      // the last two sections logged (-1: none), tried
                          // first: a header's keys may have a floating key
                          // of another section among them
};

// An empty log. Released with entry_log_free.
EntryLog* entry_log_new();

// Makes room for `count` entries at once, for a log about to get about that
// many: growing step by step copies the array again and again, and every
// copy lands on memory the system must first clear.
void entry_log_reserve(EntryLog* log, int32_t count);

// Releases the log, its arrays and its section texts; null is a no-op.
void entry_log_free(EntryLog* log);

// A key's section as the log's index sees it, measured once per key. A
// caller that logs many entries probes each key a little ahead of logging
// it, so the index slot and the section's name are loaded meanwhile.
struct SectionProbe {
  uint32_t hash;   // the section text's index hash
  int32_t length;  // bytes before the key's first ':'; -1 for a key that
                   // gathering never counts (section part empty or '#')
};

// Measures the section of `key` and starts loading its index slot.
SectionProbe entry_log_probe(const EntryLog* log, const char* key);

// Starts loading the section name that the probe's slot names, if any; best
// called once that slot has had time to arrive. Changes nothing.
void entry_log_prefetch_name(const EntryLog* log, SectionProbe probe);

// Logs the table's new entry `entry` if it is one that gathering counts;
// call once per created entry, in creation order. `probe` is
// entry_log_probe of its key, which stays good however the log changes after
// it was taken: it holds only what the key's text gives.
void entry_log_record(EntryLog* log, KeyEntry* entry, SectionProbe probe);

// The text of section `section`; it stays valid until the log is next
// changed.
inline const char* entry_log_name(const EntryLog* log, int32_t section) {
  return log->text + log->name_at[section];
}

// The index of the section whose text is `name` exactly, or -1.
int32_t entry_log_find(const EntryLog* log, const char* name);
