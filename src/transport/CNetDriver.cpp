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
