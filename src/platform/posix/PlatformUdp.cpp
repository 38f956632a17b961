#include "platform/PlatformUdp.h"

#include "platform/PlatformAddr.h"

#include <cerrno>
#include <cstring>
#include <new>

#include <linux/errqueue.h>
#include <netinet/icmp6.h>
#include <netinet/ip_icmp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace portnet::platform {

namespace {

// Like the socket layer's own last-error value: one process-wide slot, read right after
// the failing call on the one networking thread.
int g_last_error = kUdpNoError;
int g_last_os_error = 0;

int Fail(int code, int os_error = 0) {
    g_last_error = code;
    g_last_os_error = os_error;
    return -1;
}

int CodeOfErrno(int err) {
    switch (err) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
        return kUdpWouldBlock;
    case EACCES:
    case EPERM:
        return kUdpAccessDenied;
    case EINVAL:
        return kUdpInvalidArgument;
    case EMFILE:
    case ENFILE:
        return kUdpTooManySockets;
    case EAFNOSUPPORT:
    case EPROTONOSUPPORT:
        return kUdpFamilyUnsupported;
    case EADDRINUSE:
        return kUdpAddrInUse;
    case EADDRNOTAVAIL:
        return kUdpAddrNotAvailable;
    case ENETDOWN:
        return kUdpNetworkDown;
    case ENOBUFS:
    case ENOMEM:
        return kUdpNoBuffers;
    default:
        return kUdpOtherError;
    }
}

int FailFromErrno(int err) {
    return Fail(CodeOfErrno(err), err);
}

// kEmpty: the queue was found empty; kOther: an entry that is no refusal was taken.
enum class ErrQueue { kEmpty, kRefused, kOther };

// Takes one ICMP report off the socket's error queue. A refused destination (port
// unreachable) is written to `from`. Reports of local origin are skipped; a few tries
// bound the work.
ErrQueue TakeIcmpReport(int sock, CNetAddr* from) {
    for (int tries = 0; tries < 8; ++tries) {
        sockaddr_storage offender;
        std::memset(&offender, 0, sizeof(offender));
        char control[256];
        char payload[1]; // the copy of the refused datagram is not needed
        iovec iov{payload, sizeof(payload)};
        msghdr msg;
        std::memset(&msg, 0, sizeof(msg));
        msg.msg_name = &offender;
        msg.msg_namelen = sizeof(offender);
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof(control);
        if (recvmsg(sock, &msg, MSG_ERRQUEUE) < 0) return ErrQueue::kEmpty;
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
            // An IPv6 socket reports on its own level, for its v4-mapped peers too (ICMP then,
            // not ICMPv6; both say "port unreachable" as ECONNREFUSED).
            const bool v4 = c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_RECVERR;
            const bool v6 = c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_RECVERR;
            if (!v4 && !v6) continue;
            sock_extended_err ee;
            std::memcpy(&ee, CMSG_DATA(c), sizeof(ee));
            if (ee.ee_origin != SO_EE_ORIGIN_ICMP && ee.ee_origin != SO_EE_ORIGIN_ICMP6)
                break; // local report: try the next entry
            if (ee.ee_errno != ECONNREFUSED) return ErrQueue::kOther;
            if (from != nullptr)
                AddrFromSockaddr(reinterpret_cast<const sockaddr*>(&offender),
                                 static_cast<int>(msg.msg_namelen), from);
            return ErrQueue::kRefused;
        }
    }
    return ErrQueue::kOther; // local reports only so far: the queue may hold more
}

// Errors that an ICMP report leaves pending on the socket (with IP_RECVERR) and that the
// next send or receive returns once, whatever that call was.
bool IsPendingIcmpError(int err) {
    return err == ECONNREFUSED || err == EHOSTUNREACH || err == ENETUNREACH || err == EHOSTDOWN ||
           err == EPROTO || err == EMSGSIZE;
}

} // namespace

