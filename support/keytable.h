// The case-insensitive key table: text keys to untyped values.
//
// A chained hash table whose bucket count is a power of two, at least 16.
// It owns its entries (each with an inline copy of its key) and its bucket
// array, but never releases, copies or inspects a value: values belong to
// the table's users. Running out of memory ends the process (util_fatal).
// Entries are carved from an arena the table holds until keytable_free: the
// table is filled once and emptied once, and a block per entry would cost an
// allocation to fill it and a release (merging with its neighbours, a cache
// miss each) to empty it. A removed entry's memory is therefore not reused;
// a table that is refilled again and again grows.
//
// Enumeration order is part of the tool's output format, so it is fixed:
//  - key_hash below picks the bucket (hash & mask);
//  - keytable_add puts a new entry at the END of its chain;
//  - keytable_enum walks buckets 0..mask, each chain from its head;
//  - a resize walks the old buckets in that same order and places every
//    entry in its new chain in the order it was met, so after growing, old
//    bucket i splits into new buckets i and i + old count, and after
//    shrinking, new bucket j holds old bucket j's entries, then those of old
//    bucket j + new count, each keeping their relative order.
//
// Resize policy: with load = count * 100 / buckets (integer division), the
// table doubles when load exceeds 75 and halves when load is below 18 (75/4)
// and more than 16 buckets are in use. One step at most per check, and the
// check runs only after keytable_add and at the end of keytable_enum, so a
// table emptied by one enumeration shrinks one halving per enumeration.
//
// A table that is only filled (adds and replaces, no removal) therefore
// always lists each chain's entries in the order they were added, whatever
// resizes came between; keytable_reserve relies on that.
#pragma once

#include <cstdint>

#include "support/arena.h"

struct KeyEntry {
  KeyEntry* next;  // following entry of the same chain, or null
  void* value;     // the stored value, owned by the table's user; may be null
  uint32_t hash;   // key_hash(key()): a resize and a lookup need not read the key
  // The key text, terminated, is stored inline right after the hash (in
  // what would be padding), so the hash costs the entry 4 bytes, not 8.
  char* key() { return reinterpret_cast<char*>(&hash + 1); }
};

struct KeyTable {
  int32_t mask;       // bucket count minus one: 2^k - 1, never below 15
  int32_t count;      // entries in all chains
  int32_t max_load;   // load limit in percent; always 75
  int32_t reserving;  // nonzero from keytable_reserve to keytable_settle
  KeyEntry** buckets; // mask + 1 chain heads, null for an empty chain; a
                      // halving keeps the larger array, null beyond mask
  Arena entries;      // where the entries are carved from
};

// Visitor for keytable_enum. `key` lives only for the call; return nonzero
// to have the entry unlinked (its value is not touched).
using KeyVisitor = int (*)(const char* key, void* value, void* closure);

// The hash: h = 0xF0E1D2; for each byte b, s = (b | 0x20) as a signed byte
// widened to 32 bits, h ^= (h << 7) + (h >> 2) + s, all modulo 2^32.
uint32_t key_hash(const char* text);

// A table of 16 empty buckets. Released with keytable_free.
KeyTable* keytable_new();

// Releases every entry, the bucket array and the table; values are not
// touched. No size check runs: releasing a table never allocates, so it
// cannot fail after the output has been replaced.
void keytable_free(KeyTable* table);

// Appends a new entry (a copy of `key`, and `value`) at the end of its chain
// without looking for an equal key, then runs the size check.
void keytable_add(KeyTable* table, const char* key, void* value);

// Gives the first entry whose key equals `key` without regard to case the
// new value (the old one is not released; the entry keeps its key text and
// place; no size check). With no equal key, does keytable_add.
void keytable_replace(KeyTable* table, const char* key, void* value);

// keytable_replace that also gives back the value it displaced: null when
// it added a new entry (or the displaced value was null). One chain walk
// where keytable_get followed by keytable_replace takes two.
void* keytable_exchange(KeyTable* table, const char* key, void* value);

// keytable_add and keytable_replace for a caller that has the key's hash
// (key_hash(key)) already: they skip computing it again, and give the entry
// that holds `value` now. An entry stays where it is, whatever resizes come,
// until the table is released. The store sets `*created` to whether it
// added a new entry rather than replacing a value.
KeyEntry* keytable_add_hashed(KeyTable* table, const char* key, uint32_t hash, void* value);
KeyEntry* keytable_store_hashed(KeyTable* table, const char* key, uint32_t hash, void* value,
                                bool* created);

// The value of the first equal key in chain order, or null if none.
void* keytable_get(const KeyTable* table, const char* key);

// Visits every entry in the order above; a nonzero visitor result removes
// the entry. The visitor must not add entries or start another enumeration.
// Runs the size check once at the end, so a resize never happens mid-walk.
void keytable_enum(KeyTable* table, KeyVisitor visitor, void* closure);

// Hints for a caller about to store many keys: start loading the bucket
// slot of a key with hash `hash` (key_hash), and, once that slot has had
// time to arrive, the first entry of its chain. They change nothing; a
// resize in between only makes them useless.
void keytable_prefetch_bucket(const KeyTable* table, uint32_t hash);
void keytable_prefetch_chain(const KeyTable* table, uint32_t hash);

// Doubles or halves the bucket array by the rule above, or does nothing.
// While a reservation is open it only ever doubles.
void keytable_check_size(KeyTable* table);

// The mask the size check leaves a table with `count` entries and mask
// `mask` (no reservation open) with: the rule above as a number, for a
// caller that follows the table's shape without changing it.
int32_t keytable_checked_mask(int64_t count, int32_t mask);

// For a table about to be filled with about `count` entries by adds and
// replaces alone: makes room for them at once, so the table need not double
// again and again as it fills, each doubling a walk over all its entries.
// Until keytable_settle the table may hold more buckets than the size rule
// gives (it still doubles when the load passes 75, but never halves);
// lookups, adds and replaces work as ever. Nothing may remove an entry in
// between: no enumeration runs until the table is settled.
void keytable_reserve(KeyTable* table, int32_t count);

// Ends a reservation (else does nothing): gives the table the bucket count
// the size rule gives for its entries, each chain holding its entries in
// the order they were added, which is the table the same adds make without
// a reservation. When more room was reserved than the entries needed, the
// chains are rebuilt by one pass over the entries in the order they were
// made (the arena keeps them in that order).
void keytable_settle(KeyTable* table);
