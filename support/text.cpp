#include "support/text.h"

#include <cstring>

namespace {

// Folds one byte as the configuration format does: A-Z only.
unsigned fold(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

}  // namespace

int text_icompare(const char* a, const char* b) {
  const unsigned char* left = reinterpret_cast<const unsigned char*>(a);
  const unsigned char* right = reinterpret_cast<const unsigned char*>(b);
  for (;; ++left, ++right) {
    unsigned l = fold(*left);
    unsigned r = fold(*right);
    if (l != r || l == 0) return static_cast<int>(l) - static_cast<int>(r);
  }
}

void text_append(char* field, size_t capacity, const char* source) {
  size_t used = std::strlen(field);
  size_t take = 0;
  while (used + take < capacity && source[take] != '\0') ++take;
  std::memcpy(field + used, source, take);
  field[used + take] = '\0';
}
