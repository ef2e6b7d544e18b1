// LockedList: the one shared container of ovusbd. A singly linked list of
// untyped item pointers behind one mutex, with two conditions: `itemAdded`
// wakes a consumer when an item arrives in an empty list, `emptied` wakes a
// thread waiting for the list to drain.
//
// The list owns only its nodes; who owns the items is said by the caller.
// A null item is a valid item: on a queue it tells the consumer to stop.
//
// Every callback runs with the list's mutex held. The mutex is not
// recursive, so a callback must never call an operation on the same list.
#pragma once

#include <pthread.h>
#include <stddef.h>

struct LockedListNode {
  void* item;            // may be null
  LockedListNode* next;  // null at the tail
};

struct LockedList {
  pthread_mutex_t mutex;     // held for the whole of every operation
  pthread_cond_t itemAdded;  // one waiter woken on append to an empty list
  pthread_cond_t emptied;    // one waiter woken when the list becomes empty
  LockedListNode* head;      // guarded by mutex
};

// predicate(item, key): true when the item matches.
typedef bool (*LockedListPredicate)(void* item, const void* key);
// action(item, out).
typedef void (*LockedListAction)(void* item, void* out);
// destructor(item, arg): owns the item from then on.
typedef void (*LockedListDestructor)(void* item, void* arg);
// postInsert(newItem, arg): runs under the lock right after the insert.
typedef void (*LockedListPostInsert)(void* newItem, void* arg);

// Returns a new empty list, or null when memory or the mutex/conditions
// could not be had.
LockedList* createLockedList();

// Destroys the mutex and conditions and frees the list. Items still in it
// are not touched: clear the list first.
void destroyLockedList(LockedList* list);

// Appends item at the tail. The node is allocated before the lock is taken.
// Returns 0, or -ENOMEM (the item then still belongs to the caller).
int appendToLockedList(LockedList* list, void* item);

// True as soon as predicate(item, key) holds for an item.
bool findInLockedList(LockedList* list, LockedListPredicate predicate, const void* key);

// Unlinks every item that matches and hands it to destructor(item,
// destructorArg) when a destructor is given. Signals `emptied` when the list
// had items and has none afterwards.
void removeFromLockedList(LockedList* list, LockedListPredicate predicate,
                          LockedListDestructor destructor, const void* key,
                          void* destructorArg);

// In one locked step: removes every matching item (destructor required),
// appends newItem at the tail and calls postInsert(newItem, postArg) when
// given. Never signals `emptied`. Returns 0, or -ENOMEM / -EINVAL with the
// list unchanged and newItem still the caller's.
int updateOrAppendInLockedList(LockedList* list, LockedListPredicate predicate,
                               LockedListDestructor destructor,
                               LockedListPostInsert postInsert, const void* key,
                               void* destructorArg, void* postArg, void* newItem);

// Hands every item in order to destructor(item, null) when given, frees the
// nodes and signals `emptied`, also when the list was already empty.
void clearLockedList(LockedList* list, LockedListDestructor destructor);

// Calls action(item, out) for every item where predicate is null or holds;
// with firstOnly 1 the walk ends after the first action.
void forEachInLockedList(LockedList* list, LockedListPredicate predicate,
                         LockedListAction action, const void* key, void* out,
                         int firstOnly);

size_t countLockedList(LockedList* list);

// Consumer side of a queue: waits until an item is there, unlinks the first
// and returns it (signalling `emptied` when the list is now empty). A null
// result means "stop".
void* takeFromLockedList(LockedList* list);

// Waits until an item is there and returns the first, leaving it in the
// list (a consumer that must claim something else before it takes it).
void* waitForFirstInLockedList(LockedList* list);

// Unlinks the first item without waiting: true with *item set, false when
// the list is empty. Signals `emptied` as takeFromLockedList does.
bool takeFirstIfAny(LockedList* list, void** item);

// Blocks until the list is empty (waits on `emptied`).
void waitForEmptyLockedList(LockedList* list);
