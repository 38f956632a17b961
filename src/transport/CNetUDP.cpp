#include "portnet/CNetUDP.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <new>

#include "platform/PlatformUdp.h"
#include "transport/UdpBatch.h"

namespace udp = portnet::platform;

namespace {

const unsigned char kAnyBytes[16] = {};

// An IPv6 peer as a sockaddr_in holds it for the interfaces of IPv4: its family, nothing else.
void ToRecord(const CNetAddr& addr, sockaddr_in* out) {
    if (out == nullptr || addr.ToSockaddrIn(out) == 1) return;
    std::memset(out, 0, sizeof *out);
    out->sin_family = addr.Family();
}

// Batch sizes for a table of `peers`: one datagram a peer and frame fits one call each way,
// never less than a table of the default size gets, never more than one call takes.
int RingFor(int peers, int least) {
    if (peers < least) return least;
    return peers > udp::kUdpMaxBatch ? static_cast<int>(udp::kUdpMaxBatch) : peers;
}

// Kernel room for a frame's datagrams from every peer and the next frame's beginning: a small
// datagram takes about 1 KiB of the socket's buffer on Linux (its bookkeeping included).
constexpr int kReceiveBytesPerPeer = 4096;

} // namespace

SUdpBatch* SUdpBatch::Make(int recv_slots, int send_slots) {
    SUdpBatch* b = new (std::nothrow) SUdpBatch;
    if (b == nullptr) return nullptr;
    const std::size_t slots = static_cast<std::size_t>(recv_slots) + send_slots;
    b->m_recv = new (std::nothrow) udp::SUdpMessage[recv_slots];
    b->m_send = new (std::nothrow) udp::SUdpMessage[send_slots];
    b->m_data = new (std::nothrow) unsigned char[slots * kSlotBytes];
    b->m_headers = udp::UdpBatchHeadersMake(recv_slots, send_slots);
    if (!b->m_recv || !b->m_send || !b->m_data || !b->m_headers) {
        delete b;
        return nullptr;
    }
    b->m_recv_slots = recv_slots;
    b->m_send_slots = send_slots;
    for (int i = 0; i < recv_slots; ++i)
        b->m_recv[i] = {b->m_data + static_cast<std::size_t>(i) * kSlotBytes,
                        kSlotBytes,
                        0,
                        false,
                        false,
                        false,
                        {}};
    for (int i = 0; i < send_slots; ++i)
        b->m_send[i] = {b->m_data + (static_cast<std::size_t>(recv_slots) + i) * kSlotBytes,
                        kSlotBytes,
                        0,
                        false,
                        false,
                        false,
                        {}};
    return b;
}

SUdpBatch::~SUdpBatch() {
    delete[] m_recv;
    delete[] m_send;
    delete[] m_data;
    udp::UdpBatchHeadersFree(m_headers);
}

CNetUDP::CNetUDP(int port) : m_socket(udp::kUdpInvalidSocket), m_port(port) {
    m_addr_text[0] = '\0';
}

CNetUDP::CNetUDP(const char* addr_text)
    : m_socket(udp::kUdpInvalidSocket), m_port(0), m_from_text(true) {
    // A longer text is cut after 99 characters (never read past them) and refused by Init; a
    // null text is taken as empty, which Init refuses too. Names are resolved at Init, which
    // may block, so that constructing never does.
    std::size_t n = 0;
    if (addr_text != nullptr) {
        while (n < sizeof(m_addr_text) - 1 && addr_text[n] != '\0') {
            m_addr_text[n] = addr_text[n];
            ++n;
        }
        m_text_cut = addr_text[n] != '\0';
    }
    m_addr_text[n] = '\0';
    CNetAddr addr;
    if (CNetAddr::Parse(m_addr_text, &addr, nullptr, 0) == 1) m_port = addr.Port();
}

