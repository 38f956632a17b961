#pragma once

#include "CNetDriver.h"

struct SUdpBatch;

// UDP over IPv4 and IPv6: one non-blocking socket bound to a local port (and optionally
// address). Bound to a port alone, or to "[::]:port", the socket is dual-stack: one IPv6 socket
// with IPV6_V6ONLY set to 0 explicitly (the systems' defaults differ), which IPv4 peers reach
// as well and which reports them as the IPv4 addresses they are. A system without IPv6 gets
// an IPv4 socket instead. m_stack asks for one family alone.
//
// Broadcast is IPv4's alone: IPv6 has none (its multicast groups are another matter), so
// Broadcast to an IPv6 address, or on an IPv6-only socket, answers -1. A dual-stack socket
// broadcasts to an IPv4 address as an IPv4 socket does.
class PORTNET_API CNetUDP : public CNetDriver {
public:
    // Binds any address on port (0: one the system chooses), dual-stack as m_stack says. Init
    // refuses a port outside 0..65535 rather than binding its low 16 bits.
    explicit CNetUDP(int port);
    // Binds the address of "a.b.c.d:port", "[v6]:port" or "name:port" (CNetAddr::Resolve, at
    // Init). An IPv4 address gets an IPv4 socket, as ever; "[::]:port" a dual-stack socket, or an
    // IPv6-only one when m_stack asks for it (kIpv4Only refuses an IPv6 address at Init); any other
    // IPv6 address an IPv6-only socket. An IPv4-only socket answers -1 to an IPv6 destination. Init
    // refuses malformed text, an empty or null text and text longer than 99 characters.
    explicit CNetUDP(const char* addr_text);
    ~CNetUDP() override;

    int SetBlockMode(bool non_blocking) override;
    int MakeBroadcastCapable() override;
    int Init() override;
    int Shutdown() override;
    int Connected(sockaddr_in* peer) override;
    int Disconnected(sockaddr_in* peer) override;
    char* GetAddr() override;
    int SendTo(int len, void* data, sockaddr_in* to) override;
    int RecvFrom(int* len, void* buf, sockaddr_in* from) override;
    int Broadcast(int len, void* data, sockaddr_in* to) override;
    int SendToAddr(int len, void* data, const CNetAddr& to) override;
    CNetAddr LastSender() const override { return m_last_from; }
    int BroadcastAddr(int len, void* data, const CNetAddr& to) override;
    int DisconnectedAddr(const CNetAddr& peer) override;
    int HoldSends() override;
    int FlushSends() override;
    // Sizes the rings below for a table of `peers` (up to 1024 datagrams a call each way) and
    // raises the socket's receive buffer to hold a frame's datagrams from all of them. Before
    // Init it takes effect at Init; rings that hold datagrams at the time are kept.
    int ExpectPeers(int peers) override;

    // Why the last Init failed, for a program to print ("127.0.0.1:4000: address in use",
    // "port 99999 is above 65535"); empty after an Init that succeeded and before the first.
    const char* GetError() const { return m_error; }

    // The socket's bound address; no address when closed. GetAddr prints a dual-stack socket
    // on [::] as "0.0.0.0:port", the form programs of IPv4 read; this tells it as it is.
    CNetAddr GetLocalAddr() const;
    // Whether the socket, once open, is an IPv6 one (dual-stack or IPv6-only).
    bool IsIpv6Socket() const { return m_v6; }

    // The families a socket bound to a port alone (or to "[::]:port") reaches; read at Init.
    enum : int { kIpv4Only = 0, kIpv6Only = 1, kDualStack = 2 };
    int m_stack = kDualStack;

    // Batched system calls, on by default; the results of RecvFrom and SendTo stay the same.
    // Receive: where several datagrams wait (two in this drain or the last), one call brings
    // up to 32 (or one per expected peer, see ExpectPeers) into a ring made at Init, and RecvFrom
    // hands them out in order; a short batch also tells that the socket is empty, so the RecvFrom
    // after it answers 0 without asking again. A socket that gets one datagram a frame keeps the
    // cheaper plain calls. Send: inside a manager's Write (HoldSends .. FlushSends) datagrams are
    // copied and leave in one call at its end; a datagram the system refuses then is counted in
    // m_send_failures and the others still go. Turn either off to make one system call per
    // datagram. Either way a datagram refused by a closed port (an ICMP report) comes back from
    // RecvFrom as kNetEventDisconnect naming that destination alone, once per refused datagram,
    // after the datagrams that were waiting before it.
    bool m_batch_receive = true;
    bool m_batch_send = true;
    int m_recv_calls = 0;    // receive system calls made
    int m_send_calls = 0;    // send system calls made
    int m_send_failures = 0; // held datagrams the system refused at a flush

    int m_socket; // -1 when closed
    int m_port;   // host byte order; 0 lets the system choose (from text: once Init parsed it)
    char m_addr_text[100];
    // An ICMP report may wait in the socket's error queue; receives look there only then.
    bool m_report_queued = false;

private:
    int Send(int len, void* data, const CNetAddr& to);
    int Receive(int* len, void* buf, CNetAddr* from);
    int ReceiveFailed(int* len, CNetAddr* from);
    int TakeReceived(int* len, void* buf, CNetAddr* from);
    int Received(int result, const int* len);
    void SendHeld();
    void ReserveReceiveBuffer();
    int LocalAddress(CNetAddr* local, int* stack);
    int Failed(const char* format, ...);

    SUdpBatch* m_batch = nullptr; // null when it could not be made: one call per datagram
    bool m_holding = false;
    int m_held_failures = 0;
    int m_drain_count = 0; // datagrams handed out since the last "nothing waiting"
    int m_last_drain = 0;  // datagrams the last drain brought
    int m_expected_peers = 0;
    bool m_from_text = false; // made from text: Init binds what m_addr_text says
    bool m_text_cut = false;  // the text was longer than m_addr_text holds
    bool m_v6 = false;        // the open socket is an IPv6 one
    bool m_dual = false;      // ... and a dual-stack one
    CNetAddr m_last_from;     // the sender the last RecvFrom named, of either family
    char m_error[128] = {};
    char m_name[CNetAddr::kMaxText] = {}; // what GetAddr printed
};
