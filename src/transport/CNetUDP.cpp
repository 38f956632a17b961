#include "portnet/CNetUDP.h"

#include <cstring>

#include "platform/PlatformUdp.h"

namespace udp = portnet::platform;

namespace {

// Address record size handed to the socket calls, as the platform expects it.
static_assert(sizeof(sockaddr_in) == 16, "address records are 16 bytes");

sockaddr_in MakeInetAddr() {
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.sin_family = kNetFamilyInet;
    return addr;
}

} // namespace

CNetUDP::CNetUDP(int port) : m_socket(udp::kUdpInvalidSocket), m_port(port) {
    m_addr_text[0] = '\0';
}

CNetUDP::CNetUDP(const char* addr_text) : m_socket(udp::kUdpInvalidSocket), m_port(0) {
    // A longer text is cut after 99 characters (never read past them), and a null text is
    // taken as empty: binding then falls back to any address on port 0.
    std::size_t n = 0;
    if (addr_text != nullptr) {
        while (n < sizeof(m_addr_text) - 1 && addr_text[n] != '\0') {
            m_addr_text[n] = addr_text[n];
            ++n;
        }
    }
    m_addr_text[n] = '\0';
    sockaddr_in addr = MakeInetAddr();
    GetAddrFromString(m_addr_text, &addr);
    m_port = ntohs(addr.sin_port);
}

CNetUDP::~CNetUDP() {
    if (m_socket != udp::kUdpInvalidSocket) {
        // Only this class's own teardown: a derived class is already gone at this point.
        CNetUDP::Shutdown();
        m_socket = udp::kUdpInvalidSocket;
    }
}

int CNetUDP::SetBlockMode(bool non_blocking) {
    return udp::UdpSetNonBlocking(m_socket, non_blocking) == -1 ? -1 : 0;
}

int CNetUDP::MakeBroadcastCapable() {
    if (m_broadcast_capable) return 0;
    if (udp::UdpEnableBroadcast(m_socket) == -1) return -1;
    m_broadcast_capable = true;
    return 0;
}

int CNetUDP::Init() {
    if (m_socket != udp::kUdpInvalidSocket) Shutdown();
    m_socket = udp::UdpOpen();
    m_report_queued = false; // a new socket has an empty error queue
    if (m_socket == udp::kUdpInvalidSocket) return -1;
    sockaddr_in local = MakeInetAddr();
    if (m_addr_text[0] == '\0')
        local.sin_port = htons(static_cast<unsigned short>(m_port));
    else
        GetAddrFromString(m_addr_text, &local);
    // A failed bind leaves the socket open in m_socket; the next Init, Shutdown or the
    // destructor closes it.
    if (udp::UdpBind(m_socket, &local) == -1) return -1;
    SetBlockMode(true);
    return Connected(nullptr) == -1 ? -1 : 0;
}

int CNetUDP::Shutdown() {
    udp::UdpClose(m_socket);
    m_socket = udp::kUdpInvalidSocket;
    return 0;
}

int CNetUDP::Connected(sockaddr_in* /*peer*/) {
    return 0;
}

int CNetUDP::Disconnected(sockaddr_in* /*peer*/) {
    return kNetEventDisconnect;
}

char* CNetUDP::GetAddr() {
    sockaddr_in addr = MakeInetAddr();
    udp::UdpGetName(m_socket, &addr); // a closed driver keeps 0.0.0.0:0
    return ToString(&addr);
}

int CNetUDP::SendTo(int len, void* data, sockaddr_in* to) {
    if (udp::UdpSendTo(m_socket, data, len, to, &m_report_queued) != -1) return 0;
    // A full non-blocking socket drops the datagram, as an unreliable link would.
    return udp::UdpLastError() == udp::kUdpWouldBlock ? 0 : -1;
}

int CNetUDP::RecvFrom(int* len, void* buf, sockaddr_in* from) {
    if (len == nullptr) return -1; // no capacity given: nothing can be received safely
    int got = udp::UdpRecvFrom(m_socket, buf, *len, from, &m_report_queued);
    if (got != -1) {
        *len = got;
        return 0;
    }
    switch (udp::UdpLastError()) {
    case udp::kUdpWouldBlock:
        *len = 0;
        return 0;
    case udp::kUdpConnReset:
        *len = 0;
        return Disconnected(from);
    default:
        return -1; // oversize datagram (gone) or any other failure; length unchanged
    }
}

int CNetUDP::Broadcast(int len, void* data, sockaddr_in* to) {
    if (!m_broadcast_capable && MakeBroadcastCapable() == -1) return -1;
    return SendTo(len, data, to);
}
