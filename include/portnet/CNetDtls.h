#pragma once

#include <cstdint>

#include "CNetDriver.h"

// Part of libportnet-secure (portnet::secure, pkg-config portnet-secure), which links OpenSSL;
// the core library does not.

// How a CNetDtls authenticates its peers: a pre-shared key with an identity, or a certificate
// chain, its private key and the CA that peers' certificates must chain to. PEM text is given
// either in memory (the *_pem fields, NUL-terminated) or as a file name; memory wins when both
// are set. Every pointer is read by the CNetDtls constructor only; nothing is kept.
struct PORTNET_API SNetDtlsConfig {
    enum : int { kAccept = 1, kConnect = 2, kBoth = 3 };

    // kAccept: answers handshakes from any address. kConnect: starts a handshake to every
    // address the host sends to first. kBoth: both; when two peers start at once, the
    // handshake whose ClientHello random is lower wins on both sides.
    int m_role = kBoth;

    // Pre-shared key (1 to 64 bytes taken; use 16 or more random bytes) and identity (up to 256
    // characters, may be empty). Both sides must hold the same pair, unless the accepting side
    // looks keys up (below).
    const unsigned char* m_psk_key = nullptr;
    int m_psk_key_len = 0;
    const char* m_psk_identity = "portnet";

    // Certificates, used when m_psk_key is null.
    const char* m_cert_chain_pem = nullptr; // own certificate first, then intermediates
    const char* m_private_key_pem = nullptr;
    const char* m_ca_pem = nullptr; // one or more trusted CA certificates
    const char* m_cert_chain_file = nullptr;
    const char* m_private_key_file = nullptr;
    const char* m_ca_file = nullptr;

    // Limits. Times are milliseconds of CNetTime (the frame clock); 0 disables the idle limit.
    int m_handshake_timeout_ms = 10000; // a handshake not done by then fails
    // An open session that receives nothing this long ends; a side that only ever sends
    // (one-way traffic) needs 0 or a peer that answers.
    int m_idle_timeout_ms = 15000;
    // Sessions held (open and handshaking) and handshakes in progress. 0, the default, follows
    // the client table of the manager above (its Init tells the driver through ExpectPeers; a
    // table of 8 until then): handshakes in progress = the table (at most kMaxFollowedHalfOpen),
    // sessions = the table + those handshakes + max(4, table / 8) for peers that just left or
    // restarted (a restarted peer's new session replaces its old one only once its handshake
    // completes, so both are held meanwhile). A number set here is kept whatever the table:
    // m_max_sessions 1 to kMaxSessionsLimit, m_max_half_open 1 to the sessions.
    int m_max_sessions = 0;
    int m_max_half_open = 0;
    // First retransmission of a lost handshake flight, doubled on every further loss up to
    // 16 times this (at most 60 s); 20 to 60000. OpenSSL measures it on the system clock, not
    // on CNetTime.
    int m_retransmit_ms = 250;

    // Keys per peer on the accepting side, which then needs no m_psk_key (the connecting side
    // keeps its one identity and key). Connect tokens (CNetConnectToken.h) are checked when
    // m_token_key is set, else m_key_lookup is asked. Every refusal looks to the peer like a
    // wrong key: its handshake gets no further answer and fails; m_stats tells the reasons.
    //
    // The host's own store: called with the identity the peer presented (zero-terminated, at
    // most 256 characters); writes the key (1 to 64 bytes) and returns its length, or returns
    // 0 to refuse. It may say who the peer is in *who (player id, user data).
    int (*m_key_lookup)(void* context, const char* identity, unsigned char* key,
                        SNetPeerIdentity* who) = nullptr;
    void* m_key_lookup_context = nullptr;
    // Connect tokens: the backend's sealing key (32 bytes), this server's name or address as
    // the tokens list it (an address matches however it is written: "[2001:db8::1]:40000"),
    // and the game's protocol id. The client presents its token as identity and the
    // player key that came with it as key (m_psk_identity = token, m_psk_key = key, 32 bytes).
    const unsigned char* m_token_key = nullptr;
    const char* m_token_server = nullptr;
    std::uint64_t m_token_protocol_id = 0;
    int m_token_skew_s = 30;                    // clock difference allowed, 0 to 86400 s
    std::uint64_t (*m_token_clock)() = nullptr; // UTC seconds; null: the system clock

    // Debugging only, never set by default: a file the session secrets of every handshake are
    // appended to, one line each in the SSLKEYLOGFILE format, so that Wireshark or tshark
    // (tls.keylog_file) can decrypt a capture. Whoever reads the file reads every session it
    // names (SECURITY.md). A file that cannot be opened leaves the driver not ready.
    const char* m_key_log_file = nullptr;
    // The OpenSSL cipher list both ends offer; null: ECDHE-PSK-CHACHA20-POLY1305 with keys,
    // ECDHE with ChaCha20 or AES-GCM with certificates. For a debugging session whose capture an
    // older Wireshark must decrypt: Wireshark 4.0 fails every DTLS ChaCha20 record's tag check
    // with the right secrets, and decrypts ECDHE-PSK-AES128-CBC-SHA256. A list OpenSSL does
    // not take leaves the driver not ready.
    const char* m_cipher_list = nullptr;
};

