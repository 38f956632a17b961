#include "portnet/CNetSim.h"

#include <cstring>

#include "sim/CNetSimQueue.h"
#include "sim/NetSimImpair.h"

namespace {

sockaddr_in EndpointAddr(int id) {
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.sin_family = kNetFamilyLocal;
    addr.sin_port = static_cast<std::uint16_t>(id);
    return addr;
}

} // namespace

CNetSimDriver::CNetSimDriver(CNetSimNetwork* network, int id, int queue_depth)
    : m_report_refused(false), m_network(network), m_endpoint_id(id), m_attached(false),
      m_link_free_us(0), m_queue(CNetSimQueue::Create(queue_depth)) {}

CNetSimDriver::~CNetSimDriver() {
    if (m_attached) CNetSimDriver::Shutdown();
    delete m_queue;
}

int CNetSimDriver::SetBlockMode(bool) {
    return 0;
}

int CNetSimDriver::MakeBroadcastCapable() {
    m_broadcast_capable = true;
    return 0;
}

int CNetSimDriver::Init() {
    // Ids travel in the 16-bit port field, so only 0..65535 can be reached.
    if (m_network == nullptr || m_queue == nullptr || m_attached) return -1;
    if (m_endpoint_id < 0 || m_endpoint_id > 0xFFFF) return -1;
    if (m_network->FindEndpoint(m_endpoint_id) != nullptr) return -1;
    if (m_network->m_endpoint_count == m_network->m_max_endpoints) return -1;
    m_network->m_endpoints[m_network->m_endpoint_count++] = this;
    m_network->IndexEndpoint(this);
    m_attached = true;
    return Connected(nullptr) == -1 ? -1 : 0;
}

int CNetSimDriver::Shutdown() {
    if (!m_attached || m_network == nullptr) return -1;
    CNetSimDriver** table = m_network->m_endpoints;
    int& count = m_network->m_endpoint_count;
    // Keep attachment order (it decides broadcast order) by closing the gap.
    int i = 0;
    while (i < count && table[i] != this)
        ++i;
    for (; i + 1 < count; ++i)
        table[i] = table[i + 1];
    --count;
    m_network->UnindexEndpoint(this);
    m_attached = false;
    return 0;
}

int CNetSimDriver::Connected(sockaddr_in*) {
    return 0;
}

int CNetSimDriver::Disconnected(sockaddr_in*) {
    return kNetEventDisconnect;
}

char* CNetSimDriver::GetAddr() {
    const sockaddr_in addr = EndpointAddr(m_endpoint_id);
    return ToString(&addr);
}

int CNetSimDriver::SendTo(int len, void* data, sockaddr_in* to) {
    if (!m_attached || m_network == nullptr || to == nullptr) return -1;
    if (to->sin_family != kNetFamilyLocal) return -1;
    if (len < 0 || len > kMaxDatagram || (len > 0 && data == nullptr)) return -1;
    CNetSimNetwork& net = *m_network;
    const int to_id = to->sin_port;
    CNetSimNetwork::SLink* link = net.FindLink(m_endpoint_id, to_id);
    const SNetImpairment& impairment = link != nullptr ? link->m_impairment : m_impairment;
    std::uint64_t* link_free_us = link != nullptr ? &link->m_link_free_us : &m_link_free_us;
    const SNetSimFate fate = NetSimImpair(impairment, &net.m_rng_state, link_free_us,
                                          net.m_clock_us, len, &m_stats, &net.m_stats);
    if (fate.m_copies == 0) return 0;

    CNetSimDriver* target = net.FindEndpoint(to_id);
    if (target == nullptr) {
        NetSimCount(&SNetSimStats::m_dropped_unreachable, &m_stats, &net.m_stats);
        // Like an ICMP refusal, the notice comes back after the datagram's own delay (and is
        // lost when this endpoint's own queue is full).
        if (m_report_refused)
            m_queue->Push(fate.m_due_us[0], net.m_next_order++, SNetSimDatagram::kRefused,
                          EndpointAddr(to_id), nullptr, 0);
        return 0;
    }
    const sockaddr_in from = EndpointAddr(m_endpoint_id);
    for (int i = 0; i < fate.m_copies; ++i) {
        if (!target->m_queue->Push(fate.m_due_us[i], net.m_next_order++, SNetSimDatagram::kData,
                                   from, data, len)) {
            // Counted by the receiver: it is that endpoint's queue that overflowed.
            NetSimCount(&SNetSimStats::m_dropped_queue_full, &target->m_stats, &net.m_stats);
        }
    }
    return 0;
}

int CNetSimDriver::RecvFrom(int* len, void* buf, sockaddr_in* from) {
    if (!m_attached || m_network == nullptr || len == nullptr) return -1;
    const SNetSimDatagram* d = m_queue->Due(m_network->m_clock_us);
    if (d == nullptr) {
        *len = 0;
        return 0;
    }
    sockaddr_in sender = d->m_addr;
    if (d->m_kind == SNetSimDatagram::kRefused) {
        m_queue->Pop();
        *len = 0;
        if (from != nullptr) *from = sender;
        return Disconnected(from != nullptr ? from : &sender);
    }
    if (*len < d->m_len || (d->m_len > 0 && buf == nullptr)) {
        // As over UDP, a datagram larger than the buffer is lost rather than cut.
        m_queue->Pop();
        NetSimCount(&SNetSimStats::m_dropped_oversize, &m_stats, &m_network->m_stats);
        return -1;
    }
    *len = d->m_len;
    if (d->m_len > 0) std::memcpy(buf, d->m_data, static_cast<std::size_t>(d->m_len));
    if (from != nullptr) *from = sender;
    m_queue->Pop();
    NetSimCount(&SNetSimStats::m_delivered, &m_stats, &m_network->m_stats);
    return 0;
}

int CNetSimDriver::Broadcast(int len, void* data, sockaddr_in*) {
    if (!m_broadcast_capable && MakeBroadcastCapable() == -1) return -1;
    if (!m_attached || m_network == nullptr) return -1;
    // Every target gets its own draw; the table does not change while sending.
    for (int i = 0; i < m_network->m_endpoint_count; ++i) {
        CNetSimDriver* target = m_network->m_endpoints[i];
        if (target == this) continue;
        sockaddr_in to = EndpointAddr(target->m_endpoint_id);
        if (SendTo(len, data, &to) == -1) return -1;
    }
    return 0;
}

int CNetSimDriver::GetQueued() const {
    return m_queue != nullptr ? m_queue->Count() : 0;
}