int UdpLastError() {
    return g_last_error;
}

int UdpLastOsError() {
    return g_last_os_error;
}

int UdpOpen(int stack) {
    const bool v6 = stack != kUdpStackIpv4;
    // Close-on-exec so that a host that starts other programs does not leak the socket.
    int sock = socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (sock < 0) {
        FailFromErrno(errno);
        return kUdpInvalidSocket;
    }
    // Without IP_RECVERR an unconnected Linux UDP socket silently ignores ICMP port
    // unreachable; with it, a refused datagram makes a later receive fail and leaves the
    // refused address in the error queue, which is how the peer-gone event is detected. An
    // IPv6 socket needs IPV6_RECVERR for ICMPv6 and IP_RECVERR for its v4-mapped peers.
    int on = 1;
    const int v6only = stack == kUdpStackIpv6Only ? 1 : 0;
    const bool ok =
        (stack == kUdpStackIpv6Only ||
         setsockopt(sock, IPPROTO_IP, IP_RECVERR, &on, sizeof(on)) == 0) &&
        (!v6 || (setsockopt(sock, IPPROTO_IPV6, IPV6_RECVERR, &on, sizeof(on)) == 0 &&
                 setsockopt(sock, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof(v6only)) == 0));
    if (!ok) {
        const int err = errno;
        close(sock);
        FailFromErrno(err);
        return kUdpInvalidSocket;
    }
    return sock;
}

void UdpClose(int sock) {
    if (sock >= 0) close(sock);
}

int UdpBind(int sock, bool v6, const CNetAddr& addr) {
    sockaddr_storage ss;
    const int len = AddrToSockaddr(addr, v6, &ss);
    if (len < 0) return Fail(kUdpFamilyUnsupported);
    if (bind(sock, reinterpret_cast<const sockaddr*>(&ss), static_cast<socklen_t>(len)) != 0)
        return FailFromErrno(errno);
    return 0;
}

int UdpSetNonBlocking(int sock, bool non_blocking) {
    int value = non_blocking ? 1 : 0;
    if (ioctl(sock, FIONBIO, &value) != 0) return FailFromErrno(errno);
    return 0;
}

int UdpEnableBroadcast(int sock) {
    int on = 1;
    if (setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on)) != 0)
        return FailFromErrno(errno);
    return 0;
}

int UdpBroadcastEnabled(int sock) {
    int on = 0;
    socklen_t size = sizeof(on);
    if (getsockopt(sock, SOL_SOCKET, SO_BROADCAST, &on, &size) != 0) return FailFromErrno(errno);
    return on != 0 ? 1 : 0;
}

int UdpGetName(int sock, CNetAddr* addr) {
    sockaddr_storage name;
    std::memset(&name, 0, sizeof(name));
    socklen_t size = sizeof(name);
    if (getsockname(sock, reinterpret_cast<sockaddr*>(&name), &size) != 0)
        return FailFromErrno(errno);
    CNetAddr found;
    if (AddrFromSockaddr(reinterpret_cast<const sockaddr*>(&name), static_cast<int>(size),
                         &found) != 1)
        return Fail(kUdpOtherError);
    *addr = found;
    return 0;
}

int UdpSendTo(int sock, bool v6, const void* data, int len, const CNetAddr& to,
              bool* report_queued) {
    if (len < 0) return Fail(kUdpOtherError);
    sockaddr_storage ss;
    const int ss_len = AddrToSockaddr(to, v6, &ss);
    if (ss_len < 0) return Fail(kUdpFamilyUnsupported);
    ssize_t sent = -1;
    // A report of an earlier datagram makes this send fail once without sending; the
    // original platform sends regardless, so send again. The report itself stays in the
    // error queue for the receive side, which the note tells to look there.
    for (int tries = 0; tries < 2 && sent < 0; ++tries) {
        sent = sendto(sock, data, static_cast<size_t>(len), 0,
                      reinterpret_cast<const sockaddr*>(&ss), static_cast<socklen_t>(ss_len));
        if (sent < 0 && !IsPendingIcmpError(errno)) break;
        if (sent < 0 && report_queued != nullptr) *report_queued = true;
    }
    if (sent < 0) return FailFromErrno(errno);
    return static_cast<int>(sent);
}

