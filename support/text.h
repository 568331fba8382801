// Byte-level text helpers shared by the key table, the parser and the sort.
//
// The configuration format is defined on bytes, not on a locale: letters
// fold A-Z only, white space is six ASCII bytes, and no byte above 0x7F is
// ever white space or a letter. These functions give exactly that.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>

// The format's one case fold: 'A'-'Z' to 'a'-'z', every other byte as it is.
// (The key table's bucket hash folds with OR 0x20 instead, which also merges
// a few non-letters; that difference is part of the output order, see
// key_hash.)
inline unsigned char text_fold(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

// Case-insensitive comparison: folds with text_fold and returns the
// difference of the first differing pair of folded bytes, each taken as an
// unsigned byte (0 for equal texts). The section order uses the magnitude.
int text_icompare(const char* a, const char* b);

// Space, horizontal tab, line feed, vertical tab, form feed, carriage return.
inline bool text_is_white(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The length of `text` without its trailing white space.
inline size_t text_trimmed_length(const char* text, size_t length) {
  while (length > 0 && text_is_white(text[length - 1])) --length;
  return length;
}

// Appends the terminated `source` to the `used` characters of `field`,
// which holds `capacity` characters plus the terminator: cut at the
// capacity, always terminated. Returns the field's new length.
size_t text_append(char* field, size_t used, size_t capacity, const char* source);

// A 64-bit hash of the `length` bytes at `text` for lookup indexes that
// hostile input must not be able to crowd into one place: SipHash-1-3 under
// a key drawn at random once per process, so which texts collide cannot be
// worked out from outside the run. With `fold`, bytes are folded with
// text_fold first, so texts equal under text_icompare hash alike. Which
// texts collide differs from run to run; nothing that decides the output
// may depend on it.
uint64_t text_hash(const char* text, size_t length, bool fold);

// A text made in memory a piece at a time: all zero is empty; released with
// text_buffer_free. Running out of memory ends the process (util_fatal).
struct TextBuffer {
  char* bytes;       // `size` bytes in use, not terminated (heap)
  int32_t size;
  int32_t capacity;  // bytes allocated
};
void text_buffer_append(TextBuffer* buffer, const char* bytes, size_t length);
inline void text_buffer_puts(TextBuffer* buffer, const char* text) {
  text_buffer_append(buffer, text, std::strlen(text));
}
void text_buffer_printf(TextBuffer* buffer, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
void text_buffer_vprintf(TextBuffer* buffer, const char* format, va_list arguments)
    __attribute__((format(printf, 2, 0)));
// Hands the bytes over, terminated (a text of none is ""), and empties the
// buffer; the caller releases them with util_free.
char* text_buffer_take(TextBuffer* buffer, size_t* size);
void text_buffer_free(TextBuffer* buffer);
