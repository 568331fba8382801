// A singly linked list of untyped pointers in insertion order.
//
// A PtrList is a plain value, empty when head and tail are null. Its nodes
// come from util_alloc; the list never owns its items: clearing it releases
// the nodes only, so whoever appended an item releases it first.
#pragma once

#include <cstdint>

struct PtrNode {
  PtrNode* next;  // following node, or null at the tail
  void* item;     // the stored pointer, not owned
};

struct PtrList {
  PtrNode* head;  // first node, or null when empty
  PtrNode* tail;  // last node, or null when empty
};

// Links a new node holding `item` after the tail.
void ptrlist_append(PtrList* list, void* item);

// Releases every node and empties the list; the items are untouched.
void ptrlist_clear(PtrList* list);

// The number of nodes, counted from the head.
int32_t ptrlist_count(const PtrList* list);

// Calls `function(item)` for every node from head to tail; the function must
// not change the list.
void ptrlist_foreach(const PtrList* list, void (*function)(void* item));
