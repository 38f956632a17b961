#include "platform/PlatformUdp.h"

#include "platform/PlatformAddr.h"

#include <winsock2.h>

#include <cstring>
#include <new>

namespace portnet::platform {

namespace {

// Like Winsock's own last-error value: one process-wide slot, read right after the failing
// call on the one networking thread.
int g_last_error = kUdpNoError;
int g_last_os_error = 0;

int Fail(int code, int os_error = 0) {
    g_last_error = code;
    g_last_os_error = os_error;
    return -1;
}

// The library's codes are Winsock's numbers; only these are told apart.
int CodeOfWsa(int err) {
    switch (err) {
    case WSAEWOULDBLOCK:
        return kUdpWouldBlock;
    case WSAEMSGSIZE:
        return kUdpMessageSize;
    case WSAECONNRESET:
        return kUdpConnReset;
    case WSAEACCES:
        return kUdpAccessDenied;
    case WSAEINVAL:
        return kUdpInvalidArgument;
    case WSAEMFILE:
        return kUdpTooManySockets;
    case WSAEAFNOSUPPORT:
    case WSAEPROTONOSUPPORT:
        return kUdpFamilyUnsupported;
    case WSAEADDRINUSE:
        return kUdpAddrInUse;
    case WSAEADDRNOTAVAIL:
        return kUdpAddrNotAvailable;
    case WSAENETDOWN:
        return kUdpNetworkDown;
    case WSAENOBUFS:
        return kUdpNoBuffers;
    default:
        return kUdpOtherError;
    }
}

int FailFromWsa(int err) {
    return Fail(CodeOfWsa(err), err);
}

int FailFromLastWsa() {
    return FailFromWsa(WSAGetLastError());
}

SOCKET Handle(int sock) {
    return sock < 0 ? INVALID_SOCKET : static_cast<SOCKET>(static_cast<unsigned int>(sock));
}

} // namespace

int UdpLastError() {
    return g_last_error;
}

int UdpLastOsError() {
    return g_last_os_error;
}

int UdpOpen(int stack) {
    const int family = stack == kUdpStackIpv4 ? AF_INET : AF_INET6;
    // Not inherited, so that a host that starts other programs does not leak the socket.
    // Windows before 7 SP1 does not know the flag and refuses it.
    SOCKET s = WSASocketW(family, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET && WSAGetLastError() == WSAEINVAL)
        s = WSASocketW(family, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, 0);
    if (s == INVALID_SOCKET) {
        FailFromLastWsa();
        return kUdpInvalidSocket;
    }
    if (family == AF_INET6) {
        // Windows makes IPv6 sockets IPv6-only unless told otherwise.
        const DWORD v6only = stack == kUdpStackIpv6Only ? 1 : 0;
        if (setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&v6only),
                       sizeof(v6only)) != 0) {
            const int err = WSAGetLastError();
            closesocket(s);
            FailFromWsa(err);
            return kUdpInvalidSocket;
        }
    }
    // Winsock reports an ICMP port unreachable on the next receive (WSAECONNRESET, sender set
    // to the refused peer) unless SIO_UDP_CONNRESET turns it off; it stays on, as it is how the
    // peer-gone event is detected.
    if (static_cast<unsigned long long>(s) > 0x7FFFFFFFu) { // cannot happen: see the header
        closesocket(s);
        Fail(kUdpOtherError);
        return kUdpInvalidSocket;
    }
    return static_cast<int>(s);
}

void UdpClose(int sock) {
    if (sock >= 0) closesocket(Handle(sock));
}

int UdpBind(int sock, bool v6, const CNetAddr& addr) {
    sockaddr_storage ss;
    const int len = AddrToSockaddr(addr, v6, &ss);
    if (len < 0) return Fail(kUdpFamilyUnsupported);
    if (bind(Handle(sock), reinterpret_cast<const sockaddr*>(&ss), len) != 0)
        return FailFromLastWsa();
    return 0;
}

int UdpSetNonBlocking(int sock, bool non_blocking) {
    u_long value = non_blocking ? 1 : 0;
    if (ioctlsocket(Handle(sock), FIONBIO, &value) != 0) return FailFromLastWsa();
    return 0;
}

int UdpEnableBroadcast(int sock) {
    BOOL on = TRUE;
    if (setsockopt(Handle(sock), SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on),
                   sizeof(on)) != 0)
        return FailFromLastWsa();
    return 0;
}

int UdpBroadcastEnabled(int sock) {
    BOOL on = FALSE;
    int size = sizeof(on);
    if (getsockopt(Handle(sock), SOL_SOCKET, SO_BROADCAST, reinterpret_cast<char*>(&on), &size) !=
        0)
        return FailFromLastWsa();
    return on != FALSE ? 1 : 0;
}

int UdpGetName(int sock, CNetAddr* addr) {
    sockaddr_storage name;
    std::memset(&name, 0, sizeof(name));
    int size = sizeof(name);
    if (getsockname(Handle(sock), reinterpret_cast<sockaddr*>(&name), &size) != 0)
        return FailFromLastWsa();
    CNetAddr found;
    if (AddrFromSockaddr(reinterpret_cast<const sockaddr*>(&name), size, &found) != 1)
        return Fail(kUdpOtherError);
    *addr = found;
    return 0;
}

