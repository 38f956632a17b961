// What keeps a manager's per-frame work in step with the peers present rather than with the
// slots: the used slots in ascending order, the senders by address, and the set of drivers a
// Write flushes. Everything is sized when the table is made; nothing here allocates afterwards.
#pragma once

#include <cstdint>

#include "portnet/CNetAddr.h"

class CNetBuf;
class CNetClient;
class CNetDriver;

namespace portnet {

class ClientIndex {
public:
    ClientIndex() = default;
    ~ClientIndex();
    ClientIndex(const ClientIndex&) = delete;
    ClientIndex& operator=(const ClientIndex&) = delete;

    // Room for `slots` slots (and their drivers); false when memory ran out.
    bool Make(int slots);
    int Slots() const { return m_slots; }

    // Used slots, ascending. Use and Free keep the order; both take a valid slot number.
    void Use(int slot);
    void Free(int slot);
    int NumUsed() const { return m_num_used; }
    const int* Used() const { return m_used; }
    // Position in Used() of the first used slot above `slot`.
    int After(int slot) const;
    // The lowest slot not in use, -1 when all are.
    int LowestFree() const;

    // Senders. A slot is indexed under its client's send-buffer address when the client has a
    // send buffer and no receive buffer of its own (such clients are read from that buffer).
    // Bind (re)indexes a used slot from its client's buffers as they are now; a slot that
    // cannot be indexed then is watched instead. Unbind drops the slot from both.
    void Bind(int slot, const CNetClient* client, bool match_ports);
    void Unbind(int slot);
    // Whether Bind would index the client as it is now.
    static bool Indexable(const CNetClient* client);
    // Used slots that Bind could not index, in no order.
    int NumWatched() const { return m_num_watched; }
    const int* Watched() const { return m_watched; }
    // The client's buffers or address differ from what the slot is indexed under.
    bool Stale(int slot, const CNetClient* client, bool match_ports) const;
    // The lowest indexed slot whose address matches, or -1: one hash probe, never a scan.
    int Find(const CNetAddr& addr, bool match_ports) const;
    int Find(const sockaddr_in* addr, bool match_ports) const {
        return Find(CNetAddr::FromSockaddrIn(*addr), match_ports);
    }
    // Port matching as the index was built with.
    bool MatchPorts() const { return m_match_ports; }
    void SetMatchPorts(bool on) { m_match_ports = on; }

    // Distinct drivers for one Write: cleared, then added to; returns the list.
    void ClearDrivers();
    void AddDriver(CNetDriver* driver);
    int NumDrivers() const { return m_num_drivers; }
    CNetDriver* const* Drivers() const { return m_drivers; }

private:
    struct SlotKey {
        const CNetBuf* buf; // the send buffer the key was taken from; null when not indexed
        CNetAddr key;
        int next; // the next higher slot under the same key, -1 for none
    };
    struct Entry {
        CNetAddr key;
        std::uint32_t hash; // the key's, kept so that moving entries need not hash again
        int head;           // lowest slot under the key; -1 marks an empty entry
    };

    std::uint32_t HashOf(const CNetAddr& key) const;
    static std::uint8_t Tag(std::uint32_t hash);
    int Locate(const CNetAddr& key, std::uint32_t hash) const; // entry index holding it, or -1
    void Watch(int slot);
    void Unwatch(int slot);
    void Erase(int at);
    void Release();

    int m_slots = 0;
    int* m_used = nullptr;
    int m_num_used = 0;
    SlotKey* m_keys = nullptr;
    int* m_watched = nullptr;
    int* m_watch_at = nullptr; // position of each slot in m_watched, -1 when not watched
    int m_num_watched = 0;
    Entry* m_entries = nullptr;
    std::uint8_t* m_tags = nullptr; // per entry: 0 empty, else hash bits of its key
    std::uint32_t m_mask = 0;       // entries - 1; a power of two at least twice the slots
    std::uint64_t m_seed = 0; // keeps the probe sequence of an address unguessable from outside
    bool m_match_ports = false;

    CNetDriver** m_drivers = nullptr; // slots + 1
    int m_num_drivers = 0;
    CNetDriver** m_driver_set = nullptr;  // open addressing over pointers, m_driver_mask + 1
    std::uint32_t* m_driver_at = nullptr; // where each listed driver sits in the set
    std::uint32_t m_driver_mask = 0;
};

} // namespace portnet