namespace {

// A pending ICMP report fails the next receive before any datagram that waits, though those
// arrived first: a peer's goodbye queued before the report of its closed port would be read
// after the report, and lost with the peer. So a receive that meets one only notes that the
// error queue holds an entry and is made once more, without waiting (also on a blocking
// socket); the report is handed out when the socket has nothing more waiting. True when the
// receive is to be made again.
bool ReportJumpedTheQueue(int err, bool* report_queued) {
    if (!IsPendingIcmpError(err)) return false;
    if (report_queued != nullptr) *report_queued = true;
    return true;
}

// The refused-peer and error-queue handling after a failed receive, shared by both forms.
int FailedReceive(int sock, int err, CNetAddr* from, bool* report_queued) {
    // A failure other than "nothing waiting" may be a pending ICMP report; a report whose
    // pending error a send or an earlier receive consumed waits in the error queue alone, and
    // that call left the note set. Either way take one entry off the queue so that each
    // refused datagram becomes one event. An ICMP report always sets the pending error, which
    // a send or a receive meets first, and every call that meets it sets the note (a batched
    // send too, whose kernel drops the error: see UdpSendBatch), so an empty read without the
    // note needs no look.
    bool would_block = err == EAGAIN || err == EWOULDBLOCK;
    bool bad_call = err == EBADF || err == ENOTSOCK || err == EFAULT;
    bool look = !would_block || report_queued == nullptr || *report_queued;
    if (bad_call || !look) return Fail(would_block ? kUdpWouldBlock : kUdpOtherError);
    ErrQueue taken = TakeIcmpReport(sock, from);
    // More entries may follow the one taken; the note stays until the queue is empty.
    if (report_queued != nullptr) *report_queued = taken != ErrQueue::kEmpty;
    if (taken == ErrQueue::kRefused) return Fail(kUdpConnReset);
    return Fail(would_block ? kUdpWouldBlock : kUdpOtherError);
}

} // namespace

int UdpRecvFrom(int sock, void* buf, int cap, CNetAddr* from, bool* report_queued) {
    if (cap < 0) return Fail(kUdpOtherError);
    sockaddr_in6 sender; // room for either family
    std::memset(&sender, 0, sizeof(sender));
    socklen_t sender_size = sizeof(sender);
    // recvfrom rather than recvmsg: no message header to copy in and out, about 130 ns less
    // per call. MSG_TRUNC makes it return the datagram's real length.
    ssize_t got = recvfrom(sock, buf, static_cast<size_t>(cap), MSG_TRUNC,
                           reinterpret_cast<sockaddr*>(&sender), &sender_size);
    if (got < 0 && ReportJumpedTheQueue(errno, report_queued)) {
        sender_size = sizeof(sender);
        got = recvfrom(sock, buf, static_cast<size_t>(cap), MSG_TRUNC | MSG_DONTWAIT,
                       reinterpret_cast<sockaddr*>(&sender), &sender_size);
    }
    if (got < 0) return FailedReceive(sock, errno, from, report_queued);
    // Linux cuts an oversize datagram to the capacity; the datagram is consumed either way,
    // so it is a failed receive, never a shorter datagram.
    if (got > cap) return Fail(kUdpMessageSize);
    if (from != nullptr)
        AddrFromSockaddr(reinterpret_cast<const sockaddr*>(&sender), static_cast<int>(sender_size),
                         from);
    return static_cast<int>(got);
}

