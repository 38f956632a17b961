// Where CNetDtls finds the sessions of an address and port: an open-addressing hash table
// (linear probing), made once for a fixed number of entries and never grown, so a lookup
// costs the same with 8 sessions or 4 096 and nothing is allocated per datagram. An address
// may hold more than one session (an open one and the handshake that would replace it).
#pragma once

#include <cstdint>

#include "portnet/CNetAddr.h"

class CDtlsIndex {
public:
    CDtlsIndex() = default;
    ~CDtlsIndex();
    CDtlsIndex(const CDtlsIndex&) = delete;
    CDtlsIndex& operator=(const CDtlsIndex&) = delete;

    // Room for max_entries entries (at most half the slots used); salt keys the hash, so a
    // sender cannot choose addresses that collide; every entry goes. false when out of memory
    // (the index then keeps what it held).
    bool Init(int max_entries, std::uint64_t salt);
    // -1 when the table is full (more than max_entries), else 0.
    int Insert(const CNetAddr& addr, int value);
    // Removes the entry (addr, value); -1 when there is none.
    int Remove(const CNetAddr& addr, int value);
    // The values stored under addr, at most max of them written to out; returns how many.
    int Find(const CNetAddr& addr, int* out, int max) const;
    int Insert(const sockaddr_in& addr, int value) {
        return Insert(CNetAddr::FromSockaddrIn(addr), value);
    }
    int Remove(const sockaddr_in& addr, int value) {
        return Remove(CNetAddr::FromSockaddrIn(addr), value);
    }
    int Find(const sockaddr_in& addr, int* out, int max) const {
        return Find(CNetAddr::FromSockaddrIn(addr), out, max);
    }

private:
    struct SEntry {
        CNetAddr m_key;
        unsigned m_home;
        int m_value; // -1: empty
    };
    unsigned Home(const CNetAddr& key) const;

    SEntry* m_slots = nullptr;
    unsigned m_mask = 0;
    int m_count = 0, m_max = 0;
    std::uint64_t m_salt = 0;
};
