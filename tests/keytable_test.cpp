// The key table: the format's hash and chained table (the model in
// chained_table.h: its size rule and chain order at their edges), the
// program's table (stores, the lookup index, shared key texts), and the
// program's order held to the model's enumerations.
#include "support/keytable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "chained_table.h"
#include "support/keytable_order.h"

namespace keytable_test {

using Keys = std::vector<std::string>;
using Met = std::vector<std::pair<std::string, void*>>;

// Every key in the order an enumeration meets it; entries `drop` picks are
// removed.
Keys enumerate(
    ChainedTable* table, const std::function<bool(const std::string&)>& drop =
                             [](const std::string&) { return false; }) {
  Keys met;
  table->enumerate([&met, &drop](const std::string& key, void*) {
    met.push_back(key);
    return drop(key);
  });
  return met;
}

std::string numbered(const char* prefix, int number) {
  char text[32];
  std::snprintf(text, sizeof text, "%s%03d", prefix, number);
  return text;
}

// Values that tell entries apart without owning anything.
void* tag(intptr_t n) { return reinterpret_cast<void*>(n); }

// One store into the program's table.
KeyStore store(KeyTable* table, const std::string& key, void* value, bool replace) {
  KeyStore one = keystore_ask(key.c_str(), value, replace);
  keytable_store_batch(table, &one, 1);
  return one;
}

// Every entry of the program's table, in the order made, with its value.
Met entries(const KeyTable* table) {
  Met all;
  keytable_each(table, [&all](const KeyEntry* entry, int32_t) {
    all.emplace_back(entry->key, entry->value);
  });
  return all;
}

TEST(KeyHash, GivesTheFixedValues) {
  struct Case {
    const char* text;
    uint32_t hash;
  };
  const Case cases[] = {
      {"", 0x00F0E1D2},
      {"a", 0x785DC007},
      {"A", 0x785DC007},
      {"General:Foo", 0xB9F34406},
      {"general:foo", 0xB9F34406},
      {"Misc:Bar", 0x1CCA47BB},
      {"Spider:Y", 0xCFDC5F8A},
      {"Warbird:InitialSpeed", 0xBD401ED4},
      // A byte above 0x7F is read as a signed byte and subtracts: 0xE9 adds
      // -23, where an unsigned read would give 0x785DC38F.
      {"\xE9", 0x785DC08F},
      {"Caf\xC9", 0x7AFA72FF},  // OR 0x20 folds 0xC9 onto 0xE9 too
      {"@", 0x785DC006},
      {"`", 0x785DC006},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(key_hash(c.text), c.hash) << '"' << c.text << '"';
    EXPECT_EQ(ChainedTable::hash(c.text), c.hash) << "model: \"" << c.text << '"';
  }
}

TEST(ChainedTable, NewTableIsSixteenEmptyBuckets) {
  ChainedTable table;
  EXPECT_EQ(table.mask(), 15);
  EXPECT_EQ(table.count(), 0);
  EXPECT_EQ(table.max_load(), 75);
  EXPECT_EQ(table.get("Misc:Bar"), nullptr);
  // An empty walk visits nothing and its size check leaves 16 buckets.
  EXPECT_TRUE(enumerate(&table, [](const std::string&) { return true; }).empty());
  EXPECT_EQ(table.mask(), 15);
  EXPECT_TRUE(table.empty_buckets());
}

TEST(ChainedTable, ReplaceAddAndGetFollowChainOrder) {
  {
    // Misc:Alpha and Misc:Gamma share a chain; replacing Alpha keeps its
    // first key text and does not move it behind Gamma.
    ChainedTable table;
    table.replace("Misc:Alpha", tag(1));
    table.add("Misc:Gamma", tag(2));
    table.replace("MISC:ALPHA", tag(3));
    EXPECT_EQ(table.count(), 2);
    EXPECT_EQ(table.get("misc:alpha"), tag(3));
    EXPECT_EQ(enumerate(&table), (Keys{"Misc:Alpha", "Misc:Gamma"}));
  }
  // Equal keys added twice stand in call order; get and replace find the
  // first, and removing it uncovers the second.
  ChainedTable table;
  table.add("Misc:Bar", tag(1));
  table.add("misc:BAR", tag(2));
  EXPECT_EQ(table.count(), 2);
  EXPECT_EQ(table.get("MISC:bar"), tag(1));
  EXPECT_EQ(enumerate(&table), (Keys{"Misc:Bar", "misc:BAR"}));
  table.replace("misc:bar", tag(3));
  EXPECT_EQ(table.get("Misc:Bar"), tag(3));
  enumerate(&table, [](const std::string& key) { return key == "Misc:Bar"; });
  EXPECT_EQ(table.get("Misc:Bar"), tag(2));
  // Keys that hash alike ("@" and "`") stay distinct.
  table.replace("@", tag(4));
  table.replace("`", tag(5));
  EXPECT_EQ(table.get("@"), tag(4));
  EXPECT_EQ(table.get("`"), tag(5));
}

TEST(ChainedTable, GrowsWhenTheLoadFirstExceedsSeventyFive) {
  struct Case {
    int entries;
    int32_t mask;
  };
  const Case cases[] = {{12, 15}, {13, 31},  {24, 31},  {25, 63},
                        {48, 63}, {49, 127}, {97, 127}, {98, 255}};
  for (const Case& c : cases) {
    ChainedTable table;
    for (int i = 0; i < c.entries; ++i) table.add(numbered("Misc:K", i).c_str(), nullptr);
    EXPECT_EQ(table.mask(), c.mask) << c.entries << " entries";
    EXPECT_EQ(table.count(), c.entries);
  }
}

TEST(ChainedTable, ShrinksOneHalvingPerEnumeration) {
  struct Case {
    int entries;
    int kept;
    std::vector<int32_t> masks;  // after each of the following enumerations
  };
  const Case cases[] = {
      {24, 5, {15, 15}},     {24, 6, {31, 31}},
      {40, 5, {31, 15, 15}},  // 64 -> 32 at the removing walk, 16 at the next
      {40, 12, {63, 63}},     // 12 in 64 buckets is load 18: no halving
      {40, 11, {31, 31}},    {100, 3, {127, 63, 31, 15, 15}},  // from 256 buckets
  };
  for (const Case& c : cases) {
    ChainedTable table;
    for (int i = 0; i < c.entries; ++i) table.add(numbered("Section:Key", i).c_str(), nullptr);
    // Keep every key whose number is below `kept`; only the first walk removes.
    int kept = c.kept;
    auto drop = [kept](const std::string& key) {
      return std::stoi(key.substr(key.size() - 3)) >= kept;
    };
    for (size_t walk = 0; walk < c.masks.size(); ++walk) {
      enumerate(&table, drop);
      EXPECT_EQ(table.mask(), c.masks[walk]) << c.entries << "/" << c.kept << " walk " << walk;
      EXPECT_EQ(table.count(), c.kept);
    }
  }
}

// A resize keeps each chain's order: after a growth old bucket i splits
// into buckets i and i + 16, after a halving bucket j holds old bucket j's
// entries, then old bucket j + 16's. Keys of buckets 3 and 19 of 32, made
// alternately, come out as the 19s after the 3s once halved.
TEST(ChainedTable, ResizeKeepsChainOrder) {
  Keys low;
  Keys high;
  for (int i = 0; low.size() < 4 || high.size() < 4; ++i) {
    std::string key = numbered("Misc:K", i);
    uint32_t bucket = ChainedTable::hash(key.c_str()) & 31;
    if (bucket == 3 && low.size() < 4) low.push_back(key);
    if (bucket == 19 && high.size() < 4) high.push_back(key);
  }
  ChainedTable table;
  for (int i = 0; i < 4; ++i) {
    table.add(high[static_cast<size_t>(i)].c_str(), nullptr);
    table.add(low[static_cast<size_t>(i)].c_str(), nullptr);
  }
  for (int i = 0; i < 5; ++i) table.add(numbered("Other:X", i).c_str(), nullptr);
  ASSERT_EQ(table.mask(), 31);  // the 13th entry doubled it
  auto in = [](const Keys& keys) {
    return [keys](const std::string& key) {
      return std::find(keys.begin(), keys.end(), key) != keys.end();
    };
  };
  Keys met = enumerate(&table);
  met.erase(std::remove_if(met.begin(), met.end(),
                           [&](const std::string& key) { return !in(low)(key) && !in(high)(key); }),
            met.end());
  Keys grown = low;
  grown.insert(grown.end(), high.begin(), high.end());
  EXPECT_EQ(met, grown);
  // Removing the 5 others and 3 of each pair of buckets leaves 2 entries:
  // halved to 16, with bucket 3's entries before those of old bucket 19.
  enumerate(&table, [&](const std::string& key) { return !(key == low[1] || key == high[0]); });
  ASSERT_EQ(table.mask(), 15);
  EXPECT_EQ(enumerate(&table), (Keys{low[1], high[0]}));
}

// A store gives the entry that holds its value: the same entry for a key in
// another letter case, a new one (and `created`) only for a new key or an
// add. A key added again with the very same bytes shares the first one's
// text (a file of one directive repeated would otherwise pay for its text
// again and again); in another letter case it keeps its own.
TEST(KeyTable, StoreGivesTheEntryHoldingTheValue) {
  KeyTable* table = keytable_new();
  KeyStore first = store(table, "Misc:Bar", tag(1), true);
  EXPECT_TRUE(first.created);
  EXPECT_STREQ(first.entry->key, "Misc:Bar");
  KeyStore again = store(table, "MISC:bar", tag(2), true);
  EXPECT_FALSE(again.created);
  EXPECT_EQ(again.entry, first.entry);
  EXPECT_EQ(first.entry->value, tag(2));
  EXPECT_STREQ(first.entry->key, "Misc:Bar");
  KeyStore twin = store(table, "Misc:Bar", tag(3), false);
  EXPECT_TRUE(twin.created);
  EXPECT_NE(twin.entry, first.entry);
  EXPECT_EQ(twin.entry->key, first.entry->key);
  KeyStore other_case = store(table, "misc:BAR", tag(4), false);
  EXPECT_STREQ(other_case.entry->key, "misc:BAR");
  // Thousands of keys later, through every growth of the index, the first
  // entry is still the one found, and no entry has moved.
  for (int i = 0; i < 5000; ++i) store(table, numbered("k", i), tag(i), i % 2 == 0);
  EXPECT_EQ(store(table, "misc:bar", tag(5), true).entry, first.entry);
  EXPECT_EQ(first.entry->value, tag(5));
  EXPECT_EQ(entries(table)[1], (std::pair<std::string, void*>{"Misc:Bar", tag(3)}));
  EXPECT_EQ(table->entries.count, 5003);
  keytable_free(table);
}

// Keys that key_hash cannot tell apart ('@' and '`' fold alike) must not
// crowd one place of the lookup index, or every store walks them all and a
// file of such keys takes time quadratic in its size.
TEST(KeyTable, KeysOfOneHashSpreadOverTheIndex) {
  KeyTable* table = keytable_new();
  constexpr int kBits = 12;
  for (int i = 0; i < (1 << kBits); ++i) {
    std::string key = "S:k";
    for (int bit = 0; bit < kBits; ++bit) key += (i >> bit) & 1 ? '`' : '@';
    store(table, key, nullptr, true);
  }
  ASSERT_EQ(table->entries.count, 1 << kBits);
  EXPECT_EQ(key_hash("S:k@@@@@@@@@@@@"), key_hash("S:k````````````"));
  // How far each key stands from the slot its lookup starts at.
  int64_t distance = 0;
  for (uint32_t i = 0; i <= table->index_mask; ++i) {
    const KeySlot& slot = table->index[i];
    if (slot.entry != 0) distance += (i - (slot.tag & table->index_mask)) & table->index_mask;
  }
  // Half a slot on average at this load; keys crowded together would stand
  // some two thousand slots away.
  EXPECT_LT(distance, int64_t{4} << kBits);
  keytable_free(table);
}

// Carries out stores [from, to) of one fixed mix on `table`, in batches of
// up to 16: adds and replaces of keys that repeat in other letter cases,
// and keys long enough to need text blocks of their own. Values tell the
// stores apart.
void fill(KeyTable* table, int from, int to, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<std::string> keys;
  for (int i = 0; i < to; ++i) {
    std::string key(1, static_cast<char>((random() % 2 ? 'a' : 'A') + random() % 8));
    key += ":k" + std::to_string(random() % 500);
    if (i % 500 == 7) key += std::string(20000 + static_cast<size_t>(i), 'L');
    keys.push_back(key);
  }
  std::vector<KeyStore> batch;
  for (int i = from; i < to; ++i) {
    batch.push_back(
        keystore_ask(keys[static_cast<size_t>(i)].c_str(), tag(i), i % 3 != 0));
    if (batch.size() == 16 || i + 1 == to) {
      keytable_store_batch(table, batch.data(), static_cast<int32_t>(batch.size()));
      batch.clear();
    }
  }
}

// Reserving room changes nothing a user sees, whether the room reserved
// was too small (the index grew on the way), right, or too large.
TEST(KeyTable, ReservedRoomChangesNothingVisible) {
  const int entries_per_case[] = {13, 700, 3000};
  const int32_t reserved_per_case[] = {0, 12, 1000, 100000};
  for (int count : entries_per_case) {
    for (int32_t reserved : reserved_per_case) {
      SCOPED_TRACE(std::to_string(count) + " stores, room for " + std::to_string(reserved));
      unsigned seed = static_cast<unsigned>(count * 31 + reserved);
      KeyTable* plain = keytable_new();
      KeyTable* reserved_table = keytable_new();
      fill(plain, 0, count, seed);
      fill(reserved_table, 0, count / 2, seed);
      keytable_reserve(reserved_table, reserved);
      fill(reserved_table, count / 2, count, seed);
      EXPECT_EQ(entries(reserved_table), entries(plain));
      keytable_free(plain);
      keytable_free(reserved_table);
    }
  }
}

// The program's order against the model's enumerations: the same stores
// go to both (the parser's replace for keys, add for directives), then the
// groups must come in the order one enumeration first meets them, and
// each group's entries as an enumeration that removes them meets them,
// group after group, through the halvings the removals bring. Groups are
// the keys' first letters, one taking most stores, so large groups are
// sorted by digits and small ones by insertion; keys of one letter in
// either case merge into the entry (and group) of the first; a directive
// added again and again is a group met in creation order.
TEST(KeyOrder, FollowsTheChainedTableThroughGrowthAndHalvings) {
  std::mt19937 random(20261208);
  for (int round = 0; round < 40 && !::testing::Test::HasFailure(); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    KeyTable* table = keytable_new();
    ChainedTable model;
    // Group of a key: its first letter, 'a'..'p' as 0..15, 'A'..'P' as
    // 16..31; '#' for none.
    auto group_of = [](const std::string& key) {
      return key[0] == '#' ? -1 : key[0] >= 'a' ? key[0] - 'a' : key[0] - 'A' + 16;
    };
    int stores = 1 + static_cast<int>(random() % (round % 4 == 0 ? 8000 : 400));
    for (int i = 0; i < stores; ++i) {
      std::string key;
      bool replace = true;
      switch (random() % 8) {
        case 0:
          key = "#x:k" + std::to_string(random() % 50);  // in no group
          break;
        case 1:
          key = "p:#repeated";  // a directive, the only key of its group
          replace = false;
          break;
        default:
          key = std::string(1, static_cast<char>(random() % 3 == 0 ? 'a' + random() % 15 : 'b'));
          if (random() % 4 == 0) key[0] = static_cast<char>(key[0] - 'a' + 'A');
          key += ":k" + std::to_string(random() % (round % 3 == 0 ? 40 : 20000));
      }
      KeyStore done = store(table, key, tag(i), replace);
      if (done.created) done.entry->group = group_of(key);
      if (replace) {
        model.replace(key.c_str(), tag(i));
      } else {
        model.add(key.c_str(), tag(i));
      }
    }
    keytable_drop_index(table);

    std::vector<int32_t> gathered;
    model.enumerate([&](const std::string& key, void*) {
      int32_t group = group_of(key);
      if (group >= 0 && std::find(gathered.begin(), gathered.end(), group) == gathered.end()) {
        gathered.push_back(group);
      }
      return false;
    });
    std::vector<int32_t> met(32);
    met.resize(static_cast<size_t>(keytable_groups_met(table, 32, met.data())));
    ASSERT_EQ(met, gathered);

    // Any order of the groups will do; the writer's is by name.
    std::shuffle(met.begin(), met.end(), random);
    KeyOrder order = keytable_order(table, met.data(), static_cast<int32_t>(met.size()), 32);
    for (int32_t group : met) {
      Met expected;
      model.enumerate([&](const std::string& key, void* value) {
        if (group_of(key) != group) return false;
        expected.emplace_back(key, value);
        return true;
      });
      int32_t size = 0;
      const KeyPlace* places = keytable_order_next(&order, &size);
      Met got;
      for (int32_t i = 0; i < size; ++i)
        got.emplace_back(places[i].entry->key, places[i].entry->value);
      ASSERT_EQ(got, expected) << "group " << group << " of " << size << " entries, model mask "
                               << model.mask();
    }
    keytable_order_end(&order);
    keytable_free(table);
  }
}

}  // namespace keytable_test