CNetUDP::~CNetUDP() {
    if (m_socket != udp::kUdpInvalidSocket) {
        // Only this class's own teardown: a derived class is already gone at this point.
        CNetUDP::Shutdown();
        m_socket = udp::kUdpInvalidSocket;
    }
    delete m_batch;
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
    m_error[0] = '\0';
    // The address is checked before any socket is made: a refused one leaves the driver closed.
    CNetAddr local;
    int stack = udp::kUdpStackIpv4;
    if (LocalAddress(&local, &stack) == -1) return -1;
    // Made once and kept across Shutdown and Init; without it every datagram takes a call.
    if (m_batch == nullptr)
        m_batch = SUdpBatch::Make(RingFor(m_expected_peers, SUdpBatch::kRecvSlots),
                                  RingFor(m_expected_peers, SUdpBatch::kSendSlots));
    m_socket = udp::UdpOpen(stack);
    if (m_socket == udp::kUdpInvalidSocket && stack == udp::kUdpStackDual &&
        udp::UdpLastError() == udp::kUdpFamilyUnsupported) {
        // No IPv6 on this system: the port on every IPv4 address instead.
        const unsigned char any4[4] = {};
        stack = udp::kUdpStackIpv4;
        local = CNetAddr::Ipv4(any4, local.Port());
        m_socket = udp::UdpOpen(stack);
    }
    m_v6 = stack != udp::kUdpStackIpv4;
    m_dual = stack == udp::kUdpStackDual;
    m_report_queued = false; // a new socket has an empty error queue
    if (m_socket == udp::kUdpInvalidSocket) return Failed("cannot open a UDP socket");
    // A failed bind leaves the socket open in m_socket; the next Init, Shutdown or the
    // destructor closes it.
    if (udp::UdpBind(m_socket, m_v6, local) == -1) {
        // A port alone, dual-stack, is told as programs of IPv4 know it (as GetAddr does).
        const CNetAddr told =
            m_dual && local.IsUnspecified() ? CNetAddr::Ipv4(kAnyBytes, local.Port()) : local;
        char shown[CNetAddr::kMaxText];
        told.ToText(shown, sizeof shown);
        return Failed("%s", shown);
    }
    SetBlockMode(true);
    ReserveReceiveBuffer();
    return Connected(nullptr) == -1 ? -1 : 0;
}

int CNetUDP::LocalAddress(CNetAddr* local, int* stack) {
    // The stack for "any address": what m_stack asks for.
    const int any_stack = m_stack == kIpv4Only   ? udp::kUdpStackIpv4
                          : m_stack == kIpv6Only ? udp::kUdpStackIpv6Only
                                                 : udp::kUdpStackDual;
    if (!m_from_text) {
        if (m_port < 0 || m_port > 65535) {
            std::snprintf(m_error, sizeof m_error, "port %d is %s", m_port,
                          m_port < 0 ? "negative" : "above 65535");
            return -1;
        }
        const auto port = static_cast<std::uint16_t>(m_port);
        *local = any_stack == udp::kUdpStackIpv4 ? CNetAddr::Ipv4(kAnyBytes, port)
                                                 : CNetAddr::Ipv6(kAnyBytes, port);
        *stack = any_stack;
        return 0;
    }
    if (m_text_cut) {
        std::snprintf(m_error, sizeof m_error, "address text longer than %d characters",
                      static_cast<int>(sizeof m_addr_text) - 1);
        return -1;
    }
    if (m_addr_text[0] == '[') {
        if (CNetAddr::Parse(m_addr_text, local, m_error, static_cast<int>(sizeof m_error)) != 1)
            return -1;
        if (m_stack == kIpv4Only) {
            std::snprintf(m_error, sizeof m_error, "%.60s: an IPv6 address on an IPv4-only driver",
                          m_addr_text);
            return -1;
        }
        *stack = local->IsUnspecified()
                     ? (any_stack == udp::kUdpStackIpv4 ? udp::kUdpStackDual : any_stack)
                     : udp::kUdpStackIpv6Only;
    } else {
        // IPv4 text and names as ever: an IPv4 socket.
        sockaddr_in in;
        if (ResolveAddr(m_addr_text, &in, m_error, static_cast<int>(sizeof m_error)) != 1)
            return -1;
        *local = CNetAddr::FromSockaddrIn(in);
        *stack = udp::kUdpStackIpv4;
    }
    m_port = local->Port();
    return 0;
}

int CNetUDP::Failed(const char* format, ...) {
    // "<what>: <the system's reason>", with the system's own number where the reason is vague.
    char what[64];
    std::va_list args;
    va_start(args, format);
    std::vsnprintf(what, sizeof what, format, args);
    va_end(args);
    const int code = udp::UdpLastError();
    const int os_error = udp::UdpLastOsError();
    if (code == udp::kUdpOtherError && os_error != 0)
        std::snprintf(m_error, sizeof m_error, "%s: %s %d", what, udp::UdpErrorText(code),
                      os_error);
    else
        std::snprintf(m_error, sizeof m_error, "%s: %s", what, udp::UdpErrorText(code));
    return -1;
}

void CNetUDP::ReserveReceiveBuffer() {
    // Only a table larger than the default asks for more than the system gives anyway.
    if (m_socket != udp::kUdpInvalidSocket && m_expected_peers > 0)
        udp::UdpReserveReceiveBuffer(m_socket, m_expected_peers * kReceiveBytesPerPeer);
}

