#include "support/keytable.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/alloc.h"
#include "support/prefetch.h"
#include "support/text.h"

namespace {

constexpr uint32_t kHashSeed = 0xF0E1D2;
constexpr int64_t kFirstIndexSlots = 16;

// The slots an index needs for `count` keys: a power of two, at least 16,
// at most three quarters of them in use.
int64_t index_slots_for(int64_t count) {
  int64_t slots = kFirstIndexSlots;
  while (count * 4 > slots * 3) slots *= 2;
  return slots;
}

// The index hash. Lookups stay fast whatever the keys: key_hash is fixed by
// the output order and easy to collide on purpose (it folds '@' onto '`',
// and low bits can be chosen), so the index uses text_hash, keyed at random
// per run, which no file can be written to crowd.
uint32_t index_tag(const char* key, size_t length) {
  return static_cast<uint32_t>(text_hash(key, length, true));
}

// Gives the index `slots` slots (a power of two, more than in use). The
// tags are whole hashes, so every slot finds its new place without its key
// being read.
void resize_index(KeyTable* table, int64_t slots) {
  KeySlot* old = table->index;
  int64_t old_slots = old != nullptr ? int64_t{table->index_mask} + 1 : 0;
  table->index = util_alloc_array<KeySlot>(slots);
  table->index_mask = static_cast<uint32_t>(slots - 1);
  for (int64_t i = 0; i < old_slots; ++i) {
    if (old[i].entry == 0) continue;
    uint32_t j = old[i].tag & table->index_mask;
    while (table->index[j].entry != 0) j = (j + 1) & table->index_mask;
    table->index[j] = old[i];
  }
  util_free(old);
}

// The slot of the first entry whose key equals `key` (index hash `tag`)
// without regard to case, or the free slot where that key belongs. Keys
// are read only where the tags match.
KeySlot* find_slot(const KeyTable* table, const char* key, uint32_t tag) {
  for (uint32_t i = tag & table->index_mask;; i = (i + 1) & table->index_mask) {
    KeySlot* slot = &table->index[i];
    if (slot->entry == 0) return slot;
    if (slot->tag == tag &&
        text_icompare(keytable_entry(table, static_cast<int32_t>(slot->entry - 1))->key, key) ==
            0) {
      return slot;
    }
  }
}

// Makes the next entry, holding `key` (the table's text) and `value`.
KeyEntry* new_entry(KeyTable* table, const char* key, void* value) {
  KeyEntry* entry = column_add(&table->entries);
  *entry = KeyEntry{key, value, key_hash(key), -1};
  return entry;
}

// What a batch works out for each store before carrying it out.
struct StoreScratch {
  size_t length;  // strlen(key)
  uint32_t tag;   // the key's index hash
};

// Stores worked out ahead of carrying them out, at most.
constexpr int32_t kStoresAhead = 32;

// Carries out one store.
void carry_out(KeyTable* table, KeyStore* store, StoreScratch scratch) {
  KeySlot* slot = find_slot(table, store->key, scratch.tag);
  KeyEntry* first =
      slot->entry != 0 ? keytable_entry(table, static_cast<int32_t>(slot->entry - 1)) : nullptr;
  store->created = first == nullptr || !store->replace;
  if (!store->created) {
    first->value = store->value;
    store->entry = first;
    store->number = static_cast<int32_t>(slot->entry - 1);
    return;
  }
  // A key stored again with the very same bytes (a directive repeated in
  // its section) shares the first one's text: a file of one short
  // directive line after another would otherwise cost its size in texts
  // again. Equal keys are equally long, so the comparison stays in bounds.
  const char* text = first != nullptr && std::memcmp(first->key, store->key, scratch.length) == 0
                         ? first->key
                         : nullptr;
  if (text == nullptr) {
    auto* copy = static_cast<char*>(arena_carve(&table->texts, scratch.length + 1, 1));
    std::memcpy(copy, store->key, scratch.length + 1);
    text = copy;
  }
  store->number = table->entries.count;
  store->entry = new_entry(table, text, store->value);
  // A later entry of a key already indexed stays out: a lookup must find
  // the first.
  if (first != nullptr) return;
  *slot = KeySlot{scratch.tag, static_cast<uint32_t>(table->entries.count)};
  ++table->indexed;
  if (index_slots_for(table->indexed) > int64_t{table->index_mask} + 1) {
    resize_index(table, (int64_t{table->index_mask} + 1) * 2);
  }
}

}  // namespace

uint32_t key_hash(const char* text) {
  uint32_t h = kHashSeed;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
    // OR 0x20 is the format's fold for the bucket hash, not text_fold: it
    // also merges '@' with '`' and a few other pairs, and the output order
    // depends on it. The read as signed makes bytes 0x80-0xFF subtract.
    auto folded = static_cast<int8_t>(*p | 0x20);
    h ^= (h << 7) + (h >> 2) + static_cast<uint32_t>(static_cast<int32_t>(folded));
  }
  return h;
}

KeyTable* keytable_new() {
  auto* table = static_cast<KeyTable*>(util_alloc(sizeof(KeyTable)));
  resize_index(table, kFirstIndexSlots);
  return table;
}

void keytable_free(KeyTable* table) {
  if (table == nullptr) return;
  column_free(&table->entries);
  util_free(table->index);
  arena_release(&table->texts);
  util_free(table);
}

void keytable_store_batch(KeyTable* table, KeyStore* stores, int32_t count) {
  // Hot: every key of a parse (see the benchmark, docs/DEVELOPING.md).
  if (table->index == nullptr) {
    std::fputs("keytable: a store after the index was let go\n", stderr);
    std::abort();
  }
  for (int32_t begin = 0; begin < count; begin += kStoresAhead) {
    int32_t ahead = count - begin < kStoresAhead ? count - begin : kStoresAhead;
    StoreScratch scratch[kStoresAhead];
    for (int32_t i = 0; i < ahead; ++i) {
      const char* key = stores[begin + i].key;
      scratch[i].length = std::strlen(key);
      scratch[i].tag = index_tag(key, scratch[i].length);
      prefetch(&table->index[scratch[i].tag & table->index_mask]);
    }
    for (int32_t i = 0; i < ahead; ++i) carry_out(table, &stores[begin + i], scratch[i]);
  }
}

void keytable_reserve(KeyTable* table, int32_t count) {
  int64_t slots = index_slots_for(count);
  if (table->index != nullptr && slots > int64_t{table->index_mask} + 1) resize_index(table, slots);
}

void keytable_drop_index(KeyTable* table) {
  util_free(table->index);
  table->index = nullptr;
  table->index_mask = 0;
  table->indexed = 0;
}
