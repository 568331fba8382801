#include "support/keytable.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "support/alloc.h"
#include "support/prefetch.h"
#include "support/text.h"

namespace {

constexpr int32_t kMinMask = 15;  // 16 buckets, the smallest table
constexpr int32_t kMaxLoad = 75;  // percent; growth above it
constexpr uint32_t kHashSeed = 0xF0E1D2;

// An array of `mask` + 1 list heads, all null.
KeyEntry** new_heads(int64_t mask) {
  int64_t bytes = (mask + 1) * static_cast<int64_t>(sizeof(KeyEntry*));
  // Beyond what one allocation can ask for: util_alloc's exhaustion.
  return static_cast<KeyEntry**>(util_alloc(bytes > INT32_MAX ? -1 : static_cast<int32_t>(bytes)));
}

// How many buckets ahead the walks below ask for a chain's first entry.
constexpr int32_t kPrefetchAhead = 8;

// Doubles the bucket array. Old bucket i splits into new buckets i and
// i + old count (the one new hash bit decides); walking the old chain from
// its head and appending each entry at the tail of its new chain leaves
// every new chain in the order its entries were met, which is the order the
// resize rule fixes. Each chain is walked once and no chain is reversed.
void grow(KeyTable* table) {
  int32_t old_count = table->mask + 1;
  int32_t new_mask = table->mask * 2 + 1;
  KeyEntry** fresh = new_heads(new_mask);
  auto new_bit = static_cast<uint32_t>(old_count);
  for (int32_t i = 0; i < old_count; ++i) {
    if (i + kPrefetchAhead < old_count) prefetch(table->buckets[i + kPrefetchAhead]);
    KeyEntry** low = &fresh[i];
    KeyEntry** high = &fresh[i + old_count];
    for (KeyEntry* entry = table->buckets[i]; entry != nullptr; entry = entry->next) {
      // Links the entry behind the previous one of its class; its own next
      // is read by the loop before a later entry overwrites it.
      if ((entry->hash & new_bit) != 0) {
        *high = entry;
        high = &entry->next;
      } else {
        *low = entry;
        low = &entry->next;
      }
    }
    *low = nullptr;
    *high = nullptr;
  }
  util_free(table->buckets);
  table->buckets = fresh;
  table->mask = new_mask;
}

// Halves the bucket array in place. New bucket j takes old bucket j's chain
// followed by old bucket j + new count's, which is the order a walk of the
// old buckets in order meets them; no hash needs computing. The array keeps
// its larger allocation (released with the table, or replaced by the next
// doubling): allocating a smaller one would make the allocator gather up
// every entry freed so far, a cache miss each.
void shrink(KeyTable* table) {
  int32_t new_count = (table->mask + 1) / 2;
  KeyEntry** buckets = table->buckets;
  for (int32_t j = 0; j < new_count; ++j) {
    if (j + kPrefetchAhead < new_count) prefetch(buckets[j + kPrefetchAhead]);
    KeyEntry** link = &buckets[j];
    while (*link != nullptr) link = &(*link)->next;
    *link = buckets[j + new_count];
    buckets[j + new_count] = nullptr;
  }
  table->mask = new_count - 1;
}

// Bytes of the entry of a key of `length` characters: never less than the
// struct itself, whose padding holds the first bytes of a short key.
size_t entry_bytes(size_t length) {
  return std::max(sizeof(KeyEntry), offsetof(KeyEntry, hash) + sizeof(uint32_t) + length + 1);
}

// The mask the size rule gives a table that only ever gained `count`
// entries: an add that lifts the load above the limit doubles the table
// once, which brings the load back well below it, so this is the smallest
// mask whose load is within the limit. The index is sized by the same rule.
int64_t filled_mask(int64_t count) {
  int64_t mask = kMinMask;
  while (count * 100 / (mask + 1) > kMaxLoad) mask = mask * 2 + 1;
  return mask;
}

// The index hash of `key` (of `length` bytes): the index list it belongs
// to is this hash & index_mask.
uint32_t index_hash(const char* key, size_t length) {
  return static_cast<uint32_t>(text_hash(key, length, true));
}

bool same_key(const KeyEntry* entry, const char* key, uint32_t hash) {
  // Keys equal without regard to case have equal hashes.
  return entry->hash == hash && text_icompare(entry->key(), key) == 0;
}

// Gives the index `mask` + 1 lists, moving every indexed entry to its list
// under the new mask (their order within a list does not matter: no two
// entries of the index have equal keys).
void resize_index(KeyTable* table, int64_t mask) {
  KeyEntry** old = table->index;
  uint32_t old_mask = table->index_mask;
  table->index = new_heads(mask);
  table->index_mask = static_cast<uint32_t>(mask);
  for (uint32_t i = 0; i <= old_mask; ++i) {
    KeyEntry* entry = old[i];
    while (entry != nullptr) {
      KeyEntry* following = entry->next;
      KeyEntry** head =
          &table->index[index_hash(entry->key(), std::strlen(entry->key())) & table->index_mask];
      entry->next = *head;
      *head = entry;
      entry = following;
    }
  }
  util_free(old);
}

// Carves a new entry for `key` (of `length` bytes, key_hash `hash`) holding
// `value`, unlinked, and counts it; the caller links it and then runs the
// size check.
KeyEntry* new_entry(KeyTable* table, const char* key, size_t length, uint32_t hash, void* value) {
  auto* entry =
      static_cast<KeyEntry*>(arena_carve(&table->entries, entry_bytes(length), alignof(KeyEntry)));
  entry->next = nullptr;
  entry->value = value;
  entry->hash = hash;
  std::memcpy(entry->key(), key, length + 1);
  ++table->count;
  return entry;
}

// The link that holds the first entry of `key`'s chain equal to `key` (whose
// key_hash is `hash`), or, with none, the null link at the chain's end.
KeyEntry** find_in_chain(const KeyTable* table, const char* key, uint32_t hash) {
  KeyEntry** link = &table->buckets[hash & static_cast<uint32_t>(table->mask)];
  while (*link != nullptr && !same_key(*link, key, hash)) link = &(*link)->next;
  return link;
}

// The entry of the index equal to `key` (whose key_hash is `hash` and index
// hash `list`), or null; `*head` is set to the head of the list it belongs to.
KeyEntry* find_in_index(const KeyTable* table, const char* key, uint32_t hash, uint32_t list,
                        KeyEntry*** head) {
  *head = &table->index[list & table->index_mask];
  KeyEntry* entry = **head;
  while (entry != nullptr && !same_key(entry, key, hash)) entry = entry->next;
  return entry;
}

// Visits the chain of bucket `index` from its head for keytable_enum: the
// successor is taken before the visit, so the visitor may have its own
// entry removed.
void visit_chain(KeyTable* table, int32_t index, KeyVisitor visitor, void* closure) {
  KeyEntry** link = &table->buckets[index];
  while (*link != nullptr) {
    KeyEntry* entry = *link;
    KeyEntry* successor = entry->next;
    if (visitor(entry->key(), entry->value, closure) != 0) {
      *link = successor;
      --table->count;
    } else {
      link = &entry->next;
    }
  }
}

// A table making its chains and room for the entries of one arena block.
struct Relink {
  KeyTable* table;
  KeyEntry** scratch;
};

// Pushes every entry of one arena block (from `begin` to `end`, oldest
// first) onto the front of its chain, newest first. Walked newest block
// first, that leaves every chain in the order its entries were made.
void relink_block(char* begin, char* end, void* closure) {
  auto* relink = static_cast<Relink*>(closure);
  int32_t count = 0;
  for (char* piece = begin; piece < end; ++count) {
    auto* entry = reinterpret_cast<KeyEntry*>(piece);
    relink->scratch[count] = entry;
    size_t bytes = entry_bytes(std::strlen(entry->key()));
    piece += (bytes + alignof(KeyEntry) - 1) / alignof(KeyEntry) * alignof(KeyEntry);
  }
  KeyEntry** buckets = relink->table->buckets;
  auto mask = static_cast<uint32_t>(relink->table->mask);
  for (int32_t i = count - 1; i >= 0; --i) {
    // The chain heads are scattered: ask for one a few entries ahead.
    if (i >= kPrefetchAhead) prefetch(&buckets[relink->scratch[i - kPrefetchAhead]->hash & mask]);
    KeyEntry* entry = relink->scratch[i];
    KeyEntry** head = &buckets[entry->hash & mask];
    entry->next = *head;
    *head = entry;
  }
}

// The byte count of the largest arena block, for relink's room.
void measure_block(char* begin, char* end, void* closure) {
  auto* largest = static_cast<size_t*>(closure);
  *largest = std::max(*largest, static_cast<size_t>(end - begin));
}

// Makes the chains the entries stand in, which until now only their
// creation order and hashes defined (see the header), and drops the index.
void make_chains(KeyTable* table) {
  size_t largest = 0;
  arena_walk(&table->entries, measure_block, &largest);
  auto room = static_cast<int64_t>(largest / sizeof(KeyEntry) + 1);
  Relink relink{table, static_cast<KeyEntry**>(util_alloc(
                           static_cast<int32_t>(room * static_cast<int64_t>(sizeof(KeyEntry*)))))};
  table->buckets = new_heads(table->mask);
  arena_walk(&table->entries, relink_block, &relink);
  util_free(relink.scratch);
  util_free(table->index);
  table->index = nullptr;
  table->index_mask = 0;
  table->indexed = 0;
}

// Carries out one store whose length, hash and index hash are set.
void carry_out(KeyTable* table, KeyStore* store) {
  if (table->buckets != nullptr) {
    KeyEntry** link = &table->buckets[store->hash & static_cast<uint32_t>(table->mask)];
    if (store->replace) {
      link = find_in_chain(table, store->key, store->hash);
    } else {
      while (*link != nullptr) link = &(*link)->next;
    }
    store->created = *link == nullptr;
    if (!store->created) {
      (*link)->value = store->value;
      store->entry = *link;
      return;
    }
    store->entry = new_entry(table, store->key, store->length, store->hash, store->value);
    *link = store->entry;
  } else {
    KeyEntry** head = nullptr;
    KeyEntry* first = find_in_index(table, store->key, store->hash, store->list, &head);
    store->created = first == nullptr || !store->replace;
    if (!store->created) {
      first->value = store->value;
      store->entry = first;
      return;
    }
    store->entry = new_entry(table, store->key, store->length, store->hash, store->value);
    // A later entry of a key already indexed stays out: lookups find the
    // first, and the chains are made from the arena, not from the index.
    if (first == nullptr) {
      store->entry->next = *head;
      *head = store->entry;
      ++table->indexed;
      // The size rule's growth, for the index's own count.
      if (keytable_checked_mask(table->indexed, static_cast<int32_t>(table->index_mask)) >
          static_cast<int32_t>(table->index_mask)) {
        resize_index(table, int64_t{table->index_mask} * 2 + 1);
      }
    }
  }
  keytable_check_size(table);
}

}  // namespace

