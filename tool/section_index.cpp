#include "tool/section_index.h"

#include <cstring>

#include "support/alloc.h"
#include "support/text.h"

namespace {

constexpr uint32_t kFirstSlotMask = 127;

// Whether section `section` is named by the `length` bytes at `name`. A
// held name shorter than `length` is not read past its end.
bool is_named(const SectionIndex* index, int32_t section, const char* name, size_t length) {
  const SectionName& held = index->names[section];
  return held.length == length && std::memcmp(held.text, name, length) == 0;
}

// The slot holding the section named by the `length` bytes at `name` (whose
// text_hash is `hash`), or the free slot where it belongs. Names are read
// only where the hashes match; the hash is keyed per run, so no set of
// names can be made to crowd one run of slots.
SectionSlot* find_slot(const SectionIndex* index, const char* name, size_t length, uint32_t hash) {
  for (uint32_t i = hash & index->slot_mask;; i = (i + 1) & index->slot_mask) {
    SectionSlot* slot = &index->slots[i];
    if (slot->section == 0) return slot;
    if (slot->hash == hash && is_named(index, slot->section - 1, name, length)) return slot;
  }
}

void grow_slots(SectionIndex* index) {
  SectionSlot* old = index->slots;
  uint32_t old_mask = index->slot_mask;
  index->slot_mask = old_mask * 2 + 1;
  index->slots = util_alloc_array<SectionSlot>(int64_t{index->slot_mask} + 1);
  for (uint32_t i = 0; i <= old_mask; ++i) {
    if (old[i].section == 0) continue;
    uint32_t j = old[i].hash & index->slot_mask;
    while (index->slots[j].section != 0) j = (j + 1) & index->slot_mask;
    index->slots[j] = old[i];
  }
  util_free(old);
}

// The number of the section named by the `length` bytes at `name`,
// numbered anew if it is not yet.
int32_t look_up(SectionIndex* index, const char* name, size_t length) {
  auto hash = static_cast<uint32_t>(text_hash(name, length, false));
  SectionSlot* slot = find_slot(index, name, length, hash);
  if (slot->section != 0) return slot->section - 1;
  util_grow(&index->names, &index->capacity, int64_t{index->count} + 1);
  auto* text = static_cast<char*>(arena_carve(&index->texts, length + 1, 1));
  std::memcpy(text, name, length);
  text[length] = '\0';
  int32_t section = index->count++;
  index->names[section] = SectionName{text, length};
  slot->hash = hash;
  slot->section = section + 1;
  if (int64_t{index->count} * 2 > int64_t{index->slot_mask} + 1) grow_slots(index);
  return section;
}

}  // namespace

SectionIndex* section_index_new() {
  auto* index = static_cast<SectionIndex*>(util_alloc(sizeof(SectionIndex)));
  index->slots = util_alloc_array<SectionSlot>(int64_t{kFirstSlotMask} + 1);
  index->slot_mask = kFirstSlotMask;
  index->recent[0] = -1;
  index->recent[1] = -1;
  return index;
}

void section_index_free(SectionIndex* index) {
  if (index == nullptr) return;
  util_free(index->names);
  util_free(index->slots);
  arena_release(&index->texts);
  util_free(index);
}

int32_t section_index_number(SectionIndex* index, const char* key) {
  size_t length = std::strcspn(key, ":");
  if (key[0] == '#' || length == 0) return -1;
  int32_t section = index->recent[0];
  if (section >= 0 && is_named(index, section, key, length)) return section;
  section = index->recent[1];
  if (section < 0 || !is_named(index, section, key, length)) section = look_up(index, key, length);
  index->recent[1] = index->recent[0];
  index->recent[0] = section;
  return section;
}