int CNetUDP::ExpectPeers(int peers) {
    if (peers <= m_expected_peers) return 0;
    m_expected_peers = peers;
    ReserveReceiveBuffer();
    const int recv = RingFor(peers, SUdpBatch::kRecvSlots);
    const int send = RingFor(peers, SUdpBatch::kSendSlots);
    SUdpBatch* b = m_batch;
    if (b == nullptr || (b->m_recv_slots >= recv && b->m_send_slots >= send)) return 0;
    // Datagrams waiting in the ring or held would be lost with it: keep the rings then.
    if (b->m_recv_next < b->m_recv_count || b->m_send_count > 0 || m_holding) return 0;
    SUdpBatch* grown = SUdpBatch::Make(recv, send);
    if (grown == nullptr) return 0; // the rings made before still serve
    grown->m_drained = b->m_drained;
    delete b;
    m_batch = grown;
    return 0;
}

int CNetUDP::Shutdown() {
    // What was received or held for the closed socket goes with it.
    if (m_batch != nullptr) {
        m_batch->m_recv_next = m_batch->m_recv_count = m_batch->m_send_count = 0;
        m_batch->m_drained = false;
    }
    m_holding = false;
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

int CNetUDP::DisconnectedAddr(const CNetAddr& peer) {
    sockaddr_in in;
    if (peer.ToSockaddrIn(&in) == 1) return Disconnected(&in);
    return kNetEventDisconnect;
}

CNetAddr CNetUDP::GetLocalAddr() const {
    CNetAddr addr;
    if (m_socket != udp::kUdpInvalidSocket) udp::UdpGetName(m_socket, &addr);
    return addr;
}

char* CNetUDP::GetAddr() {
    CNetAddr addr = GetLocalAddr();
    if (m_socket == udp::kUdpInvalidSocket || (addr.IsUnspecified() && m_dual)) {
        // Closed: 0.0.0.0:0 as ever. Dual-stack on [::]: every IPv4 address too.
        addr = CNetAddr::Ipv4(kAnyBytes, addr.Port());
    }
    if (addr.ToText(m_name, sizeof m_name) < 0) m_name[0] = '\0';
    return m_name;
}

int CNetUDP::SendTo(int len, void* data, sockaddr_in* to) {
    if (to == nullptr) return -1;
    return Send(len, data, CNetAddr::FromSockaddrIn(*to));
}

int CNetUDP::SendToAddr(int len, void* data, const CNetAddr& to) {
    // IPv4 and loopback endpoints through SendTo, which a derived driver may override.
    sockaddr_in in;
    if (to.ToSockaddrIn(&in) == 1) return SendTo(len, data, &in);
    return Send(len, data, to);
}

int CNetUDP::Send(int len, void* data, const CNetAddr& to) {
    if (m_holding && m_batch_send && len >= 0 && len <= SUdpBatch::kSlotBytes && data) {
        if (m_batch->m_send_count == m_batch->m_send_slots) SendHeld();
        udp::SUdpMessage& m = m_batch->m_send[m_batch->m_send_count++];
        std::memcpy(m.data, data, static_cast<std::size_t>(len));
        m.len = len;
        m.addr = to;
        return 0;
    }
    if (m_holding && m_batch->m_send_count > 0) SendHeld(); // what was held leaves first
    ++m_send_calls;
    if (udp::UdpSendTo(m_socket, m_v6, data, len, to, &m_report_queued) != -1) return 0;
    // A full non-blocking socket drops the datagram, as an unreliable link would.
    return udp::UdpLastError() == udp::kUdpWouldBlock ? 0 : -1;
}

int CNetUDP::HoldSends() {
    m_holding = m_batch != nullptr && m_socket != udp::kUdpInvalidSocket;
    m_held_failures = 0;
    return 0;
}

int CNetUDP::FlushSends() {
    if (m_holding && m_batch->m_send_count > 0) SendHeld();
    m_holding = false;
    return m_held_failures > 0 ? -1 : 0;
}

void CNetUDP::SendHeld() {
    if (m_batch->m_send_count == 1) {
        // One datagram: the plain call is the cheaper one.
        m_batch->m_send_count = 0;
        udp::SUdpMessage& m = m_batch->m_send[0];
        ++m_send_calls;
        if (udp::UdpSendTo(m_socket, m_v6, m.data, m.len, m.addr, &m_report_queued) == -1 &&
            udp::UdpLastError() != udp::kUdpWouldBlock) {
            ++m_send_failures;
            ++m_held_failures;
        }
        return;
    }
    const int failed = udp::UdpSendBatch(m_socket, m_v6, m_batch->m_headers, m_batch->m_send,
                                         m_batch->m_send_count, &m_report_queued, &m_send_calls);
    m_batch->m_send_count = 0;
    m_send_failures += failed;
    m_held_failures += failed;
}

int CNetUDP::RecvFrom(int* len, void* buf, sockaddr_in* from) {
    CNetAddr peer;
    const int result = Receive(len, buf, &peer);
    m_last_from = peer;
    // Written where the receive named a peer, as the platform wrote it before.
    if (from != nullptr && peer.Family() != 0) ToRecord(peer, from);
    return result;
}

int CNetUDP::Receive(int* len, void* buf, CNetAddr* from) {
    if (len == nullptr) return -1; // no capacity given: nothing can be received safely
    SUdpBatch* b = m_batch;
    if (b != nullptr && b->m_recv_next < b->m_recv_count)
        return Received(TakeReceived(len, buf, from), len);
    // A batch costs more than a plain receive, and pays only where several datagrams wait:
    // once this drain or the last one brought two. A capacity above the ring's slots is
    // served directly, so no datagram it could hold is refused as oversize.
    const bool several = m_drain_count >= 2 || m_last_drain >= 2;
    if (b != nullptr && m_batch_receive && several && *len <= SUdpBatch::kSlotBytes) {
        if (b->m_drained) {
            b->m_drained = false; // the next call asks the system again
            *len = 0;
            return Received(0, len);
        }
        ++m_recv_calls;
        const int got = udp::UdpRecvBatch(m_socket, b->m_headers, b->m_recv, b->m_recv_slots, from,
                                          &m_report_queued);
        if (got == -1) return Received(ReceiveFailed(len, from), len);
        b->m_recv_next = 0;
        b->m_recv_count = got;
        // Short: the socket was empty. An error met after the last datagram stays pending on
        // the socket and is reported by the next call, so it keeps its place in the order. A
        // refusal noted in the error queue is handed out by the next call, still in this drain.
        b->m_drained = got < b->m_recv_slots && !m_report_queued;
        return Received(TakeReceived(len, buf, from), len);
    }
    if (b != nullptr) b->m_drained = false;
    ++m_recv_calls;
    const int got = udp::UdpRecvFrom(m_socket, buf, *len, from, &m_report_queued);
    if (got == -1) return Received(ReceiveFailed(len, from), len);
    *len = got;
    return Received(0, len);
}

int CNetUDP::Received(int result, const int* len) {
    if (result == 0 && *len == 0) {
        // Nothing waiting (or an empty datagram): this drain is over.
        m_last_drain = m_drain_count;
        m_drain_count = 0;
    } else if (result == 0) {
        ++m_drain_count;
    }
    return result;
}

int CNetUDP::TakeReceived(int* len, void* buf, CNetAddr* from) {
    const udp::SUdpMessage& m = m_batch->m_recv[m_batch->m_recv_next++];
    if (m.refused) {
        *len = 0;
        if (from != nullptr) *from = m.addr;
        return DisconnectedAddr(m.addr);
    }
    // Longer than the capacity: gone, as an oversize datagram is; the length is unchanged.
    if (m.truncated || m.len > *len) return -1;
    if (m.len > 0) std::memcpy(buf, m.data, static_cast<std::size_t>(m.len));
    *len = m.len;
    if (from != nullptr) *from = m.addr;
    return 0;
}

int CNetUDP::ReceiveFailed(int* len, CNetAddr* from) {
    switch (udp::UdpLastError()) {
    case udp::kUdpWouldBlock:
        *len = 0;
        return 0;
    case udp::kUdpConnReset:
        *len = 0;
        return from != nullptr ? DisconnectedAddr(*from) : kNetEventDisconnect;
    default:
        return -1; // oversize datagram (gone) or any other failure; length unchanged
    }
}

int CNetUDP::Broadcast(int len, void* data, sockaddr_in* to) {
    // An IPv6-only socket reaches no IPv4 address.
    if (m_v6 && !m_dual && m_socket != udp::kUdpInvalidSocket) return -1;
    if (!m_broadcast_capable && MakeBroadcastCapable() == -1) return -1;
    return SendTo(len, data, to);
}

int CNetUDP::BroadcastAddr(int len, void* data, const CNetAddr& to) {
    sockaddr_in in;
    if (!to.IsInet() || to.ToSockaddrIn(&in) != 1) return -1; // IPv6 has no broadcast
    return Broadcast(len, data, &in);
}
