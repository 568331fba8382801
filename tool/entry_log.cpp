#include "tool/entry_log.h"

#include <cstring>

#include "support/alloc.h"
#include "support/prefetch.h"
#include "support/text.h"

namespace {

constexpr int32_t kFirstEntryCapacity = 1024;
constexpr int32_t kFirstNameCapacity = 64;
constexpr int32_t kFirstTextCapacity = 1024;
constexpr uint32_t kFirstSlotMask = 127;

// Bytes for `count` items of `size` bytes, or -1 (which util_alloc treats as
// exhaustion) when that passes what one allocation can ask for.
int32_t array_bytes(int64_t count, size_t size) {
  int64_t bytes = count * static_cast<int64_t>(size);
  return bytes > INT32_MAX ? -1 : static_cast<int32_t>(bytes);
}

// Grows the array at `*array` of `used` items of `size` bytes to at least
// `needed` items, doubling `*capacity` as often as that takes.
void grow_array(void** array, int32_t used, int32_t* capacity, int64_t needed, size_t size) {
  int64_t larger = *capacity;
  while (larger < needed) larger *= 2;
  void* fresh = util_alloc(array_bytes(larger, size));
  std::memcpy(fresh, *array, static_cast<size_t>(used) * size);
  util_free(*array);
  *array = fresh;
  *capacity = static_cast<int32_t>(larger);
}

// The index hash of the `length` bytes at `text`: exact bytes, case counts.
// Keyed per run (text_hash), so no set of section names crowds one probe run.
uint32_t name_hash(const char* text, size_t length) {
  return static_cast<uint32_t>(text_hash(text, length, false));
}

// Whether section `section` has the `length` bytes at `name` as its text.
// The held text may be shorter than `length` and end the text buffer, so
// the comparison stops at its terminator rather than reading `length` bytes.
bool is_named(const EntryLog* log, int32_t section, const char* name, size_t length) {
  const char* held = entry_log_name(log, section);
  return std::strncmp(held, name, length) == 0 && held[length] == '\0';
}

// The slot holding the section named by the `length` bytes at `name` (whose
// name_hash is `hash`), or the free slot where it belongs. Held texts are
// read only where the hashes match.
SectionSlot* find_slot(const EntryLog* log, const char* name, size_t length, uint32_t hash) {
  uint32_t i = hash & log->slot_mask;
  for (;; i = (i + 1) & log->slot_mask) {
    SectionSlot* slot = &log->slots[i];
    if (slot->section == 0) return slot;
    if (slot->hash == hash && is_named(log, slot->section - 1, name, length)) return slot;
  }
}

SectionSlot* new_slots(uint32_t mask) {
  return static_cast<SectionSlot*>(
      util_alloc(array_bytes(static_cast<int64_t>(mask) + 1, sizeof(SectionSlot))));
}

void grow_slots(EntryLog* log) {
  SectionSlot* old = log->slots;
  uint32_t old_mask = log->slot_mask;
  log->slot_mask = old_mask * 2 + 1;
  log->slots = new_slots(log->slot_mask);
  for (uint32_t i = 0; i <= old_mask; ++i) {
    if (old[i].section == 0) continue;
    uint32_t j = old[i].hash & log->slot_mask;
    while (log->slots[j].section != 0) j = (j + 1) & log->slot_mask;
    log->slots[j] = old[i];
  }
  util_free(old);
}

// The index of the section named by the `length` bytes at `name` (whose
// name_hash is `hash`), named anew if it is not yet.
int32_t section_of(EntryLog* log, const char* name, size_t length, uint32_t hash) {
  SectionSlot* slot = find_slot(log, name, length, hash);
  if (slot->section != 0) return slot->section - 1;
  if (log->section_count == log->name_capacity) {
    void* name_at = log->name_at;
    grow_array(&name_at, log->section_count, &log->name_capacity, log->section_count + 1,
               sizeof(int32_t));
    log->name_at = static_cast<int32_t*>(name_at);
  }
  int64_t needed = static_cast<int64_t>(log->text_used) + static_cast<int64_t>(length) + 1;
  if (needed > log->text_capacity) {
    void* text = log->text;
    grow_array(&text, log->text_used, &log->text_capacity, needed, 1);
    log->text = static_cast<char*>(text);
  }
  std::memcpy(log->text + log->text_used, name, length);
  log->text[log->text_used + static_cast<int32_t>(length)] = '\0';
  int32_t section = log->section_count++;
  log->name_at[section] = log->text_used;
  log->text_used = static_cast<int32_t>(needed);
  slot->hash = hash;
  slot->section = section + 1;
  if (static_cast<int64_t>(log->section_count) * 2 > static_cast<int64_t>(log->slot_mask) + 1) {
    grow_slots(log);
  }
  return section;
}

}  // namespace

