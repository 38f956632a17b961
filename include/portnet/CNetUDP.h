#pragma once

#include "CNetDriver.h"

struct SUdpBatch;

// UDP over IPv4: one non-blocking socket bound to a local port (and optionally address).
class PORTNET_API CNetUDP : public CNetDriver {
public:
    // Binds any address on port (0: one the system chooses). Init refuses a port outside
    // 0..65535 rather than binding its low 16 bits.
    explicit CNetUDP(int port);
    // Binds the address of "a.b.c.d:port" or "name:port" (ResolveAddr, at Init). Init refuses
    // malformed text, an empty or null text and text longer than 99 characters.
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
    int HoldSends() override;
    int FlushSends() override;
    // Sizes the rings below for a table of `peers` (up to 1024 datagrams a call each way) and
    // raises the socket's receive buffer to hold a frame's datagrams from all of them. Before
    // Init it takes effect at Init; rings that hold datagrams at the time are kept.
    int ExpectPeers(int peers) override;

    // Why the last Init failed, for a program to print ("127.0.0.1:4000: address in use",
    // "port 99999 is above 65535"); empty after an Init that succeeded and before the first.
    const char* GetError() const { return m_error; }

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
    int ReceiveFailed(int* len, sockaddr_in* from);
    int TakeReceived(int* len, void* buf, sockaddr_in* from);
    int Received(int result, const int* len);
    void SendHeld();
    void ReserveReceiveBuffer();
    int LocalAddress(sockaddr_in* local);
    int Failed(const char* format, ...);

    SUdpBatch* m_batch = nullptr; // null when it could not be made: one call per datagram
    bool m_holding = false;
    int m_held_failures = 0;
    int m_drain_count = 0; // datagrams handed out since the last "nothing waiting"
    int m_last_drain = 0;  // datagrams the last drain brought
    int m_expected_peers = 0;
    bool m_from_text = false; // made from text: Init binds what m_addr_text says
    bool m_text_cut = false;  // the text was longer than m_addr_text holds
    char m_error[128] = {};
};
