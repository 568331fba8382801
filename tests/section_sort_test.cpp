#include "tool/section_sort.h"

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Names = std::vector<std::string>;

const Names kWeighted = {"__topmost__", "General", "Modules", "Misc",
                         "Warbird",     "Javelin", "Spider",  "Leviathan",
                         "Terrier",     "Weasel",  "Lancaster", "Shark"};

// Runs the names through a PtrList and sort_sections, as the writer does.
Names sorted(Names names) {
  PtrList list{nullptr, nullptr};
  for (std::string& name : names) ptrlist_append(&list, &name[0]);
  sort_sections(&list);
  Names out;
  for (PtrNode* node = list.head; node != nullptr; node = node->next) {
    out.emplace_back(static_cast<const char*>(node->item));
  }
  ptrlist_clear(&list);
  return out;
}

std::mt19937 coin(1);
int random_sign(const char*, const char*) { return static_cast<int>(coin() % 5) - 2; }

}  // namespace

TEST(SectionOrder, ComparisonKeepsTheMagnitude) {
  struct Case {
    const char* a;
    const char* b;
    int order;
  };
  const Case cases[] = {
      {"S", "Shark", -44},          // 0 - 'h' + 60
      {"Shark", "S", 44},
      {"Warbird", "Javelin", -7},   // the closest weighted pair
      {"Lan", "Lancaster", -19},    // overcomes the weight of Lancaster
      {"7abc", "Shark", 0},         // the name comparison cancels the weight
      {"misc", "Misc", 0},
      {"GENERAL", "general", 0},
      {"alpha", "zeta", 'a' - 'z'},
      {"abc", "Shark", 'a' - 's' + 60},
  };
  for (const Case& c : cases) EXPECT_EQ(section_order(c.a, c.b), c.order) << c.a << " " << c.b;
  EXPECT_EQ(section_weight("gEnErAl"), 500);
  EXPECT_EQ(section_weight("Generals"), 0);
}

TEST(SectionOrder, SortsWeightedNamesFirstThenByName) {
  struct Case {
    Names in;
    Names out;
  };
  const Case cases[] = {
      {{"zeta", "Shark", "Misc", "alpha", "General", "Warbird", "__topmost__"},
       {"__topmost__", "General", "Misc", "Warbird", "Shark", "alpha", "zeta"}},
      {{"Warbird", "misc", "zeta", "General"}, {"General", "misc", "Warbird", "zeta"}},
      // Equal names, few: the first greatest goes to the end.
      {{"misc", "Misc"}, {"Misc", "misc"}},
      {{"Shark", "1abc", "zeta", "Lancaster"}, {"Lancaster", "1abc", "Shark", "zeta"}},
      {{"abc", "Shark", "Spider"}, {"Spider", "Shark", "abc"}},
      {{"Shark", "S"}, {"S", "Shark"}},
      // Above eight names: the merge path.
      {{"k", "j", "i", "h", "g", "f", "e", "d", "c", "b", "a", "Shark", "1abc", "Lancaster"},
       {"Lancaster", "1abc", "Shark", "a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k"}},
      {{}, {}},
  };
  for (const Case& c : cases) EXPECT_EQ(sorted(c.in), c.out);
}

TEST(SectionOrder, WeightedNamesComeOutInTableOrderFromAnyOrder) {
  Names eight(kWeighted.rend() - 8, kWeighted.rend());  // reversed: the selection path
  EXPECT_EQ(sorted(eight), Names(kWeighted.begin(), kWeighted.begin() + 8));
  std::mt19937 random(7);
  for (int round = 0; round < 20; ++round) {
    Names shuffled = kWeighted;
    std::shuffle(shuffled.begin(), shuffled.end(), random);
    shuffled.push_back("zz");
    shuffled.insert(shuffled.begin(), "aa");
    Names expected = kWeighted;
    expected.push_back("aa");
    expected.push_back("zz");
    EXPECT_EQ(sorted(shuffled), expected) << "round " << round;
  }
}

TEST(SectionOrder, SortIsCorrectForAConsistentComparator) {
  std::mt19937 random(3);
  for (int count = 0; count <= 40; ++count) {
    Names names;
    for (int i = 0; i < count; ++i) names.push_back(std::to_string(random() % 50));
    std::vector<char*> texts;
    for (std::string& name : names) texts.push_back(&name[0]);
    sort_texts(texts.data(), count, [](const char* a, const char* b) {
      return std::stoi(a) - std::stoi(b);
    });
    Names out(texts.begin(), texts.end());
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return std::stoi(a) < std::stoi(b); });
    EXPECT_EQ(out, names) << count << " texts";
  }
}

// Whatever the comparator answers, the sort ends, touches only its array
// and returns every text exactly once.
TEST(SectionOrder, SortSurvivesAComparatorOfRandomSigns) {
  constexpr int kGuard = 4;
  static char marker;
  for (int count = 0; count <= 200; ++count) {
    Names names(static_cast<size_t>(count));
    std::vector<char*> array(static_cast<size_t>(count + 2 * kGuard), &marker);
    for (int i = 0; i < count; ++i) {
      names[static_cast<size_t>(i)] = std::to_string(i);
      array[static_cast<size_t>(kGuard + i)] = &names[static_cast<size_t>(i)][0];
    }
    std::vector<char*> before(array.begin() + kGuard, array.end() - kGuard);
    sort_texts(array.data() + kGuard, count, random_sign);
    std::vector<char*> after(array.begin() + kGuard, array.end() - kGuard);
    for (int i = 0; i < kGuard; ++i) {
      EXPECT_EQ(array[static_cast<size_t>(i)], &marker) << count;
      EXPECT_EQ(array[array.size() - 1 - static_cast<size_t>(i)], &marker) << count;
    }
    std::sort(before.begin(), before.end());
    std::sort(after.begin(), after.end());
    EXPECT_EQ(after, before) << count << " texts";
  }
}
