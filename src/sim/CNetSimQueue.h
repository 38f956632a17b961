#pragma once

#include <cstdint>

#include "portnet/CNetAddr.h"
#include "portnet/CNetSim.h"

// One datagram waiting in a simulated queue.
struct SNetSimDatagram {
    enum : int { kData = 0, kBroadcast = 1, kRefused = 2 };

    std::uint64_t m_due_us; // deliverable once the clock reaches this
    std::uint32_t m_order;  // send order, for equal due times
    int m_kind;             // kData, kBroadcast (decorator) or kRefused (refusal notice)
    int m_len;
    sockaddr_in m_addr; // sender (endpoint queue) or destination (decorator queue)
    CNetAddr m_peer;    // an IPv6 one, whose m_addr holds its family alone
    unsigned char m_data[CNetSimDriver::kMaxDatagram];
};

// A bounded set of datagrams kept in order of due time, every slot made at creation. Pushing
// and popping move only slot numbers; the datagram bytes are copied once, in Push.
class CNetSimQueue {
public:
    enum : int { kMaxCapacity = 65536 };

    // A queue of capacity slots (clamped to 1..kMaxCapacity); null when out of memory.
    static CNetSimQueue* Create(int capacity);
    ~CNetSimQueue();
    CNetSimQueue(const CNetSimQueue&) = delete;
    CNetSimQueue& operator=(const CNetSimQueue&) = delete;

    // Copies a datagram in; false when the queue is full. len must be 0..kMaxDatagram.
    // `peer` is kept beside the record for an IPv6 one, whose record holds its family alone.
    bool Push(std::uint64_t due_us, std::uint32_t order, int kind, const sockaddr_in& addr,
              const CNetAddr& peer, const void* data, int len);
    bool Push(std::uint64_t due_us, std::uint32_t order, int kind, const sockaddr_in& addr,
              const void* data, int len) {
        return Push(due_us, order, kind, addr, CNetAddr(), data, len);
    }
    // The earliest datagram if it is due at now_us, else null; it stays until Pop.
    SNetSimDatagram* Due(std::uint64_t now_us);
    // Removes the earliest datagram (nothing when empty).
    void Pop();
    void Clear();
    int Count() const { return m_count; }

private:
    CNetSimQueue() = default;

    SNetSimDatagram* m_slots = nullptr;
    int* m_free = nullptr;   // stack of free slot numbers
    int* m_sorted = nullptr; // used slot numbers, earliest first
    int m_free_count = 0;
    int m_count = 0;
    int m_capacity = 0;
};
