#include "ovusbd/core/lockedlist.h"

#include <errno.h>
#include <stdlib.h>

LockedList* createLockedList() {
  LockedList* list = static_cast<LockedList*>(calloc(1, sizeof(LockedList)));
  if (!list) return nullptr;
  if (pthread_mutex_init(&list->mutex, nullptr) != 0) {
    free(list);
    return nullptr;
  }
  if (pthread_cond_init(&list->itemAdded, nullptr) != 0) {
    pthread_mutex_destroy(&list->mutex);
    free(list);
    return nullptr;
  }
  if (pthread_cond_init(&list->emptied, nullptr) != 0) {
    pthread_cond_destroy(&list->itemAdded);
    pthread_mutex_destroy(&list->mutex);
    free(list);
    return nullptr;
  }
  list->head = nullptr;
  return list;
}

void destroyLockedList(LockedList* list) {
  if (!list) return;
  pthread_cond_destroy(&list->emptied);
  pthread_cond_destroy(&list->itemAdded);
  pthread_mutex_destroy(&list->mutex);
  free(list);
}

// Links node at the tail; the caller holds the mutex.
static void linkAtTail(LockedList* list, LockedListNode* node) {
  node->next = nullptr;
  if (!list->head) {
    list->head = node;
    pthread_cond_signal(&list->itemAdded);
    return;
  }
  LockedListNode* tail = list->head;
  while (tail->next) tail = tail->next;
  tail->next = node;
}

// Unlinks and hands over every matching item; the caller holds the mutex.
static void removeMatching(LockedList* list, LockedListPredicate predicate,
                           LockedListDestructor destructor, const void* key,
                           void* destructorArg) {
  LockedListNode** link = &list->head;
  while (*link) {
    LockedListNode* node = *link;
    if (predicate(node->item, key)) {
      *link = node->next;
      if (destructor) destructor(node->item, destructorArg);
      free(node);
    } else {
      link = &node->next;
    }
  }
}

int appendToLockedList(LockedList* list, void* item) {
  LockedListNode* node = static_cast<LockedListNode*>(malloc(sizeof(LockedListNode)));
  if (!node) return -ENOMEM;
  node->item = item;
  pthread_mutex_lock(&list->mutex);
  linkAtTail(list, node);
  pthread_mutex_unlock(&list->mutex);
  return 0;
}

bool findInLockedList(LockedList* list, LockedListPredicate predicate, const void* key) {
  bool found = false;
  pthread_mutex_lock(&list->mutex);
  for (LockedListNode* node = list->head; node; node = node->next) {
    if (predicate(node->item, key)) {
      found = true;
      break;
    }
  }
  pthread_mutex_unlock(&list->mutex);
  return found;
}

void removeFromLockedList(LockedList* list, LockedListPredicate predicate,
                          LockedListDestructor destructor, const void* key,
                          void* destructorArg) {
  pthread_mutex_lock(&list->mutex);
  bool hadItems = list->head != nullptr;
  removeMatching(list, predicate, destructor, key, destructorArg);
  if (hadItems && !list->head) pthread_cond_signal(&list->emptied);
  pthread_mutex_unlock(&list->mutex);
}

int updateOrAppendInLockedList(LockedList* list, LockedListPredicate predicate,
                               LockedListDestructor destructor,
                               LockedListPostInsert postInsert, const void* key,
                               void* destructorArg, void* postArg, void* newItem) {
  if (!destructor) return -EINVAL;
  LockedListNode* node = static_cast<LockedListNode*>(malloc(sizeof(LockedListNode)));
  if (!node) return -ENOMEM;
  node->item = newItem;
  pthread_mutex_lock(&list->mutex);
  removeMatching(list, predicate, destructor, key, destructorArg);
  linkAtTail(list, node);
  if (postInsert) postInsert(newItem, postArg);
  pthread_mutex_unlock(&list->mutex);
  return 0;
}

void clearLockedList(LockedList* list, LockedListDestructor destructor) {
  pthread_mutex_lock(&list->mutex);
  LockedListNode* node = list->head;
  while (node) {
    LockedListNode* next = node->next;
    if (destructor) destructor(node->item, nullptr);
    free(node);
    node = next;
  }
  list->head = nullptr;
  pthread_cond_signal(&list->emptied);
  pthread_mutex_unlock(&list->mutex);
}

void forEachInLockedList(LockedList* list, LockedListPredicate predicate,
                         LockedListAction action, const void* key, void* out,
                         int firstOnly) {
  pthread_mutex_lock(&list->mutex);
  for (LockedListNode* node = list->head; node; node = node->next) {
    if (predicate && !predicate(node->item, key)) continue;
    action(node->item, out);
    if (firstOnly == 1) break;
  }
  pthread_mutex_unlock(&list->mutex);
}

size_t countLockedList(LockedList* list) {
  size_t count = 0;
  pthread_mutex_lock(&list->mutex);
  for (LockedListNode* node = list->head; node; node = node->next) count++;
  pthread_mutex_unlock(&list->mutex);
  return count;
}

void* takeFromLockedList(LockedList* list) {
  pthread_mutex_lock(&list->mutex);
  while (!list->head) pthread_cond_wait(&list->itemAdded, &list->mutex);
  LockedListNode* node = list->head;
  list->head = node->next;
  if (!list->head) pthread_cond_signal(&list->emptied);
  pthread_mutex_unlock(&list->mutex);
  void* item = node->item;
  free(node);
  return item;
}

void* waitForFirstInLockedList(LockedList* list) {
  pthread_mutex_lock(&list->mutex);
  while (!list->head) pthread_cond_wait(&list->itemAdded, &list->mutex);
  void* item = list->head->item;
  pthread_mutex_unlock(&list->mutex);
  return item;
}

bool takeFirstIfAny(LockedList* list, void** item) {
  pthread_mutex_lock(&list->mutex);
  LockedListNode* node = list->head;
  if (node) {
    list->head = node->next;
    if (!list->head) pthread_cond_signal(&list->emptied);
  }
  pthread_mutex_unlock(&list->mutex);
  if (!node) return false;
  *item = node->item;
  free(node);
  return true;
}

void waitForEmptyLockedList(LockedList* list) {
  pthread_mutex_lock(&list->mutex);
  while (list->head) pthread_cond_wait(&list->emptied, &list->mutex);
  pthread_mutex_unlock(&list->mutex);
}
