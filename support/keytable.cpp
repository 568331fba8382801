#include "support/keytable.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/alloc.h"
#include "support/prefetch.h"
#include "support/text.h"

namespace {

constexpr int32_t kMinMask = 15;  // 16 buckets, the smallest table
constexpr int32_t kMaxLoad = 75;  // percent; growth above it
constexpr uint32_t kHashSeed = 0xF0E1D2;

// An array of `mask` + 1 list heads, all null.
KeyEntry** new_heads(int64_t mask) { return util_alloc_array<KeyEntry*>(mask + 1); }

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

// Bytes of the entry of a key of `length` characters.
size_t entry_bytes(size_t length) { return sizeof(KeyEntry) + length + 1; }

// The entry that follows `entry` in the arena, where entries lie in
// creation order. An entry's key begins on a word boundary (the entry is
// aligned and a whole number of words long) and the next entry on the
// first word boundary after the key's terminator, so it is found a word at
// a time: a whole-table walk does this for every entry, and a call of
// strlen each cost a tenth of a run. The word holding the terminator lies
// within the arena's block (blocks are whole words long); its bytes after
// the terminator are read, but cannot change the result.
KeyEntry* entry_after(KeyEntry* entry) {
  static_assert(sizeof(KeyEntry) % sizeof(uint64_t) == 0 && alignof(KeyEntry) >= sizeof(uint64_t),
                "keys must start on a word boundary");
  constexpr uint64_t kOnes = 0x0101010101010101u;
  constexpr uint64_t kHighs = 0x8080808080808080u;
  char* word = entry->key();
  for (;; word += sizeof(uint64_t)) {
    uint64_t bytes = 0;
    std::memcpy(&bytes, word, sizeof bytes);
    if (((bytes - kOnes) & ~bytes & kHighs) != 0) break;  // a zero byte among them
  }
  return reinterpret_cast<KeyEntry*>(word + sizeof(uint64_t));
}

// Calls `visit(entry)` for every entry of `table` in creation order (the
// arena's carving order).
template <typename Visit>
void each_entry(const KeyTable* table, Visit visit) {
  arena_walk(
      &table->entries,
      [](char* begin, char* end, void* closure) {
        auto* last = reinterpret_cast<KeyEntry*>(end);
        for (auto* entry = reinterpret_cast<KeyEntry*>(begin); entry < last;) {
          KeyEntry* following = entry_after(entry);
          (*static_cast<Visit*>(closure))(entry);
          entry = following;
        }
      },
      &visit);
}

// The size rule as a number: the mask the size check leaves a table with
// `count` entries and mask `mask` with.
int32_t checked_mask(int64_t count, int32_t mask) {
  // 64-bit product: a count above 21 million entries must not overflow.
  int64_t load = count * 100 / (static_cast<int64_t>(mask) + 1);
  if (load > kMaxLoad) return mask * 2 + 1;
  if (load < kMaxLoad / 4 && mask > kMinMask) return mask / 2;
  return mask;
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
  entry->group = -1;
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

// Makes the index again after keytable_drop_index let it go (a table without
// chains always has one otherwise): every entry, in creation order, goes
// in unless an equal key is in already, so each key's first entry is the
// one found, as before.
void ensure_index(KeyTable* table) {
  if (table->buckets != nullptr || table->index != nullptr) return;
  table->index_mask = static_cast<uint32_t>(filled_mask(table->count));
  table->index = new_heads(table->index_mask);
  table->indexed = 0;
  each_entry(table, [table](KeyEntry* entry) {
    KeyEntry** head = nullptr;
    uint32_t list = index_hash(entry->key(), std::strlen(entry->key()));
    if (find_in_index(table, entry->key(), entry->hash, list, &head) != nullptr) return;
    entry->next = *head;
    *head = entry;
    ++table->indexed;
  });
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
      ++table->removed;
    } else {
      link = &entry->next;
    }
  }
}

