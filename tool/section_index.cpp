#include "tool/section_index.h"

#include <cstring>

#include "support/alloc.h"
#include "support/text.h"

namespace {

// Whether section `section` is named by the `length` bytes at `name`. A
// held name shorter than `length` is not read past its end.
bool is_named(const SectionIndex* index, int32_t section, const char* name, size_t length) {
  const SectionName& held = index->names.items[section];
  return held.length == length && std::memcmp(held.text, name, length) == 0;
}

// The number of the section named by the `length` bytes at `name`,
// numbered anew if it is not yet. The hash is keyed per run, so no set of
// names can be made to crowd one run of slots.
int32_t look_up(SectionIndex* index, const char* name, size_t length) {
  auto hash = static_cast<uint32_t>(text_hash(name, length, false));
  InternSlot* slot = intern_index_find(&index->index, hash, [&](uint32_t section) {
    return is_named(index, static_cast<int32_t>(section), name, length);
  });
  if (slot->item != 0) return static_cast<int32_t>(slot->item - 1);
  auto* text = static_cast<char*>(arena_carve(&index->texts, length + 1, 1));
  std::memcpy(text, name, length);
  text[length] = '\0';
  int32_t section = index->names.count;
  list_push(&index->names, SectionName{text, length});
  intern_index_fill(&index->index, slot, hash, static_cast<uint32_t>(section));
  return section;
}

}  // namespace

SectionIndex* section_index_new() {
  auto* index = static_cast<SectionIndex*>(util_alloc(sizeof(SectionIndex)));
  index->recent[0] = -1;
  index->recent[1] = -1;
  return index;
}

void section_index_free(SectionIndex* index) {
  if (index == nullptr) return;
  list_free(&index->names);
  intern_index_free(&index->index);
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
