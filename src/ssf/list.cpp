#include "ssf/list.h"

#include <cstdlib>
#include <cstring>

namespace ssf {

list* list_create() {
    return static_cast<list*>(std::calloc(1, sizeof(list)));
}

list_node* list_node_create(void* data) {
    auto* n = static_cast<list_node*>(std::calloc(1, sizeof(list_node)));
    if (n) n->data = data;
    return n;
}

int list_push(list* l, list_node* node) {
    if (!l || !node) return 0;
    node->next = nullptr;
    node->previous = l->tail;
    if (l->tail)
        l->tail->next = node;
    else
        l->head = node;
    l->tail = node;
    ++l->count;
    return 1;
}

list_node* list_next(const list_node* node) {
    return node ? node->next : nullptr;
}

int list_is_empty(const list* l) {
    return !l || l->count == 0;
}

int list_free(list* l, void (*release)(void*)) {
    if (!l) return 0;
    for (list_node* n = l->tail; n;) {
        list_node* prev = n->previous;
        if (release) release(n->data);
        std::free(n);
        n = prev;
    }
    std::free(l);
    return 1;
}

int split_into_list(list* l, const char* text, char separator) {
    if (!l || !text) return -1;
    int entries = 0;
    for (const char* p = text;; ++entries) {
        const char* end = std::strchr(p, separator);
        size_t len = end ? static_cast<size_t>(end - p) : std::strlen(p);
        char* word = static_cast<char*>(std::malloc(len + 1));
        if (!word) return -1;
        std::memcpy(word, p, len);
        word[len] = '\0';
        list_node* node = list_node_create(word);
        if (!node) {
            std::free(word);
            return -1;
        }
        list_push(l, node);
        if (!end) return entries + 1;
        p = end + 1;
    }
}

int parse_protocol_list(list* l, const char* text) {
    return split_into_list(l, text, ' ');
}

}  // namespace ssf