uint32_t key_hash(const char* text) {
  uint32_t h = kHashSeed;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
    // OR 0x20 is the design's fold for the bucket hash, not text_fold: it
    // also merges '@' with '`' and a few other pairs, and the output order
    // depends on it. The read as signed makes bytes 0x80-0xFF subtract.
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
  table->index = new_heads(kMinMask);
  table->index_mask = kMinMask;
  return table;
}

void keytable_free(KeyTable* table) {
  if (table == nullptr) return;
  arena_release(&table->entries);
  util_free(table->buckets);
  util_free(table->index);
  util_free(table);
}

void keytable_add(KeyTable* table, const char* key, void* value) {
  bool created = false;
  keytable_store(table, key, value, false, &created);
}

void keytable_replace(KeyTable* table, const char* key, void* value) {
  bool created = false;
  keytable_store(table, key, value, true, &created);
}

KeyEntry* keytable_store(KeyTable* table, const char* key, void* value, bool replace,
                         bool* created) {
  KeyStore store{key, value, replace, false, nullptr, 0, 0, 0};
  keytable_store_batch(table, &store, 1);
  *created = store.created;
  return store.entry;
}

void keytable_store_batch(KeyTable* table, KeyStore* stores, int32_t count) {
  // WARNING: performance-critical (every key of a parse comes through
  // here); measure changes with bench/run_bench.py --baseline.
  for (int32_t i = 0; i < count; ++i) {
    KeyStore* store = &stores[i];
    store->length = std::strlen(store->key);
    store->hash = key_hash(store->key);
    if (table->buckets != nullptr) {
      prefetch(&table->buckets[store->hash & static_cast<uint32_t>(table->mask)]);
    } else {
      store->list = static_cast<uint32_t>(text_hash(store->key, store->length, true));
      prefetch(&table->index[store->list & table->index_mask]);
    }
  }
  for (int32_t i = 0; i < count; ++i) {
    if (table->buckets != nullptr) {
      prefetch(table->buckets[stores[i].hash & static_cast<uint32_t>(table->mask)]);
    } else {
      prefetch(table->index[stores[i].list & table->index_mask]);
    }
  }
  for (int32_t i = 0; i < count; ++i) carry_out(table, &stores[i]);
}