// Counters; all count datagrams or handshakes. The handshake counters add up at every moment:
//   m_handshakes_started = m_handshakes_completed + m_handshakes_failed + GetHalfOpen()
//   m_handshakes_failed  = the sum of the reasons from m_token_malformed to m_handshakes_abandoned
// A handshake that fails is counted once, in the first reason that applies, when it ends.
struct PORTNET_API SNetDtlsStats {
    std::uint32_t m_rejected = 0; // not authentic, not a record, from an unknown sender ...
    std::uint32_t m_replayed = 0; // authentic but seen before or too old for the replay window
    // (also a handshake record on an open session: the peer's handshake repeated)
    // As either side: a session made, or a proven ClientHello refused at once (m_refused_full).
    std::uint32_t m_handshakes_started = 0;
    std::uint32_t m_handshakes_completed = 0; // sessions that opened
    std::uint32_t m_handshakes_failed = 0;    // the sum of the reasons below
    std::uint32_t m_cookies_sent = 0;         // stateless answers to unproven senders
    std::uint32_t m_sessions_ended = 0;       // open sessions that ended (10001 reported)
    std::uint32_t m_unsent_dropped = 0;       // host datagrams dropped (held one replaced ...)
    std::uint32_t m_oversize_refused = 0;     // answers to unproven senders that would amplify
    std::uint32_t m_inner_errors = 0;         // -1 from the wrapped driver's RecvFrom
    // Failed handshakes by reason. The identity verdicts of the accepting side are for the host
    // only: the peer is answered alike for each (silence, as for a wrong key).
    std::uint32_t m_token_malformed = 0;     // not a token, unknown version, another game's
    std::uint32_t m_token_unopened = 0;      // altered, or sealed under another key
    std::uint32_t m_token_expired = 0;       // expired beyond the allowed skew
    std::uint32_t m_token_not_yet_valid = 0; // valid from beyond the allowed skew
    std::uint32_t m_token_wrong_server = 0;  // not valid for this server
    std::uint32_t m_identity_unknown = 0;    // not the identity, or the key lookup refused
    std::uint32_t m_identity_denied = 0;     // a player kicked, until its deny time
    // Identity accepted but the peer's Finished did not authenticate: a wrong key (another
    // player's, say).
    std::uint32_t m_key_mismatch = 0;
    // Refused at once after the cookie exchange, every session taken: the peer got a fatal
    // internal_error alert (its handshake fails within the round trip).
    std::uint32_t m_refused_full = 0;
    std::uint32_t m_refused_by_peer = 0;    // the peer's fatal alert ended it (its table full ...)
    std::uint32_t m_handshake_errors = 0;   // our DTLS failed it: certificate not trusted ...
    std::uint32_t m_handshake_timeouts = 0; // not done by m_handshake_timeout_ms, or DTLS gave up
    std::uint32_t m_handshakes_yielded = 0; // both sides started: ours gave way to the peer's
    // Ended by this side's host before it completed: Disconnected, Init, Shutdown, CloseAll,
    // KickPlayer, or the wrapped driver's report that the address is unreachable.
    std::uint32_t m_handshakes_abandoned = 0;
    // Not a handshake: a proven ClientHello left unanswered while m_max_half_open handshakes
    // were in progress (sessions were free: the peer repeats it and gets in).
    std::uint32_t m_hellos_deferred = 0;
};

class CNetDtlsState;

// A driver that secures the driver it wraps with DTLS 1.2 (OpenSSL), one session per peer
// address and port. The manager and the wire above it are unchanged.
//
// RecvFrom hands up only authenticated, decrypted datagrams; anything else is dropped,
// counted in m_stats, and the next datagram of the wrapped driver is read (at most
// kMaxReadsPerCall per call). A sender without a session gets a stateless cookie first and
// a place in the half-open table only once it has echoed it; nothing answered to it is larger
// than what it sent. A proven sender that finds every session taken is refused at once
// with a fatal alert; one that finds only the half-open table full is left to repeat its
// hello. A session that ends (the peer closed it, a fatal alert, a handshake or
// idle time-out, the peer restarted and completed a new handshake from the same address, or
// the wrapped driver reported the address unreachable) is reported once as
// kNetEventDisconnect with its address, as an unreachable peer is.
//
// SendTo to an address without a session starts a handshake (role kConnect or kBoth). Until
// it completes, the newest datagram for that address is held (one per session, replacing the
// one before) and sent as the first record once the session opens; nothing leaves in clear.
// Broadcast returns -1: a broadcast cannot be secured for peers one does not know.
//
// Timers (retransmission, time-outs) run inside RecvFrom and SendTo; no threads, no blocking.
// After the handshake our code allocates nothing per datagram.
class PORTNET_API CNetDtls : public CNetDriver {
public:
    enum : int {
        kMaxPlain = 1200,          // largest datagram through SendTo / RecvFrom
        kMtu = 1400,               // largest DTLS datagram, record headers included
        kMaxReadsPerCall = 64,     // inner datagrams one RecvFrom call examines
        kMaxSessionsLimit = 8192,  // highest m_max_sessions (a table of 4096 and its headroom)
        kMaxFollowedHalfOpen = 256 // handshakes in progress when m_max_half_open follows
    };
    enum : int { kMaxDenied = 64 }; // players KickPlayer can refuse at once

