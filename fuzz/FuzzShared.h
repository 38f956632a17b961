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

// Every entry of a history back to blank's state and its chain empty, as a new history has
// them. The entries are clones of a T, so T's own copy is called directly: through the
// virtual call, emptying the histories took a tenth of fuzz_client_read's time.
template <class T> void EmptyHistory(CNetDataHistory* h, T& blank) {
    if (h == nullptr) return;
    for (int i = 0; i < h->m_size; ++i)
        static_cast<T*>(h->m_entries[i])->T::CopyFrom(&blank);
    h->InitLink();
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
