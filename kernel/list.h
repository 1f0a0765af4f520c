// The kernel's intrusive doubly linked list.
#pragma once

#include "kernel/types.h"

struct list_head {
    struct list_head *next, *prev;
};

#define LIST_HEAD_INIT(name) {&(name), &(name)}
#define LIST_HEAD(name) struct list_head name = LIST_HEAD_INIT(name)

inline void INIT_LIST_HEAD(struct list_head* list) { list->next = list->prev = list; }
inline void listInsert(struct list_head* n, struct list_head* prev, struct list_head* next) {
    next->prev = n;
    n->next = next;
    n->prev = prev;
    prev->next = n;
}
inline void list_add(struct list_head* n, struct list_head* head) { listInsert(n, head, head->next); }
inline void list_add_tail(struct list_head* n, struct list_head* head) { listInsert(n, head->prev, head); }
inline void list_del(struct list_head* entry) {
    entry->next->prev = entry->prev;
    entry->prev->next = entry->next;
    entry->next = entry->prev = nullptr;
}
inline int list_empty(const struct list_head* head) { return head->next == head; }

#define list_entry(ptr, type, member) container_of(ptr, type, member)
#define list_for_each(pos, head) for (pos = (head)->next; pos != (head); pos = pos->next)
#define list_for_each_safe(pos, n, head) \
    for (pos = (head)->next, n = pos->next; pos != (head); pos = n, n = pos->next)
