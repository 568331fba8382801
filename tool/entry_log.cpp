#include "tool/entry_log.h"

#include <cstring>

#include "support/alloc.h"

namespace {

constexpr int32_t kFirstEntryCapacity = 1024;
constexpr int32_t kFirstNameCapacity = 64;
constexpr uint32_t kFirstSlotMask = 127;

// Bytes for `count` items of `size` bytes, or -1 (which util_alloc treats as
// exhaustion) when that passes what one allocation can ask for.
int32_t array_bytes(int64_t count, size_t size) {
  int64_t bytes = count * static_cast<int64_t>(size);
  return bytes > INT32_MAX ? -1 : static_cast<int32_t>(bytes);
}

// Grows the array at `*array` of `used` items of `size` bytes to twice
// `*capacity` items.
void grow_array(void** array, int32_t used, int32_t* capacity, size_t size) {
  int64_t larger = static_cast<int64_t>(*capacity) * 2;
  void* fresh = util_alloc(array_bytes(larger, size));
  std::memcpy(fresh, *array, static_cast<size_t>(used) * size);
  util_free(*array);
  *array = fresh;
  *capacity = static_cast<int32_t>(larger);
}

// FNV-1a over the `length` bytes at `text`: exact bytes, case counts.
uint32_t name_hash(const char* text, size_t length) {
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < length; ++i) h = (h ^ static_cast<unsigned char>(text[i])) * 16777619u;
  return h;
}

bool same_name(const char* held, const char* name, size_t length) {
  return std::strncmp(held, name, length) == 0 && held[length] == '\0';
}

// The slot holding the section named by the `length` bytes at `name`, or
// the free slot where it belongs.
int32_t* find_slot(const EntryLog* log, const char* name, size_t length) {
  uint32_t i = name_hash(name, length) & log->slot_mask;
  while (log->slots[i] != 0 && !same_name(log->names[log->slots[i] - 1], name, length)) {
    i = (i + 1) & log->slot_mask;
  }
  return &log->slots[i];
}

void grow_slots(EntryLog* log) {
  int32_t* old = log->slots;
  uint32_t old_mask = log->slot_mask;
  log->slot_mask = old_mask * 2 + 1;
  log->slots = static_cast<int32_t*>(
      util_alloc(array_bytes(static_cast<int64_t>(log->slot_mask) + 1, sizeof(int32_t))));
  for (uint32_t i = 0; i <= old_mask; ++i) {
    if (old[i] == 0) continue;
    const char* name = log->names[old[i] - 1];
    *find_slot(log, name, std::strlen(name)) = old[i];
  }
  util_free(old);
}

// The index of the section named by the `length` bytes at `name`, named
// anew if it is not yet.
int32_t section_of(EntryLog* log, const char* name, size_t length) {
  int32_t* slot = find_slot(log, name, length);
  if (*slot != 0) return *slot - 1;
  if (log->section_count == log->name_capacity) {
    void* names = log->names;
    grow_array(&names, log->section_count, &log->name_capacity, sizeof(char*));
    log->names = static_cast<char**>(names);
  }
  char* text = static_cast<char*>(util_alloc(static_cast<int32_t>(length + 1)));
  std::memcpy(text, name, length);
  int32_t section = log->section_count++;
  log->names[section] = text;
  *slot = section + 1;
  if (static_cast<int64_t>(log->section_count) * 2 > static_cast<int64_t>(log->slot_mask) + 1) {
    grow_slots(log);
  }
  return section;
}

}  // namespace

EntryLog* entry_log_new() {
  auto* log = static_cast<EntryLog*>(util_alloc(sizeof(EntryLog)));
  log->entries = static_cast<LoggedEntry*>(
      util_alloc(array_bytes(kFirstEntryCapacity, sizeof(LoggedEntry))));
  log->capacity = kFirstEntryCapacity;
  log->names = static_cast<char**>(util_alloc(array_bytes(kFirstNameCapacity, sizeof(char*))));
  log->name_capacity = kFirstNameCapacity;
  log->slot_mask = kFirstSlotMask;
  log->slots = static_cast<int32_t*>(
      util_alloc(array_bytes(static_cast<int64_t>(kFirstSlotMask) + 1, sizeof(int32_t))));
  log->last_section = -1;
  return log;
}

void entry_log_free(EntryLog* log) {
  if (log == nullptr) return;
  for (int32_t i = 0; i < log->section_count; ++i) util_free(log->names[i]);
  util_free(log->names);
  util_free(log->slots);
  util_free(log->entries);
  util_free(log);
}

void entry_log_record(EntryLog* log, const char* key, uint32_t hash) {
  if (key[0] == '#') return;
  size_t length = std::strcspn(key, ":");
  if (length == 0) return;
  int32_t section = log->last_section;
  if (section < 0 || !same_name(log->names[section], key, length)) {
    section = section_of(log, key, length);
    log->last_section = section;
  }
  if (log->count == log->capacity) {
    void* entries = log->entries;
    grow_array(&entries, log->count, &log->capacity, sizeof(LoggedEntry));
    log->entries = static_cast<LoggedEntry*>(entries);
  }
  log->entries[log->count++] = LoggedEntry{hash, section};
}

int32_t entry_log_find(const EntryLog* log, const char* name) {
  int32_t slot = *find_slot(log, name, std::strlen(name));
  return slot - 1;
}
