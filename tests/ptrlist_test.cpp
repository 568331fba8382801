#include "support/ptrlist.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/alloc.h"

namespace {

std::vector<void*> visited;

void visit(void* item) { visited.push_back(item); }

std::vector<void*> traverse(const PtrList& list) {
  visited.clear();
  ptrlist_foreach(&list, visit);
  return visited;
}

}  // namespace

TEST(PtrList, KeepsAppendOrderAndClearsToEmpty) {
  // Heap items: clearing must release the nodes only, so the items are
  // still ours to release afterwards (a double release shows under ASan).
  std::vector<void*> items;
  for (int i = 0; i < 5; ++i) items.push_back(util_alloc(8));
  PtrList list{nullptr, nullptr};
  EXPECT_EQ(ptrlist_count(&list), 0);
  EXPECT_TRUE(traverse(list).empty());
  for (void* item : items) ptrlist_append(&list, item);
  EXPECT_EQ(ptrlist_count(&list), 5);
  EXPECT_EQ(traverse(list), items);
  EXPECT_EQ(list.tail->item, items.back());
  EXPECT_EQ(list.tail->next, nullptr);
  ptrlist_clear(&list);
  ptrlist_clear(&list);  // an empty list clears to empty as well
  EXPECT_EQ(list.head, nullptr);
  EXPECT_EQ(list.tail, nullptr);

  ptrlist_append(&list, items[2]);
  EXPECT_EQ(list.head, list.tail);
  EXPECT_EQ(list.head->next, nullptr);
  EXPECT_EQ(ptrlist_count(&list), 1);
  ptrlist_append(&list, nullptr);  // a null item is an item like any other
  EXPECT_EQ(traverse(list), (std::vector<void*>{items[2], nullptr}));
  ptrlist_clear(&list);
  for (void* item : items) util_free(item);
}
