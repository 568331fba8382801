// The key table: its hash, add/replace/get, the size rule, and the
// enumeration order through growth and shrinking, checked against a model.
#include "support/keytable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

using Keys = std::vector<std::string>;
using Drop = std::function<bool(const std::string&)>;

bool keep_all(const std::string&) { return false; }

// Every key in the order a walk meets it; entries `drop` picks are removed.
Keys enumerate(KeyTable* table, const Drop& drop = keep_all) {
  struct Walk {
    Keys met;
    const Drop* drop;
  } walk{{}, &drop};
  KeyVisitor visitor = [](const char* key, void*, void* closure) {
    auto* w = static_cast<Walk*>(closure);
    w->met.emplace_back(key);
    return (*w->drop)(key) ? 1 : 0;
  };
  keytable_enum(table, visitor, &walk);
  return walk.met;
}

// An independent reference for the order: buckets as vectors, a new key at
// the back of its bucket, a resize that refills new buckets in the order the
// old ones are walked, and the size rule written from its description (grow
// above 75 percent, halve below 18 above 16 buckets, one step per check).
class Model {
 public:
  void add(const std::string& key) {
    buckets_[bucket(key)].push_back(key);
    ++count_;
    check();
  }

  Keys enumerate(const Drop& drop = keep_all) {
    Keys met;
    for (Keys& chain : buckets_) {
      Keys kept;
      for (const std::string& key : chain) {
        met.push_back(key);
        if (drop(key)) {
          --count_;
        } else {
          kept.push_back(key);
        }
      }
      chain = kept;
    }
    check();
    return met;
  }

  int32_t mask() const { return static_cast<int32_t>(buckets_.size()) - 1; }

 private:
  size_t bucket(const std::string& key) const {
    return key_hash(key.c_str()) & static_cast<uint32_t>(mask());
  }

  void check() {
    int32_t load = count_ * 100 / (mask() + 1);
    if (load > 75) {
      resize(buckets_.size() * 2);
    } else if (load < 18 && buckets_.size() > 16) {
      resize(buckets_.size() / 2);
    }
  }

  void resize(size_t size) {
    std::vector<Keys> old = buckets_;
    buckets_.assign(size, Keys{});
    for (const Keys& chain : old) {
      for (const std::string& key : chain) buckets_[bucket(key)].push_back(key);
    }
  }

  std::vector<Keys> buckets_ = std::vector<Keys>(16);
  int32_t count_ = 0;
};

std::string numbered(const char* prefix, int number) {
  char text[32];
  std::snprintf(text, sizeof text, "%s%03d", prefix, number);
  return text;
}

// A key of a random section "a".."h" (so walks can pick a share by letter)
// in mixed case, from a small enough range that some keys repeat.
std::string random_key(std::mt19937& random) {
  std::string key(1, static_cast<char>((random() % 2 ? 'a' : 'A') + random() % 8));
  return key + ":k" + std::to_string(random() % 500);
}

// Values that tell entries apart without owning anything.
void* tag(intptr_t n) { return reinterpret_cast<void*>(n); }

}  // namespace

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
  for (const Case& c : cases) EXPECT_EQ(key_hash(c.text), c.hash) << '"' << c.text << '"';
}

TEST(KeyTable, NewTableIsSixteenEmptyBuckets) {
  KeyTable* table = keytable_new();
  EXPECT_EQ(table->mask, 15);
  EXPECT_EQ(table->count, 0);
  EXPECT_EQ(table->max_load, 75);
  EXPECT_EQ(keytable_get(table, "Misc:Bar"), nullptr);
  // An empty walk visits nothing and its size check leaves 16 buckets.
  EXPECT_TRUE(enumerate(table, [](const std::string&) { return true; }).empty());
  EXPECT_EQ(table->mask, 15);
  for (int i = 0; i <= table->mask; ++i) EXPECT_EQ(table->buckets[i], nullptr);
  keytable_free(table);
}

TEST(KeyTable, ReplaceAddAndGetFollowChainOrder) {
  KeyTable* table = keytable_new();
  // Misc:Alpha and Misc:Gamma share a chain; replacing Alpha keeps its first
  // key text and does not move it behind Gamma.
  keytable_replace(table, "Misc:Alpha", tag(1));
  keytable_add(table, "Misc:Gamma", tag(2));
  keytable_replace(table, "MISC:ALPHA", tag(3));
  EXPECT_EQ(table->count, 2);
  EXPECT_EQ(keytable_get(table, "misc:alpha"), tag(3));
  EXPECT_EQ(enumerate(table), (Keys{"Misc:Alpha", "Misc:Gamma"}));
  keytable_free(table);

  // Equal keys added twice stand in call order; get and replace find the
  // first, and removing it uncovers the second.
  table = keytable_new();
  keytable_add(table, "Misc:Bar", tag(1));
  keytable_add(table, "misc:BAR", tag(2));
  EXPECT_EQ(table->count, 2);
  EXPECT_EQ(keytable_get(table, "MISC:bar"), tag(1));
  EXPECT_EQ(enumerate(table), (Keys{"Misc:Bar", "misc:BAR"}));
  keytable_replace(table, "misc:bar", tag(3));
  EXPECT_EQ(keytable_get(table, "Misc:Bar"), tag(3));
  enumerate(table, [](const std::string& key) { return key == "Misc:Bar"; });
  EXPECT_EQ(keytable_get(table, "Misc:Bar"), tag(2));

  // Keys that hash alike ("@" and "`") stay distinct.
  keytable_replace(table, "@", tag(4));
  keytable_replace(table, "`", tag(5));
  EXPECT_EQ(keytable_get(table, "@"), tag(4));
  EXPECT_EQ(keytable_get(table, "`"), tag(5));
  keytable_free(table);
}

