// Byte-level text helpers shared by the key table, the parser and the sort.
//
// The configuration format is defined on bytes, not on a locale: letters
// fold A-Z only, white space is six ASCII bytes, and no byte above 0x7F is
// ever white space or a letter. These functions give exactly that.
#pragma once

#include <cstddef>

// Case-insensitive comparison: folds 'A'-'Z' to 'a'-'z' only and returns the
// difference of the first differing pair of folded bytes, each taken as an
// unsigned byte (0 for equal texts). The section order uses the magnitude.
int text_icompare(const char* a, const char* b);

// Space, horizontal tab, line feed, vertical tab, form feed, carriage return.
inline bool text_is_white(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Appends the terminated `source` to the terminated text in `field`, which
// holds `capacity` characters plus the terminator: cut at the capacity,
// always terminated.
void text_append(char* field, size_t capacity, const char* source);
