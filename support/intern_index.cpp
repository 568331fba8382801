#include "support/intern_index.h"

void intern_index_fill(InternIndex* index, InternSlot* slot, uint32_t hash, uint32_t item) {
  *slot = InternSlot{hash, item + 1};
  if (++index->used * int64_t{4} <= (int64_t{index->mask} + 1) * 3) return;
  uint32_t mask = index->mask * 2 + 1;
  auto* slots = util_alloc_array<InternSlot>(int64_t{mask} + 1);
  for (uint32_t i = 0; i <= index->mask; ++i) {
    if (index->slots[i].item == 0) continue;
    uint32_t j = index->slots[i].hash;
    while (slots[j & mask].item != 0) ++j;
    slots[j & mask] = index->slots[i];
  }
  util_free(index->slots);
  index->slots = slots;
  index->mask = mask;
}

void intern_index_free(InternIndex* index) {
  util_free(index->slots);
  *index = InternIndex{};
}
