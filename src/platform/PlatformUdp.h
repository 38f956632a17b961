#pragma once

#include "platform/SocketAddress.h"
#include "portnet/CNetAddr.h"

// The one seam between the UDP driver and the operating system's sockets. Every call
// returns -1 on failure and leaves the reason in UdpLastError(), already translated to the
// library's codes below (Winsock's own numbers), so nothing above this file sees errno,
// WSAGetLastError or socket headers beyond the address types.
namespace portnet::platform {

enum : int {
    kUdpInvalidSocket = -1,
    kUdpNoError = 0,
    kUdpWouldBlock = 10035,  // nothing waiting / no room to send on a non-blocking socket
    kUdpMessageSize = 10040, // datagram larger than the receive capacity; it is gone
    kUdpConnReset = 10054,   // an earlier datagram was refused; the peer is in the sender record
    kUdpOtherError = 10000,  // any other failure
    // Told apart so that a failed bind or open can say why.
    kUdpAccessDenied = 10013,    // a port or address this process may not use
    kUdpInvalidArgument = 10022, // the system refused an argument (a socket bound already)
    kUdpTooManySockets = 10024,  // the process or the system is out of sockets
    kUdpFamilyUnsupported = 10047,
    kUdpAddrInUse = 10048,        // another socket holds the address and port
    kUdpAddrNotAvailable = 10049, // no interface of this machine has the address
    kUdpNetworkDown = 10050,
    kUdpNoBuffers = 10055, // out of memory for sockets or their buffers
};

// The reason of the last failed call (one of the codes above).
int UdpLastError();
// The system's own number behind it (errno or WSAGetLastError), 0 when the layer refused the
// call itself: for a message about a failure the codes do not tell apart.
int UdpLastOsError();
// A short lower-case text for a code above ("address in use"); never null.
const char* UdpErrorText(int code);

// What a socket reaches: IPv4 alone (an AF_INET socket), IPv6 alone, or both through one
// AF_INET6 socket whose IPv4 peers are v4-mapped. IPV6_V6ONLY is set explicitly either way:
// its default is 0 on Linux and 1 on Windows and macOS.
enum : int { kUdpStackIpv4 = 0, kUdpStackIpv6Only = 1, kUdpStackDual = 2 };

// A fresh UDP socket of the stack set up to report refused peers; kUdpInvalidSocket on failure
// (kUdpFamilyUnsupported: the system has no IPv6). Sockets are ints on every OS: a Winsock
// SOCKET is a kernel handle, whose upper 32 bits Windows keeps zero for 32-bit
// interoperability.
int UdpOpen(int stack);
void UdpClose(int sock);
// `v6`: the socket is of an IPv6 stack (addresses go to it as sockaddr_in6, IPv4 v4-mapped).
int UdpBind(int sock, bool v6, const CNetAddr& addr);
int UdpSetNonBlocking(int sock, bool non_blocking);
int UdpEnableBroadcast(int sock);
// 1 when SO_BROADCAST is set on the socket, 0 when not, -1 on failure.
int UdpBroadcastEnabled(int sock);
// Fills addr with the socket's bound address; -1 leaves addr untouched.
int UdpGetName(int sock, CNetAddr* addr);
// `report_queued` is the caller's per-socket note that an ICMP report may wait in the
// socket's error queue: set when a send or receive met one, cleared once the queue is found
// empty. Reading the error queue costs a system call, so receives look there only while the
// note is set or when the receive itself failed. Null means "always look". Winsock has no
// such queue (the receive itself reports the refusal), so there the note is never set.

// Bytes handed over, or -1.
int UdpSendTo(int sock, bool v6, const void* data, int len, const CNetAddr& to,
              bool* report_queued);
// Bytes received into buf (at most cap), or -1. `from` (may be null) gets the sender, or on
// kUdpConnReset the refused peer: each refused datagram is reported once, naming the
// destination it was sent to, never another. A system that does not keep a refusal's place
// among the waiting datagrams (Linux) reports it once none waits, never before one that
// arrived ahead of it.
int UdpRecvFrom(int sock, void* buf, int cap, CNetAddr* from, bool* report_queued);

// One datagram of a batch. Receive: `data` and `cap` in; `len` (the datagram's real length),
// `truncated` (it was longer than cap and is gone) and `addr` (the sender) out, or `refused`:
// no datagram but the report that one sent to `addr` was refused, in its place in the order
// (for a system that reports it only once, in order: Winsock); the batch goes on after it.
// Send: `data`, `len` and `addr` (the destination) in; `failed` out.
struct SUdpMessage {
    void* data;
    int cap;
    int len;
    bool truncated;
    bool refused;
    bool failed;
    CNetAddr addr;
};
// The most messages one batched call takes (the system's limit on one call's vector, 1024 on
// Linux).
enum : int { kUdpMaxBatch = 1024 };

// The system's own headers for batched calls of up to `recv` and `send` messages (each at most
// kUdpMaxBatch), made once beside the driver's rings so that no call builds them again; null
// when memory ran out or a count is out of range.
struct SUdpBatchHeaders;
SUdpBatchHeaders* UdpBatchHeadersMake(int recv, int send);
void UdpBatchHeadersFree(SUdpBatchHeaders* headers);

// Raises the socket's receive buffer to at least `bytes` (the system may cap it); never lowers
// it. 0, or -1 when the system refused.
int UdpReserveReceiveBuffer(int sock, int bytes);

// Up to `count` waiting datagrams in one call (count at most the headers' receive count),
// without waiting for more than the first. Returns how many arrived (1..count), or -1 with
// UdpLastError() and `from` as UdpRecvFrom sets them (kUdpWouldBlock when nothing waits). An
// error met after some datagrams stays pending on the socket: the next call reports it. The
// work per call grows with the datagrams that arrive, not with `count`.
int UdpRecvBatch(int sock, SUdpBatchHeaders* headers, SUdpMessage* msgs, int count, CNetAddr* from,
                 bool* report_queued);
// Sends msgs[0..count) (count at most the headers' send count) in order, in as few calls as
// the system allows. A message the system refuses is marked failed and the rest still go; one
// that meets a full socket is dropped, as UdpSendTo does. A report of an earlier refusal that
// a message of the batch meets neither fails it nor gets lost: the message goes, and the
// report waits for the receive side as after UdpSendTo. Returns the number of failed
// messages; `calls` (may be null) gets the number of system calls made.
int UdpSendBatch(int sock, bool v6, SUdpBatchHeaders* headers, SUdpMessage* msgs, int count,
                 bool* report_queued, int* calls);

} // namespace portnet::platform
