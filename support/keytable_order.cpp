#include "support/keytable_order.h"

#include <algorithm>
#include <cstring>

#include "support/alloc.h"
#include "support/prefetch.h"

// The format's table, whose enumerations the calls here follow, is a
// chained hash table whose bucket count is a power of two, at least 16:
//  - key_hash picks the bucket (hash & mask);
//  - a new entry goes to the END of its chain;
//  - an enumeration walks buckets 0..mask, each chain from its head, and
//    may remove the entry it is given;
//  - a resize walks the old buckets in that same order and places every
//    entry in its new chain in the order it was met, so after growing, old
//    bucket i splits into new buckets i and i + old count, and after
//    shrinking, new bucket j holds old bucket j's entries, then those of
//    old bucket j + new count, each keeping their relative order.
// Its size check runs after every add and at the end of every
// enumeration: with load = count * 100 / buckets (integer division), it
// doubles the buckets when load exceeds 75 and halves them when load is
// below 18 (75 / 4) and more than 16 buckets are in use, one step at most
// per check. So a table emptied by one enumeration shrinks by one halving
// per enumeration.
//
// A table that was only filled lists each chain's entries in the order they
// were made, whatever resizes came between: a growth splits a chain keeping
// its order, and the next entry goes to the end. That is all the key table
// keeps: the entries in creation order and their hashes, from which the
// chains, and every enumeration of the writer, follow.

namespace {

constexpr int32_t kMinMask = 15;  // 16 buckets, the smallest table
constexpr int32_t kMaxLoad = 75;  // percent; growth above it

// How many entries ahead a walk over a group asks for an entry.
constexpr int32_t kPrefetchAhead = 8;

// Below this many entries an insertion sort is the quicker.
constexpr int32_t kRadixSortFrom = kKeyOrderFew;
constexpr int kRadixBits = 11;

// The size rule: the mask a check leaves a table of `count` entries and
// mask `mask` with.
int32_t checked_mask(int64_t count, int32_t mask) {
  // 64-bit product: a count above 21 million entries must not overflow.
  int64_t load = count * 100 / (static_cast<int64_t>(mask) + 1);
  if (load > kMaxLoad) return mask * 2 + 1;
  if (load < kMaxLoad / 4 && mask > kMinMask) return mask / 2;
  return mask;
}

// The mask of a table that only ever gained `count` entries: an add that
// lifts the load above the limit doubles the table once, which brings the
// load back well below it, so this is the smallest mask whose load is
// within the limit.
int32_t filled_mask(int64_t count) {
  int32_t mask = kMinMask;
  while (checked_mask(count, mask) > mask) mask = mask * 2 + 1;
  return mask;
}

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

// Sorts `count` places by rank, using `spare` (as many places, or null
// below kRadixSortFrom) as room. The ranks are distinct (each ends in its
// entry's number), so any sort gives the one order; positions, the ranks'
// upper half, are below 2^bits.
void sort_places(KeyPlace* places, KeyPlace* spare, int32_t count, int bits) {
  if (count < kRadixSortFrom) {
    for (int32_t i = 1; i < count; ++i) {
      KeyPlace moving = places[i];
      int32_t j = i;
      for (; j > 0 && places[j - 1].rank > moving.rank; --j) places[j] = places[j - 1];
      places[j] = moving;
    }
    return;
  }
  // A group of thousands of entries: a few stable passes over the digits of
  // its positions (the numbers below them are in order already) instead of
  // a dozen comparisons per entry.
  constexpr uint32_t kDigits = 1u << kRadixBits;
  KeyPlace* from = places;
  KeyPlace* to = spare;
  for (int shift = 32; shift < 32 + bits; shift += kRadixBits) {
    int32_t place[kDigits] = {};
    for (int32_t i = 0; i < count; ++i) ++place[(from[i].rank >> shift) & (kDigits - 1)];
    int32_t sum = 0;
    for (int32_t& slot : place) {
      int32_t here = slot;
      slot = sum;
      sum += here;
    }
    for (int32_t i = 0; i < count; ++i)
      to[place[(from[i].rank >> shift) & (kDigits - 1)]++] = from[i];
    std::swap(from, to);
  }
  if (from != places) std::memcpy(places, from, sizeof(KeyPlace) * static_cast<size_t>(count));
}

}  // namespace