// Makes the chains the entries stand in, which until now only their
// creation order and hashes defined (see the header), and drops the index:
// every entry, in creation order, goes onto the front of its chain, and
// then every chain is reversed.
void make_chains(KeyTable* table) {
  KeyEntry** buckets = new_heads(table->mask);
  auto mask = static_cast<uint32_t>(table->mask);
  each_entry(table, [buckets, mask](KeyEntry* entry) {
    KeyEntry** head = &buckets[entry->hash & mask];
    entry->next = *head;
    *head = entry;
  });
  for (uint32_t i = 0; i <= mask; ++i) {
    KeyEntry* reversed = nullptr;
    for (KeyEntry* entry = buckets[i]; entry != nullptr;) {
      KeyEntry* following = entry->next;
      entry->next = reversed;
      reversed = entry;
      entry = following;
    }
    buckets[i] = reversed;
  }
  table->buckets = buckets;
  keytable_drop_index(table);
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
      if (checked_mask(table->indexed, static_cast<int32_t>(table->index_mask)) >
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
  // here); measure changes with bench/run_bench.py --baseline OLD/keyfolder.
  ensure_index(table);
  // The lists the stores will walk: the chains once they are made, else the
  // index's lists.
  bool chained = table->buckets != nullptr;
  KeyEntry** heads = chained ? table->buckets : table->index;
  uint32_t mask = chained ? static_cast<uint32_t>(table->mask) : table->index_mask;
  for (int32_t i = 0; i < count; ++i) {
    KeyStore* store = &stores[i];
    store->length = std::strlen(store->key);
    store->hash = key_hash(store->key);
    store->list = chained ? store->hash : index_hash(store->key, store->length);
    prefetch(&heads[store->list & mask]);
  }
  for (int32_t i = 0; i < count; ++i) prefetch(heads[stores[i].list & mask]);
  for (int32_t i = 0; i < count; ++i) carry_out(table, &stores[i]);
}

void* keytable_get(KeyTable* table, const char* key) {
  ensure_index(table);
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

void keytable_drop_index(KeyTable* table) {
  util_free(table->index);
  table->index = nullptr;
  table->index_mask = 0;
  table->indexed = 0;
}

void keytable_check_size(KeyTable* table) {
  int32_t mask = checked_mask(table->count, table->mask);
  if (table->buckets == nullptr) {
    table->mask = mask;  // no chains yet: the bucket count is only a number
  } else if (mask > table->mask) {
    grow(table);
  } else if (mask < table->mask) {
    shrink(table);
  }
}

void keytable_reserve(KeyTable* table, int32_t count) {
  if (table->buckets != nullptr) return;
  ensure_index(table);
  int64_t mask = filled_mask(count);
  if (mask > table->index_mask) resize_index(table, mask);
}

namespace {

// An entry being put in order, and where the removing enumeration meets it.
struct Placed {
  KeyEntry* entry;
  uint32_t position;  // chain_position of its hash
};

// Below this many entries an insertion sort is the quicker.
constexpr int32_t kRadixSortFrom = 256;
constexpr int kRadixBits = 11;

// The number of one bits of a mask 2^k - 1, k.
int mask_bits(uint32_t mask) {
  int bits = 0;
  for (; mask != 0; mask >>= 1) ++bits;
  return bits;
}

// Where an enumeration of a table now of mask `mask` meets an entry with
// hash `hash`, as a number to sort by; entries with equal numbers are met
// in the order they were made. The table had `first_mask` when the removing
// enumerations began and has only halved since: a halving appends the chain
// of bucket j + half to that of bucket j, so within a bucket the chains of
// the old buckets follow one another in the order of the hash bits the
// halvings dropped, the bit dropped last counting most; in each such old
// chain the entries stand in the order made, as in every chain of a table
// that was only filled. `kept` and `dropped` are mask_bits(mask) and
// mask_bits(first_mask) - kept.
uint32_t chain_position(uint32_t hash, uint32_t mask, uint32_t first_mask, int kept, int dropped) {
  uint32_t high = (hash & first_mask) >> kept;
  uint32_t reversed = 0;
  for (int bit = 0; bit < dropped; ++bit) reversed |= ((high >> bit) & 1u) << (dropped - 1 - bit);
  return ((hash & mask) << dropped) | reversed;
}

// Sorts `count` entries by position, keeping the order of equal ones, using
// `spare` (as many entries) as room; every position is below 2^bits.
void sort_placed(Placed* placed, Placed* spare, int32_t count, int bits) {
  if (count < kRadixSortFrom) {
    for (int32_t i = 1; i < count; ++i) {
      Placed moving = placed[i];
      int32_t j = i;
      for (; j > 0 && placed[j - 1].position > moving.position; --j) placed[j] = placed[j - 1];
      placed[j] = moving;
    }
    return;
  }
  // A group of thousands of entries: a few passes over its digits instead
  // of a dozen comparisons per entry.
  constexpr uint32_t kDigits = 1u << kRadixBits;
  Placed* from = placed;
  Placed* to = spare;
  for (int shift = 0; shift < bits; shift += kRadixBits) {
    int32_t place[kDigits] = {};
    for (int32_t i = 0; i < count; ++i) ++place[(from[i].position >> shift) & (kDigits - 1)];
    int32_t sum = 0;
    for (int32_t& slot : place) {
      int32_t here = slot;
      slot = sum;
      sum += here;
    }
    for (int32_t i = 0; i < count; ++i) {
      to[place[(from[i].position >> shift) & (kDigits - 1)]++] = from[i];
    }
    std::swap(from, to);
  }
  if (from != placed) std::memcpy(placed, from, sizeof(Placed) * static_cast<size_t>(count));
}

// The order below is worked out from the arena, which still holds removed
// entries, and from chains that a removal's halving no longer keeps in
// creation order: asking it of a table something was removed from is a
// fault of the caller, which must not pass for an answer.
void require_nothing_removed(const KeyTable* table) {
  if (table->removed == 0) return;
  std::fputs("keytable: the write order was asked of a table entries were removed from\n", stderr);
  std::abort();
}

}  // namespace

int32_t keytable_groups_met(const KeyTable* table, int32_t group_count, int32_t* order) {
  require_nothing_removed(table);
  // An enumeration walks the buckets in ascending order and each chain
  // from its head, and every chain lists its entries in creation order; so
  // it first meets a group at the group's entry with the least (bucket,
  // creation number).
  auto* first = util_alloc_array<uint64_t>(group_count);
  std::fill(first, first + group_count, UINT64_MAX);
  auto mask = static_cast<uint32_t>(table->mask);
  uint32_t made = 0;
  each_entry(table, [first, group_count, mask, &made](const KeyEntry* entry) {
    uint64_t met = (uint64_t{entry->hash & mask} << 32) | made++;
    if (entry->group >= 0 && entry->group < group_count) {
      first[entry->group] = std::min(first[entry->group], met);
    }
  });
  int32_t count = 0;
  for (int32_t group = 0; group < group_count; ++group) {
    if (first[group] != UINT64_MAX) order[count++] = group;
  }
  std::sort(order, order + count, [first](int32_t a, int32_t b) { return first[a] < first[b]; });
  util_free(first);
  return count;
}

KeyOrder keytable_order(const KeyTable* table, const int32_t* order, int32_t count,
                        int32_t group_count) {
  require_nothing_removed(table);
  // Each group's entries, in creation order, by a counting sort over the
  // groups' places in the order.
  auto* rank = util_alloc_array<int32_t>(group_count);
  std::fill(rank, rank + group_count, -1);
  for (int32_t i = 0; i < count; ++i) rank[order[i]] = i;
  // The place in the order of an entry's group, or -1 for none.
  auto place_of = [rank, group_count](const KeyEntry* entry) {
    return entry->group >= 0 && entry->group < group_count ? rank[entry->group] : -1;
  };
  KeyOrder result{};
  result.starts = util_alloc_array<int32_t>(int64_t{count} + 1);
  each_entry(table, [place_of, &result](const KeyEntry* entry) {
    if (place_of(entry) >= 0) ++result.starts[place_of(entry) + 1];
  });
  int32_t largest = 0;
  for (int32_t i = 0; i < count; ++i) {
    largest = std::max(largest, result.starts[i + 1]);
    result.starts[i + 1] += result.starts[i];
  }
  result.entries = util_alloc_array<KeyEntry*>(result.starts[count]);
  auto* next = util_alloc_array<int32_t>(count);
  std::copy(result.starts, result.starts + count, next);
  each_entry(table, [place_of, next, &result](KeyEntry* entry) {
    if (place_of(entry) >= 0) result.entries[next[place_of(entry)]++] = entry;
  });
  util_free(next);
  util_free(rank);
  // The removing enumerations begin after the gathering one's size check.
  result.first_mask = static_cast<uint32_t>(checked_mask(table->count, table->mask));
  result.mask = result.first_mask;
  result.left = table->count;
  result.room = util_alloc_array<Placed>(int64_t{largest} * 2);
  return result;
}

KeyEntry* const* keytable_order_next(KeyOrder* order, int32_t* size) {
  // WARNING: performance-critical (it orders every entry the tool writes);
  // measure changes with bench/run_bench.py --baseline OLD/keyfolder.
  int32_t i = order->next++;
  KeyEntry** entries = order->entries + order->starts[i];
  *size = order->starts[i + 1] - order->starts[i];
  auto* placed = static_cast<Placed*>(order->room);
  int kept = mask_bits(order->mask);
  int dropped = mask_bits(order->first_mask) - kept;
  for (int32_t j = 0; j < *size; ++j) {
    if (j + kPrefetchAhead < *size) prefetch(entries[j + kPrefetchAhead]);
    placed[j] = Placed{entries[j], chain_position(entries[j]->hash, order->mask, order->first_mask,
                                                  kept, dropped)};
  }
  sort_placed(placed, placed + *size, *size, kept + dropped);
  for (int32_t j = 0; j < *size; ++j) entries[j] = placed[j].entry;
  // The size check that ends this group's enumeration.
  order->left -= *size;
  order->mask = static_cast<uint32_t>(checked_mask(order->left, static_cast<int32_t>(order->mask)));
  return entries;
}

void keytable_order_end(KeyOrder* order) {
  util_free(order->entries);
  util_free(order->starts);
  util_free(order->room);
  *order = KeyOrder{};
}
