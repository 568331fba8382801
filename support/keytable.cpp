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

KeyEntry** new_buckets(int32_t mask) {
  return static_cast<KeyEntry**>(util_alloc(static_cast<int32_t>(sizeof(KeyEntry*)) * (mask + 1)));
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
  KeyEntry** fresh = new_buckets(new_mask);
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
// mask whose load is within the limit.
int32_t filled_mask(int64_t count) {
  int64_t mask = kMinMask;
  while (count * 100 / (mask + 1) > kMaxLoad) mask = mask * 2 + 1;
  return static_cast<int32_t>(mask);
}

// Links a new entry for `key` (whose key_hash is `hash`) and `value` at
// `link`, the null next pointer at the end of the key's chain (or its empty
// head), then runs the size check. Returns the entry.
KeyEntry* append_entry(KeyTable* table, KeyEntry** link, const char* key, uint32_t hash,
                       void* value) {
  size_t length = std::strlen(key);
  auto* entry =
      static_cast<KeyEntry*>(arena_carve(&table->entries, entry_bytes(length), alignof(KeyEntry)));
  entry->next = nullptr;
  entry->value = value;
  entry->hash = hash;
  std::memcpy(entry->key(), key, length + 1);
  *link = entry;
  ++table->count;
  keytable_check_size(table);
  return entry;
}

// The link that holds the first entry of `key`'s chain equal to `key` (whose
// key_hash is `hash`), or, with none, the null link at the chain's end.
KeyEntry** find_link(KeyTable* table, const char* key, uint32_t hash) {
  KeyEntry** link = &table->buckets[hash & static_cast<uint32_t>(table->mask)];
  // Keys equal without regard to case have equal hashes.
  while (*link != nullptr && ((*link)->hash != hash || text_icompare((*link)->key(), key) != 0)) {
    link = &(*link)->next;
  }
  return link;
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

// A settling table and room for the entries of one arena block.
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

void keytable_free(KeyTable* table) {
  if (table == nullptr) return;
  arena_release(&table->entries);
  util_free(table->buckets);
  util_free(table);
}

void keytable_add(KeyTable* table, const char* key, void* value) {
  keytable_add_hashed(table, key, key_hash(key), value);
}

KeyEntry* keytable_add_hashed(KeyTable* table, const char* key, uint32_t hash, void* value) {
  KeyEntry** link = &table->buckets[hash & static_cast<uint32_t>(table->mask)];
  while (*link != nullptr) link = &(*link)->next;
  return append_entry(table, link, key, hash, value);
}

void keytable_replace(KeyTable* table, const char* key, void* value) {
  keytable_exchange(table, key, value);
}

void* keytable_exchange(KeyTable* table, const char* key, void* value) {
  uint32_t hash = key_hash(key);
  KeyEntry** link = find_link(table, key, hash);
  if (*link == nullptr) {
    append_entry(table, link, key, hash, value);
    return nullptr;
  }
  void* old = (*link)->value;
  (*link)->value = value;
  return old;
}

KeyEntry* keytable_store_hashed(KeyTable* table, const char* key, uint32_t hash, void* value,
                                bool* created) {
  KeyEntry** link = find_link(table, key, hash);
  *created = *link == nullptr;
  if (*created) return append_entry(table, link, key, hash, value);
  (*link)->value = value;
  return *link;
}

void* keytable_get(const KeyTable* table, const char* key) {
  uint32_t hash = key_hash(key);
  for (KeyEntry* entry = table->buckets[hash & static_cast<uint32_t>(table->mask)];
       entry != nullptr; entry = entry->next) {
    if (entry->hash == hash && text_icompare(entry->key(), key) == 0) return entry->value;
  }
  return nullptr;
}

void keytable_enum(KeyTable* table, KeyVisitor visitor, void* closure) {
  for (int32_t i = 0; i <= table->mask; ++i) {
    if (i + kPrefetchAhead <= table->mask) prefetch(table->buckets[i + kPrefetchAhead]);
    visit_chain(table, i, visitor, closure);
  }
  keytable_check_size(table);
}

void keytable_prefetch_bucket(const KeyTable* table, uint32_t hash) {
  prefetch(&table->buckets[hash & static_cast<uint32_t>(table->mask)]);
}

void keytable_prefetch_chain(const KeyTable* table, uint32_t hash) {
  prefetch(table->buckets[hash & static_cast<uint32_t>(table->mask)]);
}

void keytable_check_size(KeyTable* table) {
  int32_t mask = keytable_checked_mask(table->count, table->mask);
  if (mask > table->mask) {
    grow(table);
  } else if (mask < table->mask && table->reserving == 0) {
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
  table->reserving = 1;
  int32_t mask = filled_mask(count);
  if (table->count == 0 && mask > table->mask) {
    KeyEntry** fresh = new_buckets(mask);
    util_free(table->buckets);
    table->buckets = fresh;
    table->mask = mask;
  }
  while (table->mask < mask) grow(table);
}

void keytable_settle(KeyTable* table) {
  if (table->reserving == 0) return;
  table->reserving = 0;
  int32_t mask = filled_mask(table->count);
  // Only filled, the chains already hold their entries in the order made.
  if (mask == table->mask) return;
  size_t largest = 0;
  arena_walk(&table->entries, measure_block, &largest);
  auto room = static_cast<int64_t>(largest / sizeof(KeyEntry) + 1);
  Relink relink{table, static_cast<KeyEntry**>(util_alloc(
                           static_cast<int32_t>(room * static_cast<int64_t>(sizeof(KeyEntry*)))))};
  KeyEntry** fresh = new_buckets(mask);
  util_free(table->buckets);
  table->buckets = fresh;
  table->mask = mask;
  arena_walk(&table->entries, relink_block, &relink);
  util_free(relink.scratch);
}