EntryLog* entry_log_new() {
  auto* log = static_cast<EntryLog*>(util_alloc(sizeof(EntryLog)));
  log->entries =
      static_cast<LoggedEntry*>(util_alloc(array_bytes(kFirstEntryCapacity, sizeof(LoggedEntry))));
  log->capacity = kFirstEntryCapacity;
  log->text = static_cast<char*>(util_alloc(kFirstTextCapacity));
  log->text_capacity = kFirstTextCapacity;
  log->name_at =
      static_cast<int32_t*>(util_alloc(array_bytes(kFirstNameCapacity, sizeof(int32_t))));
  log->name_capacity = kFirstNameCapacity;
  log->slots = new_slots(kFirstSlotMask);
  log->slot_mask = kFirstSlotMask;
  log->recent[0] = -1;
  log->recent[1] = -1;
  return log;
}

void entry_log_reserve(EntryLog* log, int32_t count) {
  if (count <= log->capacity) return;
  void* entries = log->entries;
  grow_array(&entries, log->count, &log->capacity, count, sizeof(LoggedEntry));
  log->entries = static_cast<LoggedEntry*>(entries);
}

void entry_log_free(EntryLog* log) {
  if (log == nullptr) return;
  util_free(log->entries);
  util_free(log->text);
  util_free(log->name_at);
  util_free(log->slots);
  util_free(log);
}

SectionProbe entry_log_probe(const EntryLog* log, const char* key) {
  size_t length = std::strcspn(key, ":");
  if (key[0] == '#' || length == 0) return SectionProbe{0, -1};
  uint32_t hash = name_hash(key, length);
  prefetch(&log->slots[hash & log->slot_mask]);
  return SectionProbe{hash, static_cast<int32_t>(length)};
}

void entry_log_prefetch_name(const EntryLog* log, SectionProbe probe) {
  if (probe.length < 0) return;
  const SectionSlot& slot = log->slots[probe.hash & log->slot_mask];
  if (slot.section != 0) prefetch(entry_log_name(log, slot.section - 1));
}

void entry_log_record(EntryLog* log, KeyEntry* entry, SectionProbe probe) {
  if (probe.length < 0) return;
  const char* key = entry->key();
  auto length = static_cast<size_t>(probe.length);
  int32_t section = log->recent[0];
  if (section < 0 || !is_named(log, section, key, length)) {
    section = log->recent[1];
    if (section < 0 || !is_named(log, section, key, length)) {
      section = section_of(log, key, length, probe.hash);
    }
    log->recent[1] = log->recent[0];
    log->recent[0] = section;
  }
  if (log->count == log->capacity) {
    void* entries = log->entries;
    grow_array(&entries, log->count, &log->capacity, log->count + 1, sizeof(LoggedEntry));
    log->entries = static_cast<LoggedEntry*>(entries);
  }
  log->entries[log->count++] = LoggedEntry{entry, entry->hash, section};
}

int32_t entry_log_find(const EntryLog* log, const char* name) {
  size_t length = std::strlen(name);
  return find_slot(log, name, length, name_hash(name, length))->section - 1;
}