TEST(KeyTable, GrowsWhenTheLoadFirstExceedsSeventyFive) {
  struct Case {
    int entries;
    int32_t mask;
  };
  const Case cases[] = {{12, 15}, {13, 31},  {24, 31},  {25, 63},
                        {48, 63}, {49, 127}, {97, 127}, {98, 255}};
  for (const Case& c : cases) {
    KeyTable* table = keytable_new();
    for (int i = 0; i < c.entries; ++i) keytable_add(table, numbered("Misc:K", i).c_str(), nullptr);
    EXPECT_EQ(table->mask, c.mask) << c.entries << " entries";
    EXPECT_EQ(table->count, c.entries);
    keytable_free(table);
  }
}

TEST(KeyTable, ShrinksOneHalvingPerEnumeration) {
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
    KeyTable* table = keytable_new();
    for (int i = 0; i < c.entries; ++i) {
      keytable_add(table, numbered("Section:Key", i).c_str(), nullptr);
    }
    // Keep every key whose number is below `kept`; only the first walk removes.
    int kept = c.kept;
    auto drop = [&kept](const std::string& key) {
      return std::stoi(key.substr(key.size() - 3)) >= kept;
    };
    for (size_t walk = 0; walk < c.masks.size(); ++walk) {
      enumerate(table, drop);
      EXPECT_EQ(table->mask, c.masks[walk]) << c.entries << "/" << c.kept << " walk " << walk;
      EXPECT_EQ(table->count, c.kept);
    }
    keytable_free(table);
  }
}

// Random adds (sometimes thousands at once) and removing walks through
// growths up to thousands of buckets and halvings back down; the whole order
// and the bucket count must match the model after every step.
TEST(KeyTable, OrderMatchesTheModelThroughGrowthAndShrinking) {
  std::mt19937 random(20261208);
  KeyTable* table = keytable_new();
  Model model;
  for (int round = 0; round < 40; ++round) {
    int adds = static_cast<int>(random() % (round % 5 == 0 ? 3000 : 120));
    for (int i = 0; i < adds; ++i) {
      std::string key = random_key(random);
      keytable_add(table, key.c_str(), nullptr);
      model.add(key);
      ASSERT_EQ(table->mask, model.mask()) << "round " << round << " add " << i;
    }
    // Drop a random share, or one section by letter.
    unsigned keep_one_in = 1 + static_cast<unsigned>(random() % 12);
    unsigned seed = static_cast<unsigned>(random());
    char letter = static_cast<char>('a' + random() % 8);
    Drop drop = [keep_one_in, seed](const std::string& key) {
      return (std::hash<std::string>{}(key) + seed) % keep_one_in != 0;
    };
    if (random() % 2) drop = [letter](const std::string& key) { return (key[0] | 0x20) == letter; };
    ASSERT_EQ(enumerate(table, drop), model.enumerate(drop)) << "round " << round;
    ASSERT_EQ(table->mask, model.mask()) << "round " << round;
    ASSERT_EQ(enumerate(table), model.enumerate()) << "round " << round;
    ASSERT_EQ(table->mask, model.mask()) << "round " << round;
  }
  keytable_free(table);
}

