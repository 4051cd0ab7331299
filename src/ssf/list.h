// The generic doubly linked list of the provider: protocol and URL lists of texts.
#pragma once

#include <cstdint>

namespace ssf {

struct list_node {
    list_node* next;
    list_node* previous;
    void* data;  // owned by whoever filled the list
};

struct list {
    list_node* head;
    list_node* tail;
    uint32_t count;
};

list* list_create();
list_node* list_node_create(void* data);
int list_push(list* l, list_node* node);  // 1 appended; 0 when either is null
list_node* list_next(const list_node* node);
int list_is_empty(const list* l);
int list_free(list* l, void (*release)(void*));  // 1; 0 for a null list

// Splits text at every separator into heap copies appended to l: n separators give n + 1
// entries, empty ones included. Returns the entry count, or -1 when l or text is missing or
// memory runs out.
int split_into_list(list* l, const char* text, char separator);
// The CRL protocol list: words separated by single spaces.
int parse_protocol_list(list* l, const char* text);

}  // namespace ssf
