#include "portnet/CNetImpairedDriver.h"

#include <cstring>

#include "client/NetWrap.h"
#include "portnet/CNetTime.h"
#include "sim/CNetSimQueue.h"
#include "sim/NetSimImpair.h"

CNetImpairedDriver::CNetImpairedDriver(CNetDriver* inner, std::uint64_t seed, int queue_depth)
    : m_inner(inner), m_use_library_clock(true), m_rng_state(NetSimSeed(seed)),
      m_time(CNetTime::GetTime()), m_clock_us(0), m_next_order(0), m_link_free_us(0),
      m_queue(CNetSimQueue::Create(queue_depth)) {}

CNetImpairedDriver::~CNetImpairedDriver() {
    delete m_queue;
}

int CNetImpairedDriver::SetBlockMode(bool non_blocking) {
    return m_inner != nullptr ? m_inner->SetBlockMode(non_blocking) : -1;
}

int CNetImpairedDriver::MakeBroadcastCapable() {
    if (m_inner == nullptr || m_inner->MakeBroadcastCapable() == -1) return -1;
    m_broadcast_capable = true;
    return 0;
}

int CNetImpairedDriver::Init() {
    if (m_inner == nullptr || m_queue == nullptr) return -1;
    m_queue->Clear();
    return m_inner->Init();
}

int CNetImpairedDriver::Shutdown() {
    if (m_inner == nullptr) return -1;
    if (m_queue != nullptr) m_queue->Clear();
    return m_inner->Shutdown();
}

int CNetImpairedDriver::Connected(sockaddr_in* peer) {
    return m_inner != nullptr ? m_inner->Connected(peer) : 0;
}

int CNetImpairedDriver::Disconnected(sockaddr_in* peer) {
    return m_inner != nullptr ? m_inner->Disconnected(peer) : kNetEventDisconnect;
}

char* CNetImpairedDriver::GetAddr() {
    return m_inner != nullptr ? m_inner->GetAddr() : nullptr;
}

namespace {

// Hands one datagram to the wrapped driver the way it was sent.
// An IPv4 or loopback destination goes as the record it was given; an IPv6 one (its record
// holds its family alone) as the address kept beside it.
int Pass(CNetDriver* inner, int kind, int len, void* data, sockaddr_in* to, const CNetAddr& v6) {
    if (to->sin_family == kNetFamilyInet6)
        return kind == SNetSimDatagram::kBroadcast ? inner->BroadcastAddr(len, data, v6)
                                                   : inner->SendToAddr(len, data, v6);
    return kind == SNetSimDatagram::kBroadcast ? inner->Broadcast(len, data, to)
                                               : inner->SendTo(len, data, to);
}

// The library clock restarts from 0 when the host initialises it again: then take the new
// reading as the base instead of waiting for the old time to come back.
void FollowLibraryClock(CNetImpairedDriver& self) {
    const int now = CNetTime::GetTime();
    if (portnet::WrapBefore(now, self.m_time)) self.m_time = now;
    NetSimSetClock(&self.m_time, &self.m_clock_us, now);
}

} // namespace

int CNetImpairedDriver::Flush() {
    if (m_inner == nullptr || m_queue == nullptr) return 0;
    if (m_use_library_clock) FollowLibraryClock(*this);
    int handed = 0;
    // Bounded by the queue: every pass pops one datagram and nothing is pushed meanwhile.
    while (SNetSimDatagram* held = m_queue->Due(m_clock_us)) {
        if (Pass(m_inner, held->m_kind, held->m_len, held->m_data, &held->m_addr, held->m_peer) ==
            -1) {
            ++m_stats.m_send_failed;
        } else {
            ++m_stats.m_delivered;
            ++handed;
        }
        m_queue->Pop();
    }
    return handed;
}

