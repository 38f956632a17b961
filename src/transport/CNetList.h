#pragma once

// Doubly linked list of untyped pointers with a cached cursor, so that a walk fetching
// indices 0, 1, 2 ... follows each link once. Used for the two process-wide registries.
struct SNetListNode {
    void* m_data;
    SNetListNode* m_prev;
    SNetListNode* m_next;
};

class CNetList {
public:
    // constexpr so a list at namespace scope is ready before any constructor code runs.
    constexpr CNetList() = default;
    // No destructor on purpose: the registries must stay usable until the library's very last
    // exit step, so they are never torn down by the runtime. Owners empty a list with RemoveAll.
    CNetList(const CNetList&) = delete;
    CNetList& operator=(const CNetList&) = delete;

    // Inserts at the front; false when the node cannot be allocated (list unchanged).
    bool AddHead(void* data);
    // Node or stored pointer at an index through the cursor; null for an index out of range.
    SNetListNode* GetNode(int index);
    void* Get(int index);
    // Index of the first node holding data, searching from the head; -1 when absent.
    int Find(const void* data) const;
    // Unlinks and frees one node (never what it points to).
    void RemoveNode(SNetListNode* node);
    bool RemoveAt(int index);
    void RemoveAll();
    int Count() const { return m_count; }

    int m_cursor_index = -1;
    SNetListNode* m_cursor_node = nullptr;
    int m_count = 0;
    SNetListNode* m_head = nullptr;
    SNetListNode* m_tail = nullptr;
    // Counts insertions and removals, so that a holder of a looked-up entry can tell that
    // the list changed since (and the entry may be gone).
    unsigned m_changes = 0;

private:
    void Changed() {
        ++m_changes;
        m_cursor_index = -1;
        m_cursor_node = nullptr;
    }
};
