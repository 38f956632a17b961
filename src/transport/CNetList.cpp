#include "transport/CNetList.h"

#include <new>

bool CNetList::AddHead(void* data) {
    SNetListNode* node = new (std::nothrow) SNetListNode{data, nullptr, m_head};
    if (node == nullptr) return false;
    if (m_head != nullptr)
        m_head->m_prev = node;
    else
        m_tail = node;
    m_head = node;
    ++m_count;
    Changed();
    return true;
}

SNetListNode* CNetList::GetNode(int index) {
    if (index < 0 || index >= m_count) return nullptr;
    SNetListNode* node = m_head;
    int i = 0;
    // Resume from the cursor when it lies at or before the wanted index.
    if (m_cursor_index != -1 && m_cursor_index <= index) {
        node = m_cursor_node;
        i = m_cursor_index;
    }
    while (i < index) {
        node = node->m_next;
        ++i;
    }
    m_cursor_index = index;
    m_cursor_node = node;
    return node;
}

void* CNetList::Get(int index) {
    SNetListNode* node = GetNode(index);
    return node != nullptr ? node->m_data : nullptr;
}

int CNetList::Find(const void* data) const {
    int i = 0;
    for (const SNetListNode* node = m_head; node != nullptr; node = node->m_next, ++i) {
        if (node->m_data == data) return i;
    }
    return -1;
}

void CNetList::RemoveNode(SNetListNode* node) {
    if (node->m_prev != nullptr)
        node->m_prev->m_next = node->m_next;
    else
        m_head = node->m_next;
    if (node->m_next != nullptr)
        node->m_next->m_prev = node->m_prev;
    else
        m_tail = node->m_prev;
    delete node;
    --m_count;
    Changed();
}

bool CNetList::RemoveAt(int index) {
    SNetListNode* node = GetNode(index);
    if (node == nullptr) return false;
    RemoveNode(node);
    return true;
}

void CNetList::RemoveAll() {
    while (m_head != nullptr)
        RemoveNode(m_head);
}