void* keytable_get(const KeyTable* table, const char* key) {
  uint32_t hash = key_hash(key);
  KeyEntry* entry = nullptr;
  if (table->buckets != nullptr) {
    entry = *find_in_chain(table, key, hash);
  } else {
    KeyEntry** head = nullptr;
    entry = find_in_index(table, key, hash, index_hash(key, std::strlen(key)), &head);
  }
  return entry != nullptr ? entry->value : nullptr;
}

void keytable_enum(KeyTable* table, KeyVisitor visitor, void* closure) {
  if (table->buckets == nullptr) make_chains(table);
  for (int32_t i = 0; i <= table->mask; ++i) {
    if (i + kPrefetchAhead <= table->mask) prefetch(table->buckets[i + kPrefetchAhead]);
    visit_chain(table, i, visitor, closure);
  }
  keytable_check_size(table);
}

void keytable_check_size(KeyTable* table) {
  int32_t mask = keytable_checked_mask(table->count, table->mask);
  if (table->buckets == nullptr) {
    table->mask = mask;  // no chains yet: the bucket count is only a number
  } else if (mask > table->mask) {
    grow(table);
  } else if (mask < table->mask) {
    shrink(table);
  }
}

int32_t keytable_checked_mask(int64_t count, int32_t mask) {
  // 64-bit product: a count above 21 million entries must not overflow.
  int64_t load = count * 100 / (static_cast<int64_t>(mask) + 1);
  if (load > kMaxLoad) return mask * 2 + 1;
  if (load < kMaxLoad / 4 && mask > kMinMask) return mask / 2;
  return mask;
}

void keytable_reserve(KeyTable* table, int32_t count) {
  int64_t mask = filled_mask(count);
  if (table->index != nullptr && mask > table->index_mask) resize_index(table, mask);
}
