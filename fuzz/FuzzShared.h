// What several fuzz harnesses build alike: the address of an in-process endpoint, and the
// small secure driver of a harness's world (a pre-shared key, room for a few sessions).
#pragma once

#include <cstring>

#include "portnet/CNetDtls.h"
#include "portnet/portnet.h"

namespace portnet_fuzz {

inline sockaddr_in LocalEndpoint(int id) {
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = kNetFamilyLocal;
    a.sin_port = static_cast<unsigned short>(id);
    return a;
}

// A history entry that notes when a state is copied into it, the only way the library changes
// an entry, so that a reset empties only the entries an input used: emptying every entry of
// every history took a tenth of fuzz_client_read's time.
template <class T> class NotedEntry : public T {
public:
    CNetData* Clone() override { return new NotedEntry(*this); }
    int CopyFrom(CNetUnreliable* src) override {
        m_used = true;
        return T::CopyFrom(src);
    }
    bool m_used = false;
};

// A history of n entries like a T that note their use.
template <class T> CNetDataHistory* NotedHistory(int n, int port_id) {
    return new CNetDataHistory(n, new NotedEntry<T>, port_id);
}

// Every entry of a NotedHistory<T> an input used back to blank's state and the chain empty, as
// a new history has them.
template <class T> void EmptyHistory(CNetDataHistory* h, T& blank) {
    if (h == nullptr) return;
    for (int i = 0; i < h->m_size; ++i) {
        auto* entry = static_cast<NotedEntry<T>*>(h->m_entries[i]);
        if (!entry->m_used) continue;
        entry->T::CopyFrom(&blank);
        entry->m_used = false;
    }
    h->InitLink();
}

// Ports 1 to ports - 1 of a harness's manager started again (port `timed` with `lifetime`, the
// others without) and their histories emptied: `timed` holds a Blob, every other a Position.
template <class Blob, class Position>
void RestartPorts(CNetManager& mgr, int ports, int timed, int lifetime) {
    static Blob blank_blob;
    static Position blank_position;
    for (int p = 1; p < ports; ++p) {
        CNetDataPort& port = mgr.m_ports[p];
        if (port.m_object) mgr.InitPort(p, p == timed ? lifetime : -1);
        if (p == timed) {
            EmptyHistory(port.m_reading_history, blank_blob);
            EmptyHistory(port.m_writing_history, blank_blob);
        } else {
            EmptyHistory(port.m_reading_history, blank_position);
            EmptyHistory(port.m_writing_history, blank_position);
        }
    }
}

template <int N> SNetDtlsConfig SmallDtls(int role, const unsigned char (&key)[N]) {
    SNetDtlsConfig c;
    c.m_role = role;
    c.m_psk_key = key;
    c.m_psk_key_len = N;
    c.m_max_sessions = 4;
    c.m_max_half_open = 2;
    return c;
}

} // namespace portnet_fuzz
