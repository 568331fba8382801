// The sections of a parse, numbered.
//
// Every distinct section part of a composed key (its exact text before the
// first ':', letter case counting) gets a number, 0 up, in the order it is
// first asked for; a key whose section part is empty or begins with '#'
// belongs to no section that is ever written. The parser tags each entry it
// makes with its section's number (KeyEntry::group); the writer gathers,
// orders and writes the sections by these numbers and reads their names
// here. Running out of memory ends the process (util_fatal).
#pragma once

#include <cstdint>

#include "support/arena.h"
#include "support/column.h"
#include "support/intern_index.h"

// A section's name.
struct SectionName {
  const char* text;  // terminated, in the index's `texts`
  size_t length;     // strlen(text)
};

struct SectionIndex {
  List<SectionName> names;  // names.items[n]: the name of section n
  InternIndex index;        // over the names, by their text_hash
  int32_t recent[2];        // the last two sections asked for (-1: none), tried
                            // first: a header's keys may have a floating key
                            // of another section among them
  Arena texts;              // the names' texts
};

// An empty index. Released with section_index_free.
SectionIndex* section_index_new();

// Releases the index and every name; null is a no-op.
void section_index_free(SectionIndex* index);

// The number of the section of the composed key `key`, numbering it if it
// is new, or -1 when the key's section part is empty or begins with '#'.
int32_t section_index_number(SectionIndex* index, const char* key);

// The text of section `section`; valid until the index is released.
inline const char* section_index_name(const SectionIndex* index, int32_t section) {
  return index->names.items[section].text;
}
