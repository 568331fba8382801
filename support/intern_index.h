// An index over numbered items, found by a hash: the one open-addressing
// index of the program but for the key table's own (whose buckets and
// chains the format fixes). Its user keeps the items, numbered from 0, and
// says which item it looks for; a slot holds the item's hash, so growing
// needs no item again, and items of other hashes are passed over without a
// look. At most three quarters of the slots are in use. All zero is empty;
// released with intern_index_free. Running out of memory ends the process
// (util_fatal).
#pragma once

#include <cstdint>

#include "support/alloc.h"

struct InternSlot {
  uint32_t hash;
  uint32_t item;  // the item's number + 1; 0 for a free slot
};

struct InternIndex {
  InternSlot* slots;  // mask + 1 of them (heap)
  uint32_t mask;
  int32_t used;
};

// The slot of the item under `hash` for which `same(item)` holds, or the
// free slot where such an item belongs (its `item` 0).
template <typename Same>
InternSlot* intern_index_find(InternIndex* index, uint32_t hash, Same same) {
  if (index->slots == nullptr) {
    constexpr uint32_t kFirstSlots = 64;
    index->slots = util_alloc_array<InternSlot>(kFirstSlots);
    index->mask = kFirstSlots - 1;
  }
  for (uint32_t i = hash;; ++i) {
    InternSlot* slot = &index->slots[i & index->mask];
    if (slot->item == 0 || (slot->hash == hash && same(slot->item - 1))) return slot;
  }
}

// Puts item `item` under `hash` into the free `slot` intern_index_find gave.
void intern_index_fill(InternIndex* index, InternSlot* slot, uint32_t hash, uint32_t item);

void intern_index_free(InternIndex* index);
