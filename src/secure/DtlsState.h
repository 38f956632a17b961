// The state behind one CNetDtls: the OpenSSL context, the session table and the fixed buffers.
// Internal to libportnet-secure; only this folder includes OpenSSL.
#pragma once

#include <openssl/ssl.h>

#include <cstdint>
#include <cstdio>

#include "portnet/CNetDtls.h"
#include "secure/DtlsIndex.h"

class CNetDtlsState;

// Why a handshake failed, each the SNetDtlsStats counter of the same name (in its order there).
enum : int {
    kDtlsFailNone,
    kDtlsFailTokenMalformed,
    kDtlsFailTokenUnopened,
    kDtlsFailTokenExpired,
    kDtlsFailTokenNotYetValid,
    kDtlsFailTokenWrongServer,
    kDtlsFailIdentityUnknown,
    kDtlsFailIdentityDenied,
    kDtlsFailKeyMismatch,
    kDtlsFailFull,
    kDtlsFailByPeer,
    kDtlsFailError,
    kDtlsFailTimeout,
    kDtlsFailYielded,
    kDtlsFailAbandoned
};

// What the BIO under one SSL object sees: the address its records go to, the one datagram
// being fed in, and a cap on what may go out to a sender that has not proved its address.
struct SDtlsLink {
    CNetDtlsState* m_state;
    CNetAddr m_addr;           // either family; only the wrapped driver's calls see another form
    const unsigned char* m_in; // datagram being fed; read once
    int m_in_len;
    bool m_peek;        // a read leaves the datagram in place
    int m_budget;       // -1: no cap; else the largest datagram that may be sent
    int m_send_result;  // of the last record handed to the wrapped driver
    bool m_mute_alerts; // reading an open session: no alert of ours leaves (see Feed)
    bool m_refused;     // the handshake goes on with a decoy key (DtlsRefusePsk)
    int m_fail;         // why the identity was refused (kDtlsFail*), the reason it fails for
};

struct SDtlsSession {
    enum : int { kFree, kHandshaking, kOpen };
    int m_phase;
    bool m_connecting;   // this side sent the ClientHello
    bool m_bad_finished; // a Finished of the peer came and did not authenticate
    int m_replaces;      // slot of the open session from the same address this one replaces
    SSL* m_ssl;
    SDtlsLink m_link;
    int m_started_ms; // CNetTime when the session was made
    int m_heard_ms;   // CNetTime of the last authentic datagram
    // Replay classification of dropped records (OpenSSL drops them either way): the highest
    // record number that yielded data in the current epoch, and a window of 64 below it.
    std::uint16_t m_window_epoch;
    std::uint64_t m_window_top;
    std::uint64_t m_window_bits;
    int m_min_body; // open: the shortest record body that can authenticate (nonce and tag)
    int m_held_len; // 0: nothing held
    unsigned char m_held[CNetDtls::kMaxPlain];
    // The accepting side's verdict on the identity the peer presented, and who it is.
    enum : int { kIdentityNone, kIdentityAccepted, kIdentityRefused };
    int m_identity;
    SNetPeerIdentity m_who;
};

// A player KickPlayer shut out, until a UTC second.
struct SDtlsDenied {
    std::uint64_t m_player_id;
    std::uint64_t m_until;
};

class CNetDtlsState {
public:
    CNetDtls* m_owner = nullptr;
    SSL_CTX* m_ctx = nullptr;
    BIO_METHOD* m_method = nullptr;
    SSL* m_listener = nullptr; // answers unknown senders statelessly
    SDtlsLink m_listen_link{};
    BIO_ADDR* m_listen_peer = nullptr;
    SDtlsSession* m_sessions = nullptr;
    int m_capacity = 0;     // slots made (m_sessions and the arrays beside it)
    int m_max_sessions = 0; // the limits in force
    int m_max_half_open = 0;
    int m_config_sessions = 0; // as configured; 0 follows m_table
    int m_config_half_open = 0;
    int m_table = 8;         // the manager's table, as ExpectPeers told it
    bool m_refusing = false; // the listener answers the hello it holds with a fatal alert
    int m_role = 0;
    int m_handshake_timeout_ms = 0;
    int m_idle_timeout_ms = 0;
    int m_retransmit_ms = 0;
    bool m_psk = false;
    unsigned char m_psk_key[64] = {};
    int m_psk_key_len = 0;
    char m_psk_identity[PSK_MAX_IDENTITY_LEN + 1] = {};
    // Identities looked up on the accepting side (DtlsPlayers.cpp): tokens or the host's store.
    bool m_lookup = false;
    int (*m_key_lookup)(void*, const char*, unsigned char*, SNetPeerIdentity*) = nullptr;
    void* m_key_lookup_context = nullptr;
    bool m_tokens = false;
    unsigned char m_token_key[32] = {};
    char m_token_server[64] = {};
    std::uint64_t m_token_protocol_id = 0;
    int m_token_skew_s = 0;
    std::uint64_t (*m_token_clock)() = nullptr;
    SDtlsDenied m_denied[CNetDtls::kMaxDenied] = {};
    unsigned char m_decoy_key[64] = {}; // what a refused identity is given (DtlsRefusePsk)
    unsigned char m_cookie_secret[32] = {};
    std::FILE* m_key_log = nullptr; // SNetDtlsConfig::m_key_log_file, open while set
    // Made for m_capacity (at set-up, again when the table grows), so no datagram costs a walk of
    // the table: sessions by address and port, the free slots (a stack), the slots in use
    // (m_live_at[i] is i's place in m_live) and the count of each phase.
    CDtlsIndex m_index;
    int* m_free = nullptr;
    int m_free_count = 0;
    int* m_live = nullptr;
    int* m_live_at = nullptr;
    int m_live_count = 0;
    int m_open = 0;
    int m_half_open = 0;
    int m_resume = -1;   // the session that may still hold records of a datagram it took
    int m_timers_ms = 0; // CNetTime of the last timer run
    bool m_timers_run = false;
    int m_pending_reports = 0; // sessions ended but not yet reported, at most m_capacity
    CNetAddr* m_reports = nullptr;
    int* m_report_reasons = nullptr; // kNetGone* beside each report
    CNetAddr m_gone_addr;            // the report RecvFrom handed up last, for GetGoneReason
    int m_gone_reason = 0;
    CNetAddr m_last_sender;       // the sender RecvFrom named last, for LastSender
    unsigned char m_cipher[2048]; // one datagram of the wrapped driver

