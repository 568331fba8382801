#include "support/ptrlist.h"

#include "support/alloc.h"

void ptrlist_append(PtrList* list, void* item) {
  auto* node = static_cast<PtrNode*>(util_alloc(sizeof(PtrNode)));
  node->item = item;
  if (list->tail == nullptr) {
    list->head = node;
  } else {
    list->tail->next = node;
  }
  list->tail = node;
}

void ptrlist_clear(PtrList* list) {
  PtrNode* node = list->head;
  while (node != nullptr) {
    PtrNode* next = node->next;
    util_free(node);
    node = next;
  }
  list->head = nullptr;
  list->tail = nullptr;
}

int32_t ptrlist_count(const PtrList* list) {
  int32_t count = 0;
  for (const PtrNode* node = list->head; node != nullptr; node = node->next) ++count;
  return count;
}

void ptrlist_foreach(const PtrList* list, void (*function)(void* item)) {
  for (const PtrNode* node = list->head; node != nullptr; node = node->next) function(node->item);
}