int UdpSendTo(int sock, bool v6, const void* data, int len, const CNetAddr& to,
              bool* /*report_queued*/) {
    if (len < 0) return Fail(kUdpOtherError);
    sockaddr_storage ss;
    const int ss_len = AddrToSockaddr(to, v6, &ss);
    if (ss_len < 0) return Fail(kUdpFamilyUnsupported);
    int sent = SOCKET_ERROR;
    // A reset left by an earlier datagram may fail this send once without sending; the
    // datagram goes out on the second try. That reset is not seen by the receive side.
    for (int tries = 0; tries < 2 && sent == SOCKET_ERROR; ++tries) {
        sent = sendto(Handle(sock), static_cast<const char*>(data), len, 0,
                      reinterpret_cast<const sockaddr*>(&ss), ss_len);
        if (sent == SOCKET_ERROR && WSAGetLastError() != WSAECONNRESET) break;
    }
    if (sent == SOCKET_ERROR) return FailFromLastWsa();
    return sent;
}

int UdpRecvFrom(int sock, void* buf, int cap, CNetAddr* from, bool* /*report_queued*/) {
    if (cap < 0) return Fail(kUdpOtherError);
    sockaddr_storage sender;
    std::memset(&sender, 0, sizeof(sender));
    int sender_size = sizeof(sender);
    const int got = recvfrom(Handle(sock), static_cast<char*>(buf), cap, 0,
                             reinterpret_cast<sockaddr*>(&sender), &sender_size);
    if (got == SOCKET_ERROR) {
        const int err = WSAGetLastError();
        // The refusal names the refused peer in the sender record. An oversize datagram
        // (WSAEMSGSIZE) is cut to the capacity and consumed: a failed receive.
        if (err == WSAECONNRESET && from != nullptr)
            AddrFromSockaddr(reinterpret_cast<const sockaddr*>(&sender), sender_size, from);
        return FailFromWsa(err);
    }
    if (from != nullptr)
        AddrFromSockaddr(reinterpret_cast<const sockaddr*>(&sender), sender_size, from);
    return got;
}

// Winsock has no batched datagram calls: a batch is plain calls in a row, with the same
// results as the Linux side gives. The headers only carry the counts.
struct SUdpBatchHeaders {
    int recv_count, send_count;
};

SUdpBatchHeaders* UdpBatchHeadersMake(int recv, int send) {
    if (recv < 1 || recv > kUdpMaxBatch || send < 1 || send > kUdpMaxBatch) return nullptr;
    return new (std::nothrow) SUdpBatchHeaders{recv, send};
}

void UdpBatchHeadersFree(SUdpBatchHeaders* headers) {
    delete headers;
}

int UdpReserveReceiveBuffer(int sock, int bytes) {
    int have = 0;
    int size = sizeof(have);
    if (getsockopt(Handle(sock), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&have), &size) != 0)
        return FailFromLastWsa();
    if (have >= bytes) return 0;
    if (setsockopt(Handle(sock), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes),
                   sizeof(bytes)) != 0)
        return FailFromLastWsa();
    return 0;
}

int UdpRecvBatch(int sock, SUdpBatchHeaders* h, SUdpMessage* msgs, int count,
                 CNetAddr* /*from: a refusal always takes its place in the batch*/,
                 bool* report_queued) {
    if (h == nullptr || count < 1 || count > h->recv_count) return Fail(kUdpOtherError);
    int got = 0;
    while (got < count) {
        SUdpMessage& m = msgs[got];
        const int len = UdpRecvFrom(sock, m.data, m.cap, &m.addr, report_queued);
        m.truncated = len == -1 && UdpLastError() == kUdpMessageSize;
        m.refused = len == -1 && UdpLastError() == kUdpConnReset;
        if (len == -1 && !m.truncated && !m.refused) {
            if (got > 0) break; // nothing more waits now (or an error the next call meets)
            return -1;
        }
        // Winsock reports each refusal once, in its place among the datagrams, and reading
        // goes on after it: a batch that stopped there would end the caller's drain (a short
        // batch says the socket is empty) with datagrams still waiting, and with a refusal
        // drawn by every frame's datagram to a vanished peer, the wait would grow every frame.
        m.len = m.truncated ? m.cap + 1 : (m.refused ? 0 : len); // too long: the datagram is gone
        ++got;
    }
    return got;
}

int UdpSendBatch(int sock, bool v6, SUdpBatchHeaders* h, SUdpMessage* msgs, int count,
                 bool* report_queued, int* calls) {
    if (count < 0) return 0;
    if (h == nullptr || count > h->send_count) return count;
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        if (calls != nullptr) ++*calls;
        msgs[i].failed =
            UdpSendTo(sock, v6, msgs[i].data, msgs[i].len, msgs[i].addr, report_queued) == -1 &&
            UdpLastError() != kUdpWouldBlock;
        failed += msgs[i].failed ? 1 : 0;
    }
    return failed;
}

} // namespace portnet::platform
