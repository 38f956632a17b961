#include "portnet/CNetDriver.h"

#include <cstring>

#include "platform/PlatformSystem.h"

int CNetDriver::m_init_cnt = 0;
SNetSocketData CNetDriver::m_winsockdata = {};

namespace {
// Socket layer version 2.2, as the drivers have always asked for.
constexpr std::uint16_t kSocketVersion = 0x0202;
} // namespace

// Every driver holds one reference on the socket layer: the first one starts it, the last
// one to go cleans it up.
CNetDriver::CNetDriver() : m_broadcast_capable(false) {
    if (m_init_cnt++ == 0) {
        portnet::platform::SocketLayerInfo info{};
        portnet::platform::SocketStartup(kSocketVersion, &info);
        m_winsockdata.m_version = info.version;
        m_winsockdata.m_high_version = info.high_version;
        static_assert(sizeof m_winsockdata.m_description == sizeof info.description, "same size");
        std::memcpy(m_winsockdata.m_description, info.description, sizeof info.description);
    }
}

CNetDriver::~CNetDriver() {
    if (--m_init_cnt == 0) portnet::platform::SocketCleanup();
}

int CNetDriver::HoldSends() {
    return 0;
}

int CNetDriver::FlushSends() {
    return 0;
}

int CNetDriver::GetPeerIdentity(const sockaddr_in*, SNetPeerIdentity* out) {
    if (out) *out = SNetPeerIdentity{};
    return 0;
}

int CNetDriver::GetGoneReason(const sockaddr_in*) {
    return kNetGoneUnreachable;
}

int CNetDriver::ExpectPeers(int) {
    return 0;
}

int CNetDriver::SendToAddr(int len, void* data, const CNetAddr& to) {
    sockaddr_in in;
    if (to.ToSockaddrIn(&in) != 1) return -1;
    return SendTo(len, data, &in);
}

int CNetDriver::RecvFromAddr(int* len, void* buf, CNetAddr* from) {
    sockaddr_in in;
    std::memset(&in, 0, sizeof in);
    if (from != nullptr) from->ToSockaddrIn(&in); // the family a driver may look at first
    const int result = RecvFrom(len, buf, &in);
    if (from == nullptr || result == -1) return result;
    if (in.sin_family == kNetFamilyInet6)
        *from = LastSender();
    else if (in.sin_family != 0)
        *from = CNetAddr::FromSockaddrIn(in);
    return result;
}

CNetAddr CNetDriver::LastSender() const {
    return CNetAddr();
}

int CNetDriver::BroadcastAddr(int len, void* data, const CNetAddr& to) {
    sockaddr_in in;
    if (to.ToSockaddrIn(&in) != 1) return -1;
    return Broadcast(len, data, &in);
}

int CNetDriver::ConnectedAddr(const CNetAddr& peer) {
    sockaddr_in in;
    return peer.ToSockaddrIn(&in) == 1 ? Connected(&in) : 0;
}

int CNetDriver::DisconnectedAddr(const CNetAddr& peer) {
    sockaddr_in in;
    return peer.ToSockaddrIn(&in) == 1 ? Disconnected(&in) : 0;
}

int CNetDriver::GetPeerIdentityAddr(const CNetAddr& peer, SNetPeerIdentity* out) {
    sockaddr_in in;
    if (peer.ToSockaddrIn(&in) == 1) return GetPeerIdentity(&in, out);
    if (out) *out = SNetPeerIdentity{};
    return 0;
}

int CNetDriver::GetGoneReasonAddr(const CNetAddr& peer) {
    sockaddr_in in;
    return peer.ToSockaddrIn(&in) == 1 ? GetGoneReason(&in) : kNetGoneUnreachable;
}

const char* NetGoneText(int reason) {
    switch (reason) {
    case kNetGoneLeft:
        return "left";
    case kNetGoneTimedOut:
        return "timed out";
    case kNetGoneUnreachable:
        return "unreachable";
    case kNetGoneSessionEnded:
        return "secure session ended";
    case kNetGoneRestarted:
        return "restarted";
    case kNetGoneKicked:
        return "kicked";
    case kNetGoneRefused:
        return "refused";
    default:
        return "unknown reason";
    }
}
