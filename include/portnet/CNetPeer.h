#pragma once

#include "CNetClient.h"

// The client a CNetServer or CNetConnection keeps for each peer: a CNetClient that also tells
// a silent peer from one with nothing to say, and hears a peer that leaves on purpose.
//
// - Keep-alive: with m_keep_alive_ms above 0, a frame in which nothing was sent for that long
//   sends a bare packet (header and terminator), which the peer's reader accepts like any
//   other; so a live peer is heard at least that often.
// - Idle limit: with m_idle_limit_ms above 0, BeginFrame marks the peer gone (timed out) once
//   no packet was accepted from it for longer than that.
// - Goodbye: SendGoodbye sends the instant message of docs/protocol.md; a peer that receives
//   it marks this one gone (left).
// - Restart: a run of packets that all start a sequence afresh, far below what this side has
//   read, marks the peer gone (restarted): it came back from the same address.
//
// Both switches are 0 (off) here; the server and the connection turn them on. Subclasses that
// override these hooks call the CNetPeer version first.
class PORTNET_API CNetPeer : public CNetClient {
public:
    // A goodbye goes out this many times in a row, so one lost datagram does not hide it.
    enum : int { kGoodbyeRepeats = 3, kGoodbyeSize = 4 };
    // Fresh starts: a packet numbered below kFreshSeqs arriving after kFreshSeqs * 2 were read,
    // kFreshRun times in a row, each numbered above the one before.
    enum : int { kFreshSeqs = 60, kFreshRun = 3 };

    CNetPeer();
    ~CNetPeer() override;

    // Frees the send buffer when the peer owns it (m_owns_send_buf).
    int Release() override;
    int Disconnected() override; // notes the driver's reason, then the base
    int Read(CNetBuf* buf) override;
    int ReadInstant(CNetBuf* buf) override; // a goodbye marks the peer gone; 0 otherwise
    int Write() override;
    int BeginFrame() override;

    // The goodbye, kGoodbyeRepeats times; 1, or -1 when none could be sent.
    int SendGoodbye();
    // True when buf, read just past an instant message's first byte, holds a goodbye.
    static bool IsGoodbye(const CNetBuf* buf);
    // Milliseconds since a packet of this peer was last accepted (or since it started, when
    // none was); 0 before the peer's first frame.
    int IdleFor() const;

    int m_keep_alive_ms = 0;
    int m_idle_limit_ms = 0;
    int m_gone = 0;        // 0 while the peer is there, else a kNetGone* reason
    int m_start_time = -1; // frame time of the peer's first frame
    bool m_owns_send_buf = false;
    int m_fresh_run = 0;  // packets in a row that looked like a fresh start
    int m_fresh_last = 0; // sequence of the last of them
};
