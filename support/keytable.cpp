#include "support/keytable.h"

#include <cstring>

#include "support/alloc.h"
#include "support/text.h"

namespace {

constexpr int32_t kMinMask = 15;   // 16 buckets, the smallest table
constexpr int32_t kMaxLoad = 75;   // percent; growth above it
constexpr uint32_t kHashSeed = 0xF0E1D2;

KeyEntry** new_buckets(int32_t mask) {
  return static_cast<KeyEntry**>(
      util_alloc(static_cast<int32_t>(sizeof(KeyEntry*)) * (mask + 1)));
}

uint32_t bucket_of(const char* key, int32_t mask) {
  return key_hash(key) & static_cast<uint32_t>(mask);
}

// Moves every entry into a fresh array of new_mask + 1 buckets. Entries are
// pushed onto the front of their new chain as they are met, then each chain
// is reversed, so every new chain lists its entries in visit order.
void resize(KeyTable* table, int32_t new_mask) {
  KeyEntry** fresh = new_buckets(new_mask);
  for (int32_t i = 0; i <= table->mask; ++i) {
    KeyEntry* entry = table->buckets[i];
    while (entry != nullptr) {
      KeyEntry* next = entry->next;
      uint32_t b = bucket_of(entry->key(), new_mask);
      entry->next = fresh[b];
      fresh[b] = entry;
      entry = next;
    }
  }
  for (int32_t i = 0; i <= new_mask; ++i) {
    KeyEntry* reversed = nullptr;
    KeyEntry* entry = fresh[i];
    while (entry != nullptr) {
      KeyEntry* next = entry->next;
      entry->next = reversed;
      reversed = entry;
      entry = next;
    }
    fresh[i] = reversed;
  }
  util_free(table->buckets);
  table->buckets = fresh;
  table->mask = new_mask;
}

}  // namespace

uint32_t key_hash(const char* text) {
  uint32_t h = kHashSeed;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
    // The folded byte is read as signed: bytes 0x80-0xFF subtract.
    auto folded = static_cast<int8_t>(*p | 0x20);
    h ^= (h << 7) + (h >> 2) + static_cast<uint32_t>(static_cast<int32_t>(folded));
  }
  return h;
}

KeyTable* keytable_new() {
  auto* table = static_cast<KeyTable*>(util_alloc(sizeof(KeyTable)));
  table->mask = kMinMask;
  table->count = 0;
  table->max_load = kMaxLoad;
  table->buckets = new_buckets(kMinMask);
  return table;
}

void keytable_free(KeyTable* table, void (*release_value)(void* value)) {
  if (table == nullptr) return;
  for (int32_t i = 0; i <= table->mask; ++i) {
    KeyEntry* entry = table->buckets[i];
    while (entry != nullptr) {
      KeyEntry* next = entry->next;
      if (release_value != nullptr) release_value(entry->value);
      util_free(entry);
      entry = next;
    }
  }
  util_free(table->buckets);
  util_free(table);
}

void keytable_add(KeyTable* table, const char* key, void* value) {
  size_t length = std::strlen(key);
  auto* entry = static_cast<KeyEntry*>(
      util_alloc(static_cast<int32_t>(sizeof(KeyEntry) + length + 1)));
  entry->value = value;
  std::memcpy(entry->key(), key, length + 1);
  KeyEntry** link = &table->buckets[bucket_of(key, table->mask)];
  while (*link != nullptr) link = &(*link)->next;
  *link = entry;
  ++table->count;
  keytable_check_size(table);
}

void keytable_replace(KeyTable* table, const char* key, void* value) {
  for (KeyEntry* entry = table->buckets[bucket_of(key, table->mask)]; entry != nullptr;
       entry = entry->next) {
    if (text_icompare(entry->key(), key) == 0) {
      entry->value = value;
      return;
    }
  }
  keytable_add(table, key, value);
}

void* keytable_get(const KeyTable* table, const char* key) {
  for (KeyEntry* entry = table->buckets[bucket_of(key, table->mask)]; entry != nullptr;
       entry = entry->next) {
    if (text_icompare(entry->key(), key) == 0) return entry->value;
  }
  return nullptr;
}

void keytable_enum(KeyTable* table, KeyVisitor visitor, void* closure) {
  for (int32_t i = 0; i <= table->mask; ++i) {
    KeyEntry** link = &table->buckets[i];
    while (*link != nullptr) {
      KeyEntry* entry = *link;
      KeyEntry* successor = entry->next;
      if (visitor(entry->key(), entry->value, closure) != 0) {
        *link = successor;
        util_free(entry);
        --table->count;
      } else {
        link = &entry->next;
      }
    }
  }
  keytable_check_size(table);
}

void keytable_check_size(KeyTable* table) {
  // 64-bit product: a count above 21 million entries must not overflow.
  int64_t load = static_cast<int64_t>(table->count) * 100 / (static_cast<int64_t>(table->mask) + 1);
  if (load > table->max_load) {
    resize(table, table->mask * 2 + 1);
  } else if (load < table->max_load / 4 && table->mask > kMinMask) {
    resize(table, (table->mask - 1) / 2);
  }
}