int32_t keytable_groups_met(const KeyTable* table, int32_t group_count, int32_t* order) {
  // An enumeration walks the buckets in ascending order and each chain
  // from its head, and every chain lists its entries in creation order; so
  // it first meets a group at the group's entry with the least (bucket,
  // number).
  auto* first = util_alloc_array<uint64_t>(group_count);
  std::fill(first, first + group_count, UINT64_MAX);
  auto mask = static_cast<uint32_t>(filled_mask(table->entries.count));
  keytable_each(table, [first, group_count, mask](const KeyEntry* entry, int32_t number) {
    if (entry->group >= 0 && entry->group < group_count) {
      uint64_t met = (uint64_t{entry->hash & mask} << 32) | static_cast<uint32_t>(number);
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
  result.table = table;
  result.starts = util_alloc_array<int32_t>(int64_t{count} + 1);
  keytable_each(table, [place_of, &result](const KeyEntry* entry, int32_t) {
    if (place_of(entry) >= 0) ++result.starts[place_of(entry) + 1];
  });
  for (int32_t i = 0; i < count; ++i) {
    result.largest = std::max(result.largest, result.starts[i + 1]);
    result.starts[i + 1] += result.starts[i];
  }
  result.numbers = util_alloc_array<uint32_t>(result.starts[count]);
  auto* next = util_alloc_array<int32_t>(count);
  std::copy(result.starts, result.starts + count, next);
  keytable_each(table, [place_of, next, &result](const KeyEntry* entry, int32_t number) {
    if (place_of(entry) >= 0)
      result.numbers[next[place_of(entry)]++] = static_cast<uint32_t>(number);
  });
  util_free(next);
  util_free(rank);
  // The removing enumerations begin after the gathering one's size check.
  result.first_mask = static_cast<uint32_t>(checked_mask(table->entries.count, filled_mask(table->entries.count)));
  result.mask = result.first_mask;
  result.left = table->entries.count;
  result.places = util_alloc_array<KeyPlace>(result.largest);
  return result;
}

namespace {

// Keeps the numbers of a group's `size` entries in the order `places`
// hold them (ranks still), where they are `numbers` when `in_order`.
void keep_met(KeyOrder* order, const uint32_t* numbers, const KeyPlace* places, int32_t size,
              bool in_order) {
  if (in_order) {
    order->met = numbers;
    return;
  }
  uint32_t* room = order->few;
  if (size > kKeyOrderFew) {
    if (order->many == nullptr) order->many = util_alloc_array<uint32_t>(order->largest);
    room = order->many;
  }
  for (int32_t j = 0; j < size; ++j) room[j] = static_cast<uint32_t>(places[j].rank);
  order->met = room;
}

}  // namespace

const KeyPlace* keytable_order_next(KeyOrder* order, int32_t* size) {
  // Hot: every entry written (see the benchmark, docs/DEVELOPING.md).
  int32_t i = order->next++;
  const uint32_t* numbers = order->numbers + order->starts[i];
  *size = order->starts[i + 1] - order->starts[i];
  KeyPlace* places = order->places;
  int kept = mask_bits(order->mask);
  int dropped = mask_bits(order->first_mask) - kept;
  bool in_order = true;
  for (int32_t j = 0; j < *size; ++j) {
    if (j + kPrefetchAhead < *size) {
      prefetch(keytable_entry(order->table, static_cast<int32_t>(numbers[j + kPrefetchAhead])));
    }
    const KeyEntry* entry = keytable_entry(order->table, static_cast<int32_t>(numbers[j]));
    prefetch(entry->key);  // for the writer, which reads it next
    uint32_t position = chain_position(entry->hash, order->mask, order->first_mask, kept, dropped);
    places[j].rank = (uint64_t{position} << 32) | numbers[j];
    in_order = in_order && (j == 0 || places[j - 1].rank < places[j].rank);
  }
  // A group met in creation order needs no sort and no spare room: a file
  // of one directive line repeated is one such group as large as the table.
  if (!in_order) {
    if (*size >= kRadixSortFrom && order->spare == nullptr) {
      order->spare = util_alloc_array<KeyPlace>(order->largest);
    }
    sort_places(places, order->spare, *size, kept + dropped);
  }
  if (order->keep_numbers) keep_met(order, numbers, places, *size, in_order);
  for (int32_t j = 0; j < *size; ++j) {
    places[j].entry =
        keytable_entry(order->table, static_cast<int32_t>(places[j].rank & UINT32_MAX));
  }
  // The size check that ends this group's enumeration.
  order->left -= *size;
  order->mask = static_cast<uint32_t>(checked_mask(order->left, static_cast<int32_t>(order->mask)));
  return places;
}

void keytable_order_keep_numbers(KeyOrder* order) { order->keep_numbers = true; }

KeyNumbers keytable_order_numbers(const KeyOrder* order) {
  int32_t group = order->next - 1;
  return KeyNumbers{order->met, order->numbers + order->starts[group],
                    order->starts[group + 1] - order->starts[group]};
}

void keytable_order_end(KeyOrder* order) {
  util_free(order->many);
  util_free(order->numbers);
  util_free(order->starts);
  util_free(order->places);
  util_free(order->spare);
  *order = KeyOrder{};
}
