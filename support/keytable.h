// The key table: text keys, compared without regard to letter case, to
// untyped values, each entry numbered in the order it was made.
//
// The parser stores every key and directive here (keytable_store_batch):
// a store either gives the first entry of an equal key its new value or
// makes a new entry; nothing is ever removed. The writer then reads the
// entries back in the order the format fixes (keytable_order.h). The table
// owns its entries and their key texts, never the values. Running out of
// memory ends the process (util_fatal).
#pragma once

#include <cstddef>
#include <cstdint>

#include "support/arena.h"
#include "support/column.h"

struct KeyEntry {
  const char* key;  // terminated, owned by the table; an entry made for a
                    // key already stored with the very same bytes shares
                    // that entry's text
  void* value;      // the stored value, owned by the table's user; may be null
  uint32_t hash;    // key_hash(key): where the format's table keeps the entry
  int32_t group;    // the user's number for the entry, -1 (as made) for none;
                    // the order is worked out by it (keytable_order.h): the
                    // parser keeps the entry's section here for the writer
};

// A slot of the lookup index, which finds the first entry of each key.
struct KeySlot {
  uint32_t tag;    // the key's index hash (text_hash of the folded key)
  uint32_t entry;  // the entry's number + 1; 0 for a free slot
};

struct KeyTable {
  Column<KeyEntry> entries;  // in the order made: an entry never moves
  KeySlot* index;          // open addressing, index_mask + 1 slots, at most
                           // three quarters in use (heap); null once dropped
  uint32_t index_mask;     // slots minus one
  int32_t indexed;         // slots in use
  Arena texts;             // the key texts
};

// The format's bucket hash: h = 0xF0E1D2; for each byte b, s = (b | 0x20)
// as a signed byte widened to 32 bits, h ^= (h << 7) + (h >> 2) + s, all
// modulo 2^32. The output order depends on it (keytable_order.h).
uint32_t key_hash(const char* text);

// An empty table. Released with keytable_free.
KeyTable* keytable_new();

// Releases every entry, every key text, the index and the table (null is
// a no-op); values are not touched. Never allocates.
void keytable_free(KeyTable* table);

// Entry number `number` (below count), valid until the table is released.
inline KeyEntry* keytable_entry(const KeyTable* table, int32_t number) {
  return column_at(&table->entries, static_cast<uint32_t>(number));
}

// Calls `visit(entry, number)` for every entry in the order they were made.
template <typename Visit>
void keytable_each(const KeyTable* table, Visit visit) {
  column_each(&table->entries, visit);
}

// One store of a batch for keytable_store_batch: what the caller asks
// (keystore_ask makes one) and, after the call, what it got.
struct KeyStore {
  const char* key;  // asked: the key, read during the call only
  void* value;      // asked: the value to store
  bool replace;     // asked: give the first entry of an equal key `value`
                    // (its key text and number stay); false, or no equal
                    // key: make a new entry
  bool created;     // got: a new entry was made
  KeyEntry* entry;  // got: the entry that holds `value` now
  int32_t number;   // got: that entry's number
};

inline KeyStore keystore_ask(const char* key, void* value, bool replace) {
  return KeyStore{key, value, replace, false, nullptr, -1};
}

// Carries out `count` stores in order. Every store waits for memory (its
// index slot); asking for all of a batch's slots before storing overlaps
// those waits, which is most of a parse's time. Only before
// keytable_drop_index (a store after it aborts the process).
void keytable_store_batch(KeyTable* table, KeyStore* stores, int32_t count);

// Gives the index room for about `count` keys at once, so it need not
// double again and again as the table fills. Changes nothing else.
void keytable_reserve(KeyTable* table, int32_t count);

// Lets go of the index, the table's largest array, once nothing will be
// stored any more: the order needs only the entries.
void keytable_drop_index(KeyTable* table);
