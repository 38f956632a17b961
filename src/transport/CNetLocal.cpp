#include "transport/CNetLocal.h"

#include <cstring>
#include <new>

#include "transport/NetRegistry.h"

namespace {

sockaddr_in LocalAddr(int id) {
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = kNetFamilyLocal;
    addr.sin_port = static_cast<std::uint16_t>(id);
    return addr;
}

// Registered endpoint with the given id, compared in full 32 bits; null when there is none.
CNetLocal* FindEndpoint(int id) {
    for (int i = 0; i < g_local_list.Count(); ++i) {
        auto* endpoint = static_cast<CNetLocal*>(g_local_list.Get(i));
        if (endpoint->m_endpoint_id == id) return endpoint;
    }
    return nullptr;
}

} // namespace

CNetLocal* CNetLocal::Target(int id) {
    if (m_last_target_id != id || m_last_changes != g_local_list.m_changes) {
        m_last_target = FindEndpoint(id);
        m_last_target_id = id;
        m_last_changes = g_local_list.m_changes;
    }
    return m_last_target;
}

CNetDriver* CreateLocalDriver(int id) {
    return new (std::nothrow) CNetLocal(id);
}

CNetLocal::CNetLocal(int id) : m_endpoint_id(id), m_pending_len(0), m_pending_from(0) {}

// Does not leave g_local_list: ReleaseSystemNetDriver empties it right after the drivers die.
CNetLocal::~CNetLocal() = default;

int CNetLocal::SetBlockMode(bool) {
    return 0;
}

int CNetLocal::MakeBroadcastCapable() {
    m_broadcast_capable = true;
    return 0;
}

int CNetLocal::Init() {
    if (FindEndpoint(m_endpoint_id) != nullptr) return -1;
    // Out of memory for the registry node: reported as -1, the endpoint stays unregistered.
    if (!g_local_list.AddHead(this)) return -1;
    Connected(nullptr);
    return 0;
}

int CNetLocal::Shutdown() {
    return g_local_list.RemoveAt(g_local_list.Find(this)) ? 0 : -1;
}

int CNetLocal::Connected(sockaddr_in*) {
    return 0;
}

int CNetLocal::Disconnected(sockaddr_in*) {
    return 0;
}

char* CNetLocal::GetAddr() {
    const sockaddr_in addr = LocalAddr(m_endpoint_id);
    return ToString(&addr);
}

int CNetLocal::SendTo(int len, void* data, sockaddr_in* to) {
    // The id travels as a plain 16-bit number, so endpoints outside 0..65535 are unreachable.
    CNetLocal* target = to != nullptr ? Target(to->sin_port) : nullptr;
    if (target == nullptr) return 0;
    if (static_cast<unsigned>(len) > static_cast<unsigned>(kMaxDatagram)) return -1;
    if (len > 0 && data == nullptr) return -1;
    target->m_pending_len = len;
    target->m_pending_from = m_endpoint_id;
    // memmove: an endpoint may send its own mailbox to itself.
    if (len > 0) std::memmove(target->m_pending_data, data, static_cast<std::size_t>(len));
    return 0;
}

int CNetLocal::RecvFrom(int* len, void* buf, sockaddr_in* from) {
    if (m_pending_len <= 0) {
        *len = 0;
        return 0;
    }
    if (*len < m_pending_len) return -1;
    *len = m_pending_len;
    std::memcpy(buf, m_pending_data, static_cast<std::size_t>(m_pending_len));
    // Only family and port are written; the rest of the sender record is left as it was.
    if (from != nullptr) {
        from->sin_family = kNetFamilyLocal;
        from->sin_port = static_cast<std::uint16_t>(m_pending_from);
    }
    m_pending_len = 0;
    return 0;
}

int CNetLocal::Broadcast(int len, void* data, sockaddr_in*) {
    if (!m_broadcast_capable && MakeBroadcastCapable() == -1) return -1;
    sockaddr_in to = LocalAddr(0);
    // Registry order is most recent first, so the newest endpoint hears it first.
    for (int i = 0; i < g_local_list.Count(); ++i) {
        auto* endpoint = static_cast<CNetLocal*>(g_local_list.Get(i));
        if (endpoint->m_endpoint_id == m_endpoint_id) continue;
        to.sin_port = static_cast<std::uint16_t>(endpoint->m_endpoint_id);
        if (SendTo(len, data, &to) == -1) return -1;
    }
    return 0;
}
