#include "support/text.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "support/alloc.h"
#include "support/platform.h"

namespace {

// The process's hash key: drawn on first use (there is one thread).
struct HashKey {
  uint64_t k[2];
  bool drawn;
};
HashKey hash_key{{0, 0}, false};

const HashKey& key_for_hashing() {
  if (!hash_key.drawn) {
    platform_random_bytes(hash_key.k, sizeof hash_key.k);
    hash_key.drawn = true;
  }
  return hash_key;
}

uint64_t rotate_left(uint64_t x, int bits) { return (x << bits) | (x >> (64 - bits)); }

// SipHash's state and its one round.
struct SipState {
  uint64_t v0, v1, v2, v3;

  void round() {
    v0 += v1;
    v1 = rotate_left(v1, 13);
    v1 ^= v0;
    v0 = rotate_left(v0, 32);
    v2 += v3;
    v3 = rotate_left(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotate_left(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotate_left(v1, 17);
    v1 ^= v2;
    v2 = rotate_left(v2, 32);
  }

  // One compression round per 8-byte word: the "1" of SipHash-1-3.
  void absorb(uint64_t word) {
    v3 ^= word;
    round();
    v0 ^= word;
  }
};

}  // namespace

int text_icompare(const char* a, const char* b) {
  const unsigned char* left = reinterpret_cast<const unsigned char*>(a);
  const unsigned char* right = reinterpret_cast<const unsigned char*>(b);
  for (;; ++left, ++right) {
    unsigned l = text_fold(*left);
    unsigned r = text_fold(*right);
    if (l != r || l == 0) return static_cast<int>(l) - static_cast<int>(r);
  }
}

size_t text_append(char* field, size_t used, size_t capacity, const char* source) {
  size_t take = used < capacity ? strnlen(source, capacity - used) : 0;
  std::memcpy(field + used, source, take);
  field[used + take] = '\0';
  return used + take;
}

namespace {

// SipHash-1-3 of the `length` bytes at `bytes`, each folded with text_fold
// first when `kFold`.
template <bool kFold>
uint64_t sip_hash(const unsigned char* bytes, size_t length) {
  const HashKey& key = key_for_hashing();
  SipState state{key.k[0] ^ 0x736f6d6570736575u, key.k[1] ^ 0x646f72616e646f6du,
                 key.k[0] ^ 0x6c7967656e657261u, key.k[1] ^ 0x7465646279746573u};
  // Words are read little-endian byte by byte, folded on the way, so the
  // hash is the same on every system.
  auto word_at = [bytes](size_t at, size_t count) {
    uint64_t word = 0;
    for (size_t i = 0; i < count; ++i) {
      uint64_t byte = kFold ? text_fold(bytes[at + i]) : bytes[at + i];
      word |= byte << (8 * i);
    }
    return word;
  };
  size_t at = 0;
  for (; at + 8 <= length; at += 8) state.absorb(word_at(at, 8));
  state.absorb(word_at(at, length - at) | (uint64_t{length & 0xFF} << 56));
  state.v2 ^= 0xFF;
  state.round();
  state.round();
  state.round();
  return state.v0 ^ state.v1 ^ state.v2 ^ state.v3;
}

}  // namespace

uint64_t text_hash(const char* text, size_t length, bool fold) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  return fold ? sip_hash<true>(bytes, length) : sip_hash<false>(bytes, length);
}

void text_buffer_append(TextBuffer* buffer, const char* bytes, size_t length) {
  if (length == 0) return;
  util_grow(&buffer->bytes, &buffer->capacity, int64_t{buffer->size} + static_cast<int64_t>(length));
  std::memcpy(buffer->bytes + buffer->size, bytes, length);
  buffer->size += static_cast<int32_t>(length);
}

void text_buffer_vprintf(TextBuffer* buffer, const char* format, va_list arguments) {
  // Most texts fit a line's room: formatted once, then appended.
  char line[512];
  va_list again;
  va_copy(again, arguments);
  int length = std::vsnprintf(line, sizeof line, format, arguments);
  if (length < static_cast<int>(sizeof line)) {
    text_buffer_append(buffer, line, static_cast<size_t>(length));
  } else {
    // Room for the terminator vsnprintf writes, which the size leaves out.
    util_grow(&buffer->bytes, &buffer->capacity, int64_t{buffer->size} + length + 1);
    std::vsnprintf(buffer->bytes + buffer->size, static_cast<size_t>(length) + 1, format, again);
    buffer->size += length;
  }
  va_end(again);
}

void text_buffer_printf(TextBuffer* buffer, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  text_buffer_vprintf(buffer, format, arguments);
  va_end(arguments);
}

char* text_buffer_take(TextBuffer* buffer, size_t* size) {
  util_grow(&buffer->bytes, &buffer->capacity, int64_t{buffer->size} + 1);
  buffer->bytes[buffer->size] = '\0';
  char* bytes = buffer->bytes;
  *size = static_cast<size_t>(buffer->size);
  *buffer = TextBuffer{};
  return bytes;
}

void text_buffer_free(TextBuffer* buffer) {
  util_free(buffer->bytes);
  *buffer = TextBuffer{};
}