struct SUdpBatchHeaders {
    int recv_count = 0, send_count = 0;
    mmsghdr* recv = nullptr;
    iovec* recv_iovs = nullptr;
    sockaddr_in6* senders = nullptr; // room for either family
    sockaddr_in6* dests = nullptr;
    // The messages the receive headers point into; they are set up again only for others.
    const SUdpMessage* recv_for = nullptr;
    int recv_ready = 0;
    mmsghdr* send = nullptr;
    iovec* send_iovs = nullptr;

    ~SUdpBatchHeaders() {
        delete[] recv;
        delete[] recv_iovs;
        delete[] senders;
        delete[] dests;
        delete[] send;
        delete[] send_iovs;
    }
};

SUdpBatchHeaders* UdpBatchHeadersMake(int recv, int send) {
    if (recv < 1 || recv > kUdpMaxBatch || send < 1 || send > kUdpMaxBatch) return nullptr;
    SUdpBatchHeaders* h = new (std::nothrow) SUdpBatchHeaders;
    if (h == nullptr) return nullptr;
    h->recv = new (std::nothrow) mmsghdr[recv];
    h->recv_iovs = new (std::nothrow) iovec[recv];
    h->senders = new (std::nothrow) sockaddr_in6[recv];
    h->dests = new (std::nothrow) sockaddr_in6[send];
    h->send = new (std::nothrow) mmsghdr[send];
    h->send_iovs = new (std::nothrow) iovec[send];
    if (!h->recv || !h->recv_iovs || !h->senders || !h->dests || !h->send || !h->send_iovs) {
        delete h;
        return nullptr;
    }
    h->recv_count = recv;
    h->send_count = send;
    return h;
}

void UdpBatchHeadersFree(SUdpBatchHeaders* headers) {
    delete headers;
}

int UdpReserveReceiveBuffer(int sock, int bytes) {
    int have = 0;
    socklen_t size = sizeof(have);
    // Linux reports twice what was asked (its bookkeeping share); compare like with like.
    if (getsockopt(sock, SOL_SOCKET, SO_RCVBUF, &have, &size) != 0) return FailFromErrno(errno);
    if (have / 2 >= bytes) return 0;
    if (setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes)) != 0)
        return FailFromErrno(errno);
    return 0;
}

int UdpRecvBatch(int sock, SUdpBatchHeaders* h, SUdpMessage* msgs, int count, CNetAddr* from,
                 bool* report_queued) {
    if (h == nullptr || count < 1 || count > h->recv_count) return Fail(kUdpOtherError);
    mmsghdr* hdrs = h->recv;
    if (h->recv_for != msgs || count > h->recv_ready) {
        // First call for these messages: every header once. Later calls only renew the
        // headers that a datagram used.
        for (int i = 0; i < h->recv_count; ++i) {
            std::memset(&hdrs[i], 0, sizeof(hdrs[i]));
            hdrs[i].msg_hdr.msg_name = &h->senders[i];
            hdrs[i].msg_hdr.msg_iov = &h->recv_iovs[i];
            hdrs[i].msg_hdr.msg_iovlen = 1;
            h->recv_iovs[i] = iovec{nullptr, 0};
        }
        for (int i = 0; i < count; ++i) {
            if (msgs[i].cap < 0) return Fail(kUdpOtherError);
            h->recv_iovs[i] = iovec{msgs[i].data, static_cast<size_t>(msgs[i].cap)};
            hdrs[i].msg_hdr.msg_namelen = sizeof(sockaddr_in6);
        }
        h->recv_for = msgs;
        h->recv_ready = count;
    }
    // MSG_WAITFORONE: a blocking socket waits for the first datagram only. MSG_TRUNC: each
    // length is the datagram's real one, so a cut datagram is told from a full one.
    int got =
        recvmmsg(sock, hdrs, static_cast<unsigned>(count), MSG_WAITFORONE | MSG_TRUNC, nullptr);
    if (got < 0 && ReportJumpedTheQueue(errno, report_queued))
        got = recvmmsg(sock, hdrs, static_cast<unsigned>(count), MSG_DONTWAIT | MSG_TRUNC, nullptr);
    if (got < 0) return FailedReceive(sock, errno, from, report_queued);
    for (int i = 0; i < got; ++i) {
        SUdpMessage& m = msgs[i];
        m.len = static_cast<int>(hdrs[i].msg_len);
        m.truncated = (hdrs[i].msg_hdr.msg_flags & MSG_TRUNC) != 0 || m.len > m.cap;
        m.refused = false; // Linux keeps a refusal pending for the next call instead
        AddrFromSockaddr(reinterpret_cast<const sockaddr*>(&h->senders[i]),
                         static_cast<int>(hdrs[i].msg_hdr.msg_namelen), &m.addr);
        hdrs[i].msg_hdr.msg_namelen = sizeof(sockaddr_in6);
        hdrs[i].msg_hdr.msg_flags = 0;
    }
    return got;
}