    ~CNetDtlsState();
    bool Setup(const SNetDtlsConfig& config);
    // Sets the limits for the configuration and m_table, growing the arrays when they need
    // more slots; false when out of memory (the limits then fit what was made).
    bool ApplyLimits();

private:
    bool Reshape(int capacity);
};

// DtlsContext.cpp: the SSL_CTX with credentials and cookie callbacks, and the BIO method.
SSL_CTX* DtlsMakeContext(CNetDtlsState* state, const SNetDtlsConfig& config);
BIO_METHOD* DtlsMakeBioMethod();
// An SSL object of ctx over a fresh BIO of method that sees link.
SSL* DtlsMakeSsl(CNetDtlsState* state, bool server, SDtlsLink* link);
void DtlsRelink(SSL* ssl, SDtlsLink* link);
// Our MTU and retransmission timing (SSL_clear, inside DTLSv1_listen, resets them).
void DtlsTune(SSL* ssl);

// DtlsPlayers.cpp: identities of the accepting side, and the players behind them.
bool DtlsSetupPlayers(CNetDtlsState* state, const SNetDtlsConfig& config);
unsigned int DtlsPskLookup(SSL* ssl, const char* identity, unsigned char* psk, unsigned int max);
// A session opened: an older open session of the same player ends.
void DtlsPlayerOpened(CNetDtlsState* state, int slot);

// DtlsSessions.cpp: the session table.
// The session for addr in phase (an SDtlsSession phase; -1: any live one); -1 when none.
int DtlsFindSession(const CNetDtlsState* state, const CNetAddr& addr, int phase = -1);
// The slot the next session takes, or why there is none.
enum : int { kDtlsTableFull = -1, kDtlsHalfOpenFull = -2 };
int DtlsFreeSlot(const CNetDtlsState* state);
// Starts a handshake in slot, DtlsFreeSlot's answer.
void DtlsInitSession(CNetDtlsState* state, int slot, SSL* ssl, const CNetAddr& addr,
                     bool connecting);
// Ends a session (report, a kNetGone* reason: 10001 queued with it, 0: none; close:
// close_notify sent; why, kDtlsFail*: what an unfinished handshake is counted as).
void DtlsEndSession(CNetDtlsState* state, int slot, int report, bool close,
                    int why = kDtlsFailAbandoned);
void DtlsFailHandshake(CNetDtlsState* state, int slot, int why);
void DtlsOpened(CNetDtlsState* state, int slot);
void DtlsRunTimers(CNetDtlsState* state);

// DtlsReports.cpp: what the host is told and what is counted.
void DtlsCountFailure(SNetDtlsStats& stats, int why);
// Queues kNetEventDisconnect for addr with reason (a kNetGone* reason; 0: nothing queued).
void DtlsQueueReport(CNetDtlsState* state, const CNetAddr& addr, int reason);
// The oldest queued report into from, remembered for GetGoneReason; false when none.
bool DtlsTakeReport(CNetDtlsState* state, CNetAddr* from);
// For a server PSK callback that refuses the identity it was given: writes a key nobody holds
// into psk and returns its length, so the handshake fails as with a wrong key (silently, at
// the peer's Finished), never with an alert of its own. why (kDtlsFail*) is counted when the
// handshake ends.
unsigned int DtlsRefusePsk(SSL* ssl, unsigned char* psk, unsigned int max_psk, int why);
