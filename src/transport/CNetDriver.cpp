#include "portnet/CNetDriver.h"

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
    if (m_init_cnt++ == 0) portnet::platform::SocketStartup(kSocketVersion, &m_winsockdata);
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
