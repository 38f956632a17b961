#pragma once

#include "PortnetExport.h"

class CNetUnreliable;

// A ring of past states of one port with a byte-wide chain from newest to older arrivals.
class PORTNET_API CNetDataHistory {
public:
    enum : unsigned char { kNoLink = 255 };

    // Takes ownership of prototype (clones it count times, then deletes it).
    CNetDataHistory(int count, CNetUnreliable* prototype, int port_id);
    ~CNetDataHistory();
    CNetDataHistory(const CNetDataHistory& other);
    CNetDataHistory& operator=(const CNetDataHistory& other);

    void InitLink();
    void SetLink(unsigned char index);
    void FixLink(unsigned char index, unsigned char next);
    unsigned char GetLink(unsigned char index) const;

    bool m_owns_entries;
    unsigned char m_size;
    unsigned char m_newest;
    unsigned char* m_links;
    CNetUnreliable** m_entries;
    int m_full_count;
    int m_delta_count;
    bool m_owner; // false for copies: they share the arrays and never free them
};