namespace {

int Impair(CNetImpairedDriver& self, int kind, int len, void* data, sockaddr_in* to,
           const CNetAddr& v6) {
    if (self.m_inner == nullptr || self.m_queue == nullptr) return -1;
    if (len < 0 || len > CNetImpairedDriver::kMaxDatagram || (len > 0 && data == nullptr) ||
        to == nullptr)
        return -1;
    self.Flush();
    const SNetSimFate fate =
        NetSimImpair(self.m_impairment, &self.m_rng_state, &self.m_link_free_us, self.m_clock_us,
                     len, &self.m_stats, nullptr);
    int result = 0;
    for (int i = 0; i < fate.m_copies; ++i) {
        // Undelayed copies go at once; the rest wait in due-time order.
        if (fate.m_due_us[i] <= self.m_clock_us) {
            if (Pass(self.m_inner, kind, len, data, to, v6) == -1) {
                ++self.m_stats.m_send_failed;
                result = -1;
            } else {
                ++self.m_stats.m_delivered;
            }
        } else if (!self.m_queue->Push(fate.m_due_us[i], self.m_next_order++, kind, *to, v6, data,
                                       len)) {
            ++self.m_stats.m_dropped_queue_full;
        }
    }
    return result;
}

} // namespace

int CNetImpairedDriver::SendTo(int len, void* data, sockaddr_in* to) {
    return Impair(*this, SNetSimDatagram::kData, len, data, to, CNetAddr());
}

int CNetImpairedDriver::SendToAddr(int len, void* data, const CNetAddr& to) {
    sockaddr_in in;
    if (to.ToSockaddrIn(&in) == 1) return SendTo(len, data, &in);
    std::memset(&in, 0, sizeof in);
    in.sin_family = kNetFamilyInet6; // the record of an IPv6 destination
    return Impair(*this, SNetSimDatagram::kData, len, data, &in, to);
}

int CNetImpairedDriver::RecvFrom(int* len, void* buf, sockaddr_in* from) {
    if (m_inner == nullptr) return -1;
    Flush();
    return m_inner->RecvFrom(len, buf, from);
}

CNetAddr CNetImpairedDriver::LastSender() const {
    return m_inner != nullptr ? m_inner->LastSender() : CNetAddr();
}

int CNetImpairedDriver::Broadcast(int len, void* data, sockaddr_in* to) {
    if (!m_broadcast_capable && MakeBroadcastCapable() == -1) return -1;
    return Impair(*this, SNetSimDatagram::kBroadcast, len, data, to, CNetAddr());
}

int CNetImpairedDriver::BroadcastAddr(int len, void* data, const CNetAddr& to) {
    sockaddr_in in;
    if (to.ToSockaddrIn(&in) != 1) return -1; // IPv6 has no broadcast
    return Broadcast(len, data, &in);
}

int CNetImpairedDriver::DisconnectedAddr(const CNetAddr& peer) {
    sockaddr_in in;
    if (peer.ToSockaddrIn(&in) == 1) return Disconnected(&in);
    return m_inner != nullptr ? m_inner->DisconnectedAddr(peer) : kNetEventDisconnect;
}

void CNetImpairedDriver::SetTime(int ms) {
    m_use_library_clock = false;
    NetSimSetClock(&m_time, &m_clock_us, ms);
}

void CNetImpairedDriver::Advance(int ms) {
    m_use_library_clock = false;
    if (ms > 0) NetSimSetClock(&m_time, &m_clock_us, portnet::WrapAdd(m_time, ms));
}

int CNetImpairedDriver::GetQueued() const {
    return m_queue != nullptr ? m_queue->Count() : 0;
}

int CNetImpairedDriver::HoldSends() {
    return m_inner ? m_inner->HoldSends() : 0;
}

int CNetImpairedDriver::ExpectPeers(int peers) {
    return m_inner ? m_inner->ExpectPeers(peers) : 0;
}

int CNetImpairedDriver::FlushSends() {
    return m_inner ? m_inner->FlushSends() : 0;
}
