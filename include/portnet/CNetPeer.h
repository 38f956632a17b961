#pragma once

#include <cstdint>

#include "CNetClient.h"

// The client a CNetServer or CNetConnection keeps for each peer: a CNetClient that also tells
// a silent peer from one with nothing to say, and hears a peer that leaves on purpose.
//
// - Keep-alive: with m_keep_alive_ms above 0, a frame in which nothing was sent for that long
//   sends a bare packet (header and terminator), which the peer's reader accepts like any
//   other; so a live peer is heard at least that often.
// - Idle limit: with m_idle_limit_ms above 0, BeginFrame marks the peer gone (timed out) once
//   no packet was accepted from it for longer than that.
// - Goodbye: SendGoodbye sends the instant message of docs/protocol.md, naming this peer's
//   attempt when it has one; a peer that receives the goodbye of its own attempt marks this
//   one gone (left).
// - Restart: a run of packets that all start a sequence afresh, far below what this side has
//   read, marks the peer gone (restarted): it came back from the same address.
// - Joining (docs/protocol.md, "Joining a server"): a connection's peer (kRolePlayer) sends
//   only hellos of its attempt until the host's welcome for that attempt arrives, and drops the
//   host's packets until then; the welcome says where both sides' numbering starts, so packets
//   still in flight from an earlier attempt at this address are old to both. A server's peer
//   (kRoleHost) answers its attempt's hellos with the welcome; a hello of another attempt marks
//   it gone (restarted). A refusal of this attempt marks a player's peer gone (refused).
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
    // True when buf, read just past an instant message's first byte, holds a goodbye; the
    // attempt it names (0 for the four-byte form) in *attempt when not null.
    static bool IsGoodbye(const CNetBuf* buf, std::uint32_t* attempt = nullptr);
    // Milliseconds since a packet of this peer was last accepted (or since it started, when
    // none was); 0 before the peer's first frame.
    int IdleFor() const;
    // The join handshake's messages: 1, or -1 when nothing could be sent.
    int SendHello();
    int SendWelcome();
    // Numbers this side's packets from write_first and takes the peer's from read_first on,
    // as though packets write_first - 1 and read_first - 1 had been exchanged at the times
    // given (the hello and the welcome stand for them). 1 and 1 change nothing.
    void StartNumbering(int write_first, int read_first, int write_time, int read_time);

    int m_keep_alive_ms = 0;
    int m_idle_limit_ms = 0;
    int m_gone = 0;                // 0 while the peer is there, else a kNetGone* reason
    bool m_gone_by_driver = false; // m_gone came from the driver's report
    int m_start_time = -1;         // frame time of the peer's first frame
    bool m_owns_send_buf = false;
    int m_fresh_run = 0;  // packets in a row that looked like a fresh start
    int m_fresh_last = 0; // sequence of the last of them

    enum : int { kRoleNone = 0, kRoleHost = 1, kRolePlayer = 2 };
    int m_role = kRoleNone;              // set by the server or connection that made the peer
    std::uint32_t m_attempt = 0;         // the connection attempt; 0: admitted by a packet
    bool m_welcomed = false;             // player side: the host answered this attempt
    int m_slot_at_host = -1;             // the slot the welcome names (host side: m_id)
    std::uint64_t m_player_id = 0;       // the player id the welcome names; 0: none known
    int m_first_write_seq = 1;           // this side's first packet to the peer
    int m_first_read_seq = 1;            // the peer's first packet this side takes
    int m_last_hello_time = -1;          // player side: frame time of the last hello
    std::uint32_t m_restart_attempt = 0; // host side: the attempt of a hello that replaced ours
    int m_refusal = 0;     // player side, gone refused: a CNetServer::kRefused* reason
    unsigned m_strays = 0; // player side: the host's packets before its welcome, dropped
};