int UdpSendBatch(int sock, bool v6, SUdpBatchHeaders* h, SUdpMessage* msgs, int count,
                 bool* report_queued, int* calls) {
    if (count < 0) return 0;
    if (h == nullptr || count > h->send_count) return count;
    mmsghdr* hdrs = h->send;
    iovec* iovs = h->send_iovs;
    for (int i = 0; i < count; ++i) {
        sockaddr_storage ss;
        const int ss_len = AddrToSockaddr(msgs[i].addr, v6, &ss);
        msgs[i].failed = msgs[i].len < 0 || ss_len < 0;
        if (ss_len > 0) std::memcpy(&h->dests[i], &ss, static_cast<std::size_t>(ss_len));
        iovs[i] = iovec{msgs[i].data, static_cast<size_t>(msgs[i].len < 0 ? 0 : msgs[i].len)};
        std::memset(&hdrs[i], 0, sizeof(hdrs[i]));
        hdrs[i].msg_hdr.msg_name = &h->dests[i];
        hdrs[i].msg_hdr.msg_namelen = static_cast<socklen_t>(ss_len < 0 ? 0 : ss_len);
        hdrs[i].msg_hdr.msg_iov = &iovs[i];
        hdrs[i].msg_hdr.msg_iovlen = 1;
    }
    int failed = 0;
    int next = 0;
    bool retried = false; // one repeat per message after a pending ICMP error, as UdpSendTo
    while (next < count) {
        if (msgs[next].failed) {
            ++failed, ++next;
            continue;
        }
        // Stops at the first message the system refuses; the ones before it are sent.
        int end = next;
        while (end < count && !msgs[end].failed)
            ++end;
        const int sent = sendmmsg(sock, hdrs + next, static_cast<unsigned>(end - next), 0);
        if (calls != nullptr) ++*calls;
        if (sent > 0) {
            // Short: the message at next + sent failed, and the kernel drops its error. Most
            // often that error was a pending ICMP report of an earlier datagram (sent to
            // another destination, maybe in this very call), which the failed send consumed:
            // its entry now waits in the error queue alone, so the note must say so, or the
            // report stays unseen while its entries eat the receive buffer. The next call
            // starts at that message and meets its own error, if it has one.
            if (sent < end - next && report_queued != nullptr) *report_queued = true;
            next += sent;
            retried = false;
            continue;
        }
        const int err = errno;
        if (IsPendingIcmpError(err) && !retried) {
            // The error belonged to an earlier datagram's report: send this one again.
            if (report_queued != nullptr) *report_queued = true;
            retried = true;
            continue;
        }
        retried = false;
        // A full socket drops the datagram, as an unreliable link would; anything else fails it.
        if (err != EAGAIN && err != EWOULDBLOCK) {
            msgs[next].failed = true;
            ++failed;
            g_last_error = kUdpOtherError;
        }
        ++next;
    }
    return failed;
}

} // namespace portnet::platform
