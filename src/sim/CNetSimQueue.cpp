#include "sim/CNetSimQueue.h"

#include <cstring>
#include <new>

#include "client/NetWrap.h"

namespace {

// Earlier due time first; equal times in send order (the counter may wrap).
bool Before(const SNetSimDatagram& a, const SNetSimDatagram& b) {
    if (a.m_due_us != b.m_due_us) return a.m_due_us < b.m_due_us;
    return portnet::WrapBefore(a.m_order, b.m_order);
}

} // namespace

CNetSimQueue* CNetSimQueue::Create(int capacity) {
    if (capacity < 1) capacity = 1;
    if (capacity > kMaxCapacity) capacity = kMaxCapacity;
    auto* queue = new (std::nothrow) CNetSimQueue();
    if (queue == nullptr) return nullptr;
    const auto n = static_cast<std::size_t>(capacity);
    queue->m_slots = new (std::nothrow) SNetSimDatagram[n];
    queue->m_free = new (std::nothrow) int[n];
    queue->m_sorted = new (std::nothrow) int[n];
    if (queue->m_slots == nullptr || queue->m_free == nullptr || queue->m_sorted == nullptr) {
        delete queue;
        return nullptr;
    }
    queue->m_capacity = capacity;
    queue->Clear();
    return queue;
}

CNetSimQueue::~CNetSimQueue() {
    delete[] m_slots;
    delete[] m_free;
    delete[] m_sorted;
}

bool CNetSimQueue::Push(std::uint64_t due_us, std::uint32_t order, int kind,
                        const sockaddr_in& addr, const CNetAddr& peer, const void* data, int len) {
    if (m_free_count == 0 || len < 0 || len > CNetSimDriver::kMaxDatagram) return false;
    const int slot = m_free[--m_free_count];
    SNetSimDatagram& d = m_slots[slot];
    d.m_due_us = due_us;
    d.m_order = order;
    d.m_kind = kind;
    d.m_len = len;
    d.m_addr = addr;
    d.m_peer = peer;
    if (len > 0) std::memcpy(d.m_data, data, static_cast<std::size_t>(len));
    // Most datagrams are due after everything queued, so search from the back.
    int pos = m_count;
    while (pos > 0 && Before(d, m_slots[m_sorted[pos - 1]]))
        --pos;
    std::memmove(m_sorted + pos + 1, m_sorted + pos,
                 static_cast<std::size_t>(m_count - pos) * sizeof(int));
    m_sorted[pos] = slot;
    ++m_count;
    return true;
}

SNetSimDatagram* CNetSimQueue::Due(std::uint64_t now_us) {
    if (m_count == 0) return nullptr;
    SNetSimDatagram& first = m_slots[m_sorted[0]];
    return first.m_due_us <= now_us ? &first : nullptr;
}

void CNetSimQueue::Pop() {
    if (m_count == 0) return;
    m_free[m_free_count++] = m_sorted[0];
    --m_count;
    std::memmove(m_sorted, m_sorted + 1, static_cast<std::size_t>(m_count) * sizeof(int));
}

void CNetSimQueue::Clear() {
    m_count = 0;
    m_free_count = m_capacity;
    // Lowest slot numbers first, so a fresh queue fills its slots in order.
    for (int i = 0; i < m_capacity; ++i)
        m_free[i] = m_capacity - 1 - i;
}
