#pragma once

#include <cstdint>

#include "PortnetExport.h"

// A running hash of what a manager delivered in one frame: every datagram it routed and what
// became of it, every record handed to a port's object (its bytes, and a state's time stamp),
// instant and out-of-band messages, new clients and the driver's reports. Two managers that
// hash equal frame after frame delivered the same things in the same order. A recorder or
// replay sets CNetManager::m_frame_hash to one; a manager without one (the default) hashes
// nothing. An item's bytes are mixed 8 little-endian bytes at a time into four lanes side by
// side (a multiply and a fold, the same on every machine), and the item then into the frame's
// value: no allocation, well under a cycle a byte.
class PORTNET_API CNetFrameHash {
public:
    // What an item is. The numbers enter the hash: they never change.
    enum : int {
        kDatagram = 1,  // a datagram routed: slot (-1 none), length, Read's result
        kRecord = 2,    // a record delivered to a port's object: its bytes
        kState = 3,     // a state's bytes and the time stamp it was given
        kSkipped = 4,   // a repeated reliable record stepped over
        kLateBlock = 5, // a block record taken from a packet that came late
        kInstant = 6,   // an instant message handed to the client
        kOutOfBand = 7, // an out-of-band datagram handed to the host
        kEvent = 8,     // a driver's report (kNetEvent*) and the slot it named
        kNewClient = 9, // a stranger's datagram offered to CreateClient, and the slot it took
    };

    CNetFrameHash() { Reset(); }
    void Reset() {
        m_value = kOffset;
        m_items = 0;
    }
    // One item: its kind, two numbers (slot and port, a length, a result ...) and its bytes
    // (none when data is null or len is 0).
    void Add(int kind, int a, int b, const unsigned char* data, int len);

    std::uint64_t Value() const { return m_value; }
    std::uint32_t Items() const { return m_items; }

private:
    static constexpr std::uint64_t kOffset = 0xcbf29ce484222325ull; // any odd start will do
    std::uint64_t m_value;
    std::uint32_t m_items;
};