    // Wraps inner, which it does not own (the host destroys it after this one). When the
    // configuration cannot be used (no credentials, unreadable PEM, a limit out of range),
    // IsReady is false and every operation fails.
    CNetDtls(CNetDriver* inner, const SNetDtlsConfig& config);
    ~CNetDtls() override;

    bool IsReady() const;

    // Forwarded to the wrapped driver; Init and Shutdown also drop every session silently.
    int SetBlockMode(bool non_blocking) override;
    int MakeBroadcastCapable() override; // -1: see Broadcast
    int Init() override;
    int Shutdown() override;
    int Connected(sockaddr_in* peer) override;
    // Ends the session with peer (close_notify sent) and answers kNetEventDisconnect.
    int Disconnected(sockaddr_in* peer) override;
    // Peers of either family: a session is kept per address, port and (link-local) scope, and
    // the cookie binds all of them. The wrapped driver is reached through its CNetAddr calls.
    int ConnectedAddr(const CNetAddr& peer) override;
    int DisconnectedAddr(const CNetAddr& peer) override;
    int SendToAddr(int len, void* data, const CNetAddr& to) override;
    int BroadcastAddr(int len, void* data, const CNetAddr& to) override; // -1
    int GetPeerIdentityAddr(const CNetAddr& peer, SNetPeerIdentity* out) override;
    int GetGoneReasonAddr(const CNetAddr& peer) override;
    // RecvFrom names an IPv6 sender (or the IPv6 peer of a report) by its family alone; this
    // is the whole address.
    CNetAddr LastSender() const override;
    char* GetAddr() override;
    // 0 when sent, held or dropped (counted); -1 when not ready, for a length outside
    // 1..kMaxPlain, or when the wrapped driver refused the record.
    int SendTo(int len, void* data, sockaddr_in* to) override;
    // 0 with one decrypted datagram and its sender (length 0 when none), kNetEventDisconnect
    // with the address of a session that ended, -1 when not ready or the wrapped driver keeps
    // failing.
    int RecvFrom(int* len, void* buf, sockaddr_in* from) override;
    int Broadcast(int len, void* data, sockaddr_in* to) override; // -1
    // Forwarded: records made between the two leave together when the wrapped driver batches.
    int HoldSends() override;
    // The manager's table: limits left at 0 follow it (see SNetDtlsConfig); the session table
    // grows at once, and shrinks only while no session is held. Passed to the inner driver.
    int ExpectPeers(int peers) override;
    int FlushSends() override;
    // Who the peer with an open session at this address is, as GetPeer tells (accepting side,
    // tokens or a key lookup): 1 with *out filled; 0 with *out cleared otherwise.
    int GetPeerIdentity(const sockaddr_in* peer, SNetPeerIdentity* out) override;
    // Why the session RecvFrom just reported gone ended: kNetGoneRestarted when a completed
    // handshake from its address, or its player's newer session, replaced it; kNetGoneKicked
    // by KickPlayer; kNetGoneUnreachable for the wrapped driver's own report;
    // kNetGoneSessionEnded otherwise (idle limit, the peer's close_notify or fatal alert, a
    // handshake this side started that failed).
    int GetGoneReason(const sockaddr_in* peer) override;

    // Sessions open, and handshakes in progress.
    int GetOpenSessions() const;
    int GetHalfOpen() const;
    // The limits in force (the configuration's, or what follows the table); 0 when not ready.
    int GetMaxSessions() const;
    int GetMaxHalfOpen() const;
    // Ends every session with close_notify (for a host that leaves); no events are reported.
    void CloseAll();

    // Who the peer with an open session at addr is (accepting side): 0 with *who filled, -1
    // when there is no open session for that address and port.
    int GetPeer(const sockaddr_in& addr, SNetPeerIdentity* who) const;
    int GetPeer(const CNetAddr& addr, SNetPeerIdentity* who) const;
    // Ends every session of player_id (open ones with close_notify and 10001 reported) and
    // refuses the player until deny_until (UTC seconds; 0: the latest expiry of the tokens
    // those sessions used, none without tokens). Returns the open sessions ended, -1 for
    // player 0 or when kMaxDenied players are refused already (the sessions end all the same).
    // A player who connects again while its first session is open (another address, the
    // same token or a new one) replaces it: the older session ends with 10001.
    int KickPlayer(std::uint64_t player_id, std::uint64_t deny_until = 0);

    SNetDtlsStats m_stats;
    CNetDriver* m_inner; // not owned
    CNetDtlsState* m_state;

private:
    // The operations on an address of either family, behind both forms of the calls.
    int Send(int len, void* data, const CNetAddr& to);
    int Receive(int* len, void* buf, CNetAddr* from);
    void End(const CNetAddr& peer);
    int GoneReason(const CNetAddr& peer) const;
};