// keytable_store gives the entry that holds the value, which the parser
// tags with its section: the same entry for a key in another letter case,
// a new one (and `created`) only for a new key or an add, never moved by a
// resize, by letting the index go or by making the chains. A new key
// through the replacing path is an add, size check included: the
// thirteenth entry doubles the table.
TEST(KeyTable, StoreGivesTheEntryHoldingTheValue) {
  KeyTable* table = keytable_new();
  bool created = false;
  KeyEntry* first = keytable_store(table, "Misc:Bar", tag(1), true, &created);
  EXPECT_TRUE(created);
  EXPECT_STREQ(first->key(), "Misc:Bar");
  KeyEntry* again = keytable_store(table, "MISC:bar", tag(2), true, &created);
  EXPECT_FALSE(created);
  EXPECT_EQ(again, first);
  EXPECT_EQ(first->value, tag(2));
  EXPECT_STREQ(first->key(), "Misc:Bar");
  KeyEntry* twin = keytable_store(table, "misc:bar", tag(3), false, &created);
  EXPECT_TRUE(created);
  EXPECT_NE(twin, first);
  for (int i = 0; i < 10; ++i) keytable_replace(table, numbered("k", i).c_str(), nullptr);
  EXPECT_EQ(table->mask, 15);
  keytable_replace(table, "k010", nullptr);
  EXPECT_EQ(table->mask, 31);
  for (int i = 11; i < 100; ++i) keytable_add(table, numbered("k", i).c_str(), nullptr);
  EXPECT_EQ(keytable_store(table, "misc:BAR", tag(4), true, &created), first);
  EXPECT_FALSE(created);
  // An index let go is made again with each key's first entry, not its twin.
  keytable_drop_index(table);
  EXPECT_EQ(keytable_get(table, "Misc:Bar"), tag(4));
  keytable_drop_index(table);
  EXPECT_EQ(keytable_store(table, "MISC:bar", tag(4), true, &created), first);
  EXPECT_FALSE(created);
  enumerate(table);
  EXPECT_EQ(keytable_store(table, "MISC:BAR", tag(5), true, &created), first);
  EXPECT_FALSE(created);
  EXPECT_EQ(keytable_get(table, "misc:bar"), tag(5));
  keytable_free(table);
}

// Keys that key_hash cannot tell apart ('@' and '`' fold alike) must not
// crowd one list of the lookup index, or every store walks them all and a
// file of such keys takes time quadratic in its size.
TEST(KeyTable, KeysOfOneHashSpreadOverTheIndex) {
  KeyTable* table = keytable_new();
  constexpr int kBits = 12;
  for (int i = 0; i < (1 << kBits); ++i) {
    std::string key = "S:k";
    for (int bit = 0; bit < kBits; ++bit) key += (i >> bit) & 1 ? '`' : '@';
    keytable_replace(table, key.c_str(), nullptr);
  }
  ASSERT_EQ(table->count, 1 << kBits);
  EXPECT_EQ(key_hash("S:k@@@@@@@@@@@@"), key_hash("S:k````````````"));
  size_t longest = 0;
  for (uint32_t i = 0; i <= table->index_mask; ++i) {
    size_t length = 0;
    for (KeyEntry* entry = table->index[i]; entry != nullptr; entry = entry->next) ++length;
    longest = std::max(longest, length);
  }
  // About 0.5 entries per list on average; 16 in one list happens by chance
  // less than once in 10^12 tables.
  EXPECT_LT(longest, 16u);
  keytable_free(table);
}

namespace {

// Carries out stores [from, to) of one fixed mix on `table`: adds and
// replaces of keys that repeat in other letter cases, keys added twice, and
// keys long enough to get arena blocks of their own. Values tell the stores
// apart.
void fill(KeyTable* table, int from, int to, unsigned seed) {
  std::mt19937 random(seed);
  for (int i = 0; i < to; ++i) {
    std::string key = random_key(random);
    if (i % 500 == 7) key += std::string(20000 + static_cast<size_t>(i), 'L');
    if (i < from) continue;
    if (i % 3 == 0) {
      keytable_add(table, key.c_str(), tag(i));
    } else {
      keytable_replace(table, key.c_str(), tag(i));
    }
  }
}

// Every key with its value, in enumeration order (entries removed).
std::vector<std::pair<std::string, void*>> drain(KeyTable* table) {
  std::vector<std::pair<std::string, void*>> met;
  keytable_enum(
      table,
      [](const char* key, void* value, void* closure) {
        static_cast<std::vector<std::pair<std::string, void*>>*>(closure)->emplace_back(key, value);
        return 1;
      },
      &met);
  return met;
}

}  // namespace

// Reserving room must change nothing a user sees: the same bucket count
// after every store, the same chain order and values, whether the room
// reserved was too small (the index grew on the way), right, or too large.
TEST(KeyTable, ReservedRoomChangesNothingVisible) {
  const int entries_per_case[] = {0, 13, 700, 3000};
  const int32_t reserved_per_case[] = {0, 12, 1000, 100000};
  for (int entries : entries_per_case) {
    for (int32_t reserved : reserved_per_case) {
      SCOPED_TRACE(std::to_string(entries) + " entries, room for " + std::to_string(reserved));
      unsigned seed = static_cast<unsigned>(entries * 31 + reserved);
      KeyTable* plain = keytable_new();
      KeyTable* reserved_table = keytable_new();
      fill(plain, 0, entries / 2, seed);
      fill(reserved_table, 0, entries / 2, seed);
      keytable_reserve(reserved_table, reserved);
      for (int i = entries / 2; i < entries; ++i) {
        fill(plain, i, i + 1, seed);
        fill(reserved_table, i, i + 1, seed);
        ASSERT_EQ(reserved_table->mask, plain->mask);
      }
      ASSERT_EQ(reserved_table->count, plain->count);
      ASSERT_EQ(drain(reserved_table), drain(plain));
      EXPECT_EQ(reserved_table->mask, plain->mask);
      keytable_free(plain);
      keytable_free(reserved_table);
    }
  }
}
