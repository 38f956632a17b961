// CNetDtls: the session table, the intake loop and the send path. Nothing here allocates per
// datagram once a session is open: records go through fixed buffers and a BIO that hands them
// straight to the wrapped driver.
#include "portnet/CNetDtls.h"

#include <openssl/err.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "portnet/CNetManager.h"
#include "portnet/CNetTime.h"
#include "secure/DtlsState.h"

namespace {

enum : int {
    kRecordHeader = 13, // type, version, epoch, sequence number, length
    kContentAlert = 21, // record content types
    kContentHandshake = 22,
    kContentApplication = 23,
    kClientHelloRandom = 27, // record header, handshake header, client_version
    kMaxInnerFailures = 4,   // consecutive -1 from the wrapped driver before giving up
    kOpenEpoch = 1,          // renegotiation is off: an open session reads epoch 1 only
    kAeadTag = 16,
    kGcmExplicitNonce = 8
};

int Elapsed(int now, int since) {
    return static_cast<int>(static_cast<unsigned>(now) - static_cast<unsigned>(since));
}

bool IsRecord(const unsigned char* d, int n) {
    return n >= kRecordHeader && d[0] >= 20 && d[0] <= 23 && d[1] == 0xFE;
}

// A ClientHello in an unencrypted first fragment: the start of a new handshake.
bool IsClientHello(const unsigned char* d, int n) {
    return n >= kClientHelloRandom + 32 && IsRecord(d, n) && d[0] == kContentHandshake &&
           d[3] == 0 && d[4] == 0 && d[13] == 1 && d[19] == 0 && d[20] == 0 && d[21] == 0;
}

std::uint16_t RecordEpoch(const unsigned char* d) {
    return static_cast<std::uint16_t>(d[3] << 8 | d[4]);
}

std::uint64_t RecordNumber(const unsigned char* d) {
    std::uint64_t v = 0;
    for (int i = 5; i < 11; ++i)
        v = v << 8 | d[i];
    return v;
}

} // namespace

CNetDtlsState::~CNetDtlsState() {
    if (m_sessions != nullptr) {
        for (int i = 0; i < m_capacity; ++i)
            SSL_free(m_sessions[i].m_ssl);
        delete[] m_sessions;
    }
    delete[] m_free;
    delete[] m_live;
    delete[] m_live_at;
    delete[] m_reports;
    delete[] m_report_reasons;
    SSL_free(m_listener);
    BIO_ADDR_free(m_listen_peer);
    SSL_CTX_free(m_ctx);
    if (m_key_log != nullptr) std::fclose(m_key_log);
    BIO_meth_free(m_method);
    OPENSSL_cleanse(m_psk_key, sizeof m_psk_key);
    OPENSSL_cleanse(m_token_key, sizeof m_token_key);
    OPENSSL_cleanse(m_cookie_secret, sizeof m_cookie_secret);
    OPENSSL_cleanse(m_decoy_key, sizeof m_decoy_key);
}

bool CNetDtlsState::Setup(const SNetDtlsConfig& c) {
    if (c.m_role < SNetDtlsConfig::kAccept || c.m_role > SNetDtlsConfig::kBoth) return false;
    // 0 follows the table; a number is the host's own.
    if (c.m_max_sessions < 0 || c.m_max_sessions > CNetDtls::kMaxSessionsLimit) return false;
    if (c.m_max_half_open < 0 || c.m_max_half_open > CNetDtls::kMaxSessionsLimit ||
        (c.m_max_sessions != 0 && c.m_max_half_open > c.m_max_sessions))
        return false;
    // OpenSSL takes a timer with less than 15 ms left as expired: a shorter first retransmission
    // would repeat at once.
    if (c.m_handshake_timeout_ms < 1 || c.m_idle_timeout_ms < 0 || c.m_retransmit_ms < 20 ||
        c.m_retransmit_ms > 60000)
        return false;
    m_role = c.m_role;
    m_config_sessions = c.m_max_sessions;
    m_config_half_open = c.m_max_half_open;
    m_handshake_timeout_ms = c.m_handshake_timeout_ms;
    m_idle_timeout_ms = c.m_idle_timeout_ms;
    m_retransmit_ms = c.m_retransmit_ms;
    // The accepting side may look keys up instead of holding one; the connecting side may not.
    m_psk = c.m_psk_key != nullptr || c.m_key_lookup != nullptr || c.m_token_key != nullptr;
    if (m_psk && c.m_psk_key == nullptr && (m_role & SNetDtlsConfig::kConnect)) return false;
    if (!DtlsSetupPlayers(this, c)) return false;
    if (c.m_psk_key != nullptr) {
        if (c.m_psk_key_len < 1 || c.m_psk_key_len > static_cast<int>(sizeof m_psk_key))
            return false;
        const char* id = c.m_psk_identity != nullptr ? c.m_psk_identity : "";
        if (std::strlen(id) >= sizeof m_psk_identity) return false;
        std::memcpy(m_psk_key, c.m_psk_key, static_cast<size_t>(c.m_psk_key_len));
        m_psk_key_len = c.m_psk_key_len;
        std::strcpy(m_psk_identity, id);
    }
    if (!ApplyLimits()) return false;
    m_method = DtlsMakeBioMethod();
    m_listen_peer = BIO_ADDR_new();
    m_ctx = m_method != nullptr ? DtlsMakeContext(this, c) : nullptr;
    m_listen_link.m_state = this;
    return m_ctx != nullptr && m_listen_peer != nullptr;
}

bool CNetDtlsState::ApplyLimits() {
    // Every player of a full table may be shaking hands at once (a server that restarts, a
    // match that starts), up to a bound on the work peers not yet authenticated can cause.
    int half = m_config_half_open != 0
                   ? m_config_half_open
                   : std::min(m_table, static_cast<int>(CNetDtls::kMaxFollowedHalfOpen));
    // The table, the handshakes in progress, and a reserve for peers that just left or
    // restarted: the session of a peer that restarted stays until its new one completes, and
    // one the host refused stays until the peer gives up.
    int sessions = m_config_sessions;
    if (sessions == 0)
        sessions = std::min(m_table + half + std::max(4, m_table / 8),
                            static_cast<int>(CNetDtls::kMaxSessionsLimit));
    bool made = true;
    if (sessions > m_capacity)
        made = Reshape(sessions);
    else if (sessions < m_capacity && m_live_count == 0 && m_pending_reports == 0)
        Reshape(sessions); // out of memory keeps the larger table
    m_max_sessions = std::min(sessions, m_capacity);
    m_max_half_open = std::min(half, m_max_sessions);
    return made;
}

// New arrays of capacity slots. Every slot in use keeps its number (the index, m_replaces
// and m_resume stay true): growing keeps them all; shrinking happens only with none in use.
bool CNetDtlsState::Reshape(int capacity) {
    const size_t n = static_cast<size_t>(capacity);
    auto* sessions = new (std::nothrow) SDtlsSession[n];
    auto* free_slots = new (std::nothrow) int[n];
    auto* live = new (std::nothrow) int[n];
    auto* live_at = new (std::nothrow) int[n];
    auto* reports = new (std::nothrow) sockaddr_in[n];
    auto* reasons = new (std::nothrow) int[n];
    std::uint64_t salt = 0;
    if (sessions == nullptr || free_slots == nullptr || live == nullptr || live_at == nullptr ||
        reports == nullptr || reasons == nullptr ||
        RAND_bytes(reinterpret_cast<unsigned char*>(&salt), sizeof salt) != 1 ||
        !m_index.Init(capacity, salt)) {
        delete[] sessions;
        delete[] free_slots;
        delete[] live;
        delete[] live_at;
        delete[] reports;
        delete[] reasons;
        return false;
    }
    const int kept = m_live_count > 0 ? m_capacity : 0;
    int count = 0;
    for (int i = capacity - 1; i >= kept; --i) { // the new slots are taken last
        sessions[i].m_phase = SDtlsSession::kFree;
        sessions[i].m_ssl = nullptr;
        free_slots[count++] = i; // with none kept, slot 0 is taken first
    }
    for (int k = 0; kept > 0 && k < m_free_count; ++k)
        free_slots[count++] = m_free[k];
    for (int i = 0; i < kept; ++i) {
        sessions[i] = m_sessions[i];
        if (sessions[i].m_phase == SDtlsSession::kFree) continue;
        DtlsRelink(sessions[i].m_ssl, &sessions[i].m_link);
        m_index.Insert(sessions[i].m_link.m_addr, i);
        live_at[i] = m_live_at[i];
    }
    std::copy(m_live, m_live + m_live_count, live);
    std::copy(m_reports, m_reports + m_pending_reports, reports);
    std::copy(m_report_reasons, m_report_reasons + m_pending_reports, reasons);
    delete[] m_sessions;
    delete[] m_free;
    delete[] m_live;
    delete[] m_live_at;
    delete[] m_reports;
    delete[] m_report_reasons;
    m_sessions = sessions;
    m_free = free_slots;
    m_live = live;
    m_live_at = live_at;
    m_reports = reports;
    m_report_reasons = reasons;
    m_capacity = capacity;
    m_free_count = count;
    if (kept == 0) m_resume = -1;
    return true;
}

CNetDtls::CNetDtls(CNetDriver* inner, const SNetDtlsConfig& config)
    : m_inner(inner), m_state(new (std::nothrow) CNetDtlsState) {
    if (m_state == nullptr) return;
    m_state->m_owner = this;
    if (inner == nullptr || !m_state->Setup(config)) {
        delete m_state;
        m_state = nullptr;
    }
}

CNetDtls::~CNetDtls() {
    delete m_state;
}

bool CNetDtls::IsReady() const {
    return m_state != nullptr;
}

// ---- The session table

namespace {

SDtlsSession* Slot(CNetDtlsState* s, int i) {
    return &s->m_sessions[i];
}

bool SameAddr(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_family == b.sin_family && a.sin_port == b.sin_port &&
           a.sin_addr.s_addr == b.sin_addr.s_addr;
}

int CountPhase(const CNetDtlsState* s, int phase) {
    return phase == SDtlsSession::kOpen ? s->m_open : s->m_half_open;
}

// The session for addr in the given phase (any live one for -1); -1 when none. An address
// holds at most an open session and a handshake.
int FindSession(const CNetDtlsState* s, const sockaddr_in& addr, int phase = -1) {
    int found[4];
    const int n = s->m_index.Find(addr, found, 4);
    for (int k = 0; k < n; ++k)
        if (phase == -1 || s->m_sessions[found[k]].m_phase == phase) return found[k];
    return -1;
}

enum : int { kTableFull = -1, kHalfOpenFull = -2 };

// The slot the next session takes (the top of the free stack); kTableFull when every session
// is taken, kHalfOpenFull when sessions are free but not the half-open table.
int FreeSlot(const CNetDtlsState* s) {
    if (s->m_open + s->m_half_open >= s->m_max_sessions || s->m_free_count == 0) return kTableFull;
    if (s->m_half_open >= s->m_max_half_open) return kHalfOpenFull;
    return s->m_free[s->m_free_count - 1];
}

// A handshake that ended without completing, in its reason (kDtlsFail*).
void CountFailure(SNetDtlsStats& st, int why) {
    using S = SNetDtlsStats;
    static constexpr std::uint32_t S::*kCounters[] = {
        &S::m_handshakes_abandoned, // kDtlsFailNone: not reached
        &S::m_token_malformed,      &S::m_token_unopened,      &S::m_token_expired,
        &S::m_token_not_yet_valid,  &S::m_token_wrong_server,  &S::m_identity_unknown,
        &S::m_identity_denied,      &S::m_key_mismatch,        &S::m_refused_full,
        &S::m_refused_by_peer,      &S::m_handshake_errors,    &S::m_handshake_timeouts,
        &S::m_handshakes_yielded,   &S::m_handshakes_abandoned};
    static_assert(sizeof kCounters / sizeof kCounters[0] == kDtlsFailAbandoned + 1,
                  "a reason each");
    ++st.m_handshakes_failed;
    ++(st.*kCounters[why >= 0 && why <= kDtlsFailAbandoned ? why : kDtlsFailAbandoned]);
}

void InitSession(CNetDtlsState* s, int i, SSL* ssl, const sockaddr_in& addr, bool connecting) {
    SDtlsSession& x = s->m_sessions[i];
    --s->m_free_count; // i is FreeSlot's answer, the top of the stack
    s->m_live_at[i] = s->m_live_count;
    s->m_live[s->m_live_count++] = i;
    ++s->m_half_open;
    s->m_index.Insert(addr, i);
    x.m_phase = SDtlsSession::kHandshaking;
    x.m_connecting = connecting;
    x.m_replaces = -1;
    x.m_ssl = ssl;
    x.m_link = SDtlsLink{s, addr, nullptr, 0, false, -1, 0, false, false, kDtlsFailNone};
    x.m_bad_finished = false;
    x.m_min_body = 0;
    x.m_started_ms = x.m_heard_ms = CNetTime::GetTime();
    x.m_window_epoch = 0;
    x.m_window_top = 0;
    x.m_window_bits = 0;
    x.m_held_len = 0;
    x.m_identity = SDtlsSession::kIdentityNone;
    DtlsRelink(ssl, &x.m_link);
    ++s->m_owner->m_stats.m_handshakes_started;
}

// Frees slot i; report (a kNetGone* reason, 0: none) queues kNetEventDisconnect for its
// address, close sends close_notify. A handshake that ends is counted failed: for its refused
// identity, else for a Finished that did not authenticate, else for why.
void EndSession(CNetDtlsState* s, int i, int report, bool close, int why = kDtlsFailAbandoned) {
    SDtlsSession& x = s->m_sessions[i];
    if (x.m_phase == SDtlsSession::kFree) return;
    if (x.m_phase == SDtlsSession::kHandshaking)
        CountFailure(s->m_owner->m_stats, x.m_link.m_fail != kDtlsFailNone ? x.m_link.m_fail
                                          : x.m_bad_finished               ? kDtlsFailKeyMismatch
                                                                           : why);
    if (close && x.m_phase == SDtlsSession::kOpen) SSL_shutdown(x.m_ssl);
    if (x.m_phase == SDtlsSession::kOpen) ++s->m_owner->m_stats.m_sessions_ended;
    SSL_free(x.m_ssl);
    ERR_clear_error();
    --(x.m_phase == SDtlsSession::kOpen ? s->m_open : s->m_half_open);
    s->m_index.Remove(x.m_link.m_addr, i);
    const int last = s->m_live[--s->m_live_count];
    s->m_live[s->m_live_at[i]] = last;
    s->m_live_at[last] = s->m_live_at[i];
    s->m_free[s->m_free_count++] = i;
    x.m_ssl = nullptr;
    x.m_phase = SDtlsSession::kFree;
    x.m_link.m_in_len = 0;
    // Only the handshake from the same address can be waiting to replace this session.
    const int j = FindSession(s, x.m_link.m_addr, SDtlsSession::kHandshaking);
    if (j != -1 && s->m_sessions[j].m_replaces == i) s->m_sessions[j].m_replaces = -1;
    if (report != 0 && s->m_pending_reports < s->m_capacity) {
        s->m_report_reasons[s->m_pending_reports] = report;
        s->m_reports[s->m_pending_reports++] = x.m_link.m_addr;
    }
}

// A handshake that failed (why: kDtlsFail*): the host hears of it only if it asked for the
// session.
void FailHandshake(CNetDtlsState* s, int i, int why) {
    EndSession(s, i, s->m_sessions[i].m_connecting ? kNetGoneSessionEnded : 0, false, why);
}

int SendHeld(CNetDtlsState* s, SDtlsSession& x) {
    if (x.m_held_len == 0) return 0;
    x.m_link.m_send_result = 0;
    const int r = SSL_write(x.m_ssl, x.m_held, x.m_held_len);
    x.m_held_len = 0;
    if (r <= 0) {
        ERR_clear_error();
        ++s->m_owner->m_stats.m_unsent_dropped;
        return -1;
    }
    return x.m_link.m_send_result;
}

// The shortest record body the session's cipher can authenticate: AES-GCM sends an explicit
// nonce before its tag, ChaCha20-Poly1305 none.
int MinBody(SSL* ssl) {
    const SSL_CIPHER* c = SSL_get_current_cipher(ssl);
    const bool chacha = c != nullptr && SSL_CIPHER_get_cipher_nid(c) == NID_chacha20_poly1305;
    return kAeadTag + (chacha ? 0 : kGcmExplicitNonce);
}

void Opened(CNetDtlsState* s, int i) {
    SDtlsSession& x = s->m_sessions[i];
    x.m_phase = SDtlsSession::kOpen;
    --s->m_half_open;
    ++s->m_open;
    x.m_min_body = MinBody(x.m_ssl);
    x.m_heard_ms = CNetTime::GetTime();
    ++s->m_owner->m_stats.m_handshakes_completed;
    // The peer restarted and proved itself again: the old session ends first.
    if (x.m_replaces >= 0) EndSession(s, x.m_replaces, kNetGoneRestarted, false);
    x.m_replaces = -1;
    DtlsPlayerOpened(s, i);
    SendHeld(s, x);
}

// Lets every session's DTLS timer run and applies our own time limits.
// Once per millisecond of CNetTime at most: a host that sends to hundreds of peers a frame
// runs them once, not once per datagram. Backwards, as an ended session leaves the list.
void RunTimers(CNetDtlsState* s) {
    const int now = CNetTime::GetTime();
    if (s->m_timers_run && now == s->m_timers_ms) return;
    s->m_timers_run = true;
    s->m_timers_ms = now;
    for (int k = s->m_live_count - 1; k >= 0; --k) {
        if (k >= s->m_live_count) continue; // an end took more than one session
        const int i = s->m_live[k];
        SDtlsSession& x = s->m_sessions[i];
        if (x.m_phase == SDtlsSession::kHandshaking) {
            if (Elapsed(now, x.m_started_ms) > s->m_handshake_timeout_ms ||
                DTLSv1_handle_timeout(x.m_ssl) < 0)
                FailHandshake(s, i, kDtlsFailTimeout);
        } else if (x.m_phase == SDtlsSession::kOpen && s->m_idle_timeout_ms > 0 &&
                   Elapsed(now, x.m_heard_ms) > s->m_idle_timeout_ms) {
            // An open session needs no timer of ours: a lost last flight is repeated by DTLS
            // when the peer repeats its own.
            EndSession(s, i, kNetGoneSessionEnded, true);
        }
    }
    ERR_clear_error();
}

// Sorts an authentic-looking record that yielded nothing into replayed or rejected.
void CountDropped(CNetDtlsState* s, SDtlsSession& x, const unsigned char* d, int n) {
    if (!IsRecord(d, n)) {
        ++s->m_owner->m_stats.m_rejected;
        return;
    }
    if (d[0] != kContentApplication) {
        // Under the session's keys the peer sends a handshake record only as its last flight
        // again (its answer lost); OpenSSL answers or drops it, and one made to look so
        // cannot be told apart before it is dropped. An alert that ended nothing failed.
        ++(d[0] == kContentHandshake ? s->m_owner->m_stats.m_replayed
                                     : s->m_owner->m_stats.m_rejected);
        return;
    }
    const std::uint64_t seq = RecordNumber(d);
    const bool seen =
        RecordEpoch(d) == x.m_window_epoch && seq <= x.m_window_top &&
        (x.m_window_top - seq >= 64 || (x.m_window_bits >> (x.m_window_top - seq) & 1));
    ++(seen ? s->m_owner->m_stats.m_replayed : s->m_owner->m_stats.m_rejected);
}

void NoteDelivered(SDtlsSession& x, const unsigned char* d, int n) {
    if (!IsRecord(d, n) || d[0] != kContentApplication) return;
    const std::uint16_t epoch = RecordEpoch(d);
    const std::uint64_t seq = RecordNumber(d);
    if (epoch != x.m_window_epoch) {
        x.m_window_epoch = epoch;
        x.m_window_top = seq;
        x.m_window_bits = 1;
    } else if (seq > x.m_window_top) {
        const std::uint64_t shift = seq - x.m_window_top;
        x.m_window_bits = shift >= 64 ? 1 : (x.m_window_bits << shift | 1);
        x.m_window_top = seq;
    } else if (x.m_window_top - seq < 64) {
        x.m_window_bits |= std::uint64_t{1} << (x.m_window_top - seq);
    }
}

enum : int { kFedNothing = 0, kFedEnded = -2 };

bool HasFinishedRecord(const unsigned char* d, int n) {
    for (int at = 0; at + kRecordHeader <= n;) {
        const unsigned char* r = d + at;
        if (r[0] == kContentHandshake && RecordEpoch(r) == kOpenEpoch) return true;
        at += kRecordHeader + (r[11] << 8 | r[12]);
    }
    return false;
}

// Reads what the datagram in x's link (or what the SSL object holds) gives: the length of
// decrypted data, kFedNothing, or kFedEnded when the session ended (report queued).
int Feed(CNetDtlsState* s, int i, void* buf, int cap, int n) {
    SDtlsSession& x = s->m_sessions[i];
    const unsigned char* d = s->m_cipher;
    const bool was_open = x.m_phase == SDtlsSession::kOpen;
    if (x.m_phase == SDtlsSession::kHandshaking) {
        const int r = SSL_do_handshake(x.m_ssl);
        if (r != 1) {
            const int e = SSL_get_error(x.m_ssl, r);
            ERR_clear_error();
            if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) {
                // OpenSSL marks the peer's fatal alert (a host with no room, say) as received.
                const bool alert = (SSL_get_shutdown(x.m_ssl) & SSL_RECEIVED_SHUTDOWN) != 0;
                FailHandshake(s, i, alert ? kDtlsFailByPeer : kDtlsFailError);
                return kFedEnded;
            }
            if (!IsRecord(d, n)) ++s->m_owner->m_stats.m_rejected;
            // In a handshake the only record under the new keys is the peer's Finished: one
            // that came and did not finish the handshake did not authenticate.
            if (HasFinishedRecord(d, n)) x.m_bad_finished = true;
            // A refused identity's handshake goes on to its time-out like a wrong key's: ended
            // earlier, it would stop answering the peer's repeated flights and tell the two
            // apart.
            return kFedNothing;
        }
        Opened(s, i);
        // The end of the session this one replaces goes up first; records that came with
        // the last flight wait inside the SSL object for the next call.
        if (s->m_pending_reports > 0) return kFedNothing;
    }
    x.m_link.m_mute_alerts = true;
    const int r = SSL_read(x.m_ssl, buf, cap);
    x.m_link.m_mute_alerts = false;
    if (r > 0) {
        x.m_heard_ms = CNetTime::GetTime();
        NoteDelivered(x, d, n);
        return r;
    }
    const int e = SSL_get_error(x.m_ssl, r);
    ERR_clear_error();
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
        if (n > 0 && was_open) CountDropped(s, x, d, n); // else it finished the handshake
        return kFedNothing;
    }
    // Only the peer's own close_notify or fatal alert, which OpenSSL takes only from a record
    // that authenticated, ends the session here. Any other failure came from a record that
    // did not authenticate (Screen lets none through that OpenSSL would fail on, so this is a
    // last line): it is counted and nothing was said to the peer (m_mute_alerts). OpenSSL
    // keeps the session failed; it ends by the idle limit like a silent peer.
    if ((SSL_get_shutdown(x.m_ssl) & SSL_RECEIVED_SHUTDOWN) == 0) {
        ++s->m_owner->m_stats.m_rejected;
        return kFedNothing;
    }
    EndSession(s, i, kNetGoneSessionEnded, false);
    return kFedEnded;
}

// What an open session's datagram may show OpenSSL: its records that could authenticate
// under the session's keys, moved together at the front of d; returns their length (0: none).
// A record is kept when its header is whole, its length field fits the datagram, its epoch is
// the session's, its type one the peer sends on an open session (alert, a repeated handshake
// flight, data) and its body at least the nonce and tag. Everything else is dropped here,
// before OpenSSL can act on it: a body shorter than the tag makes OpenSSL fail the session
// with a fatal alert, a record of the next epoch would be buffered, and a plain-text (epoch 0)
// alert or handshake message would be read as the peer's. A plain-text record the peer really
// sent (its last flight again) arrives with its authenticated Finished, which is kept.
int Screen(const SDtlsSession& x, unsigned char* d, int n) {
    int kept = 0;
    for (int at = 0; at + kRecordHeader <= n;) {
        const unsigned char* r = d + at;
        const int body = r[11] << 8 | r[12];
        if (body > n - at - kRecordHeader) break; // cut short: the rest is not records
        const int whole = kRecordHeader + body;
        if (IsRecord(r, whole) && r[0] != 20 && RecordEpoch(r) == kOpenEpoch &&
            body >= x.m_min_body) {
            std::memmove(d + kept, r, static_cast<size_t>(whole));
            kept += whole;
        }
        at += whole;
    }
    return kept;
}

// A ClientHello from a sender without a session (or from a peer that restarted): answered
// with a stateless cookie, or, once the cookie comes back, given a half-open slot.
void Listen(CNetDtlsState* s, const sockaddr_in& from, int n, int replaces) {
    SNetDtlsStats& st = s->m_owner->m_stats;
    if (s->m_listener == nullptr) s->m_listener = DtlsMakeSsl(s, true, &s->m_listen_link);
    if (s->m_listener == nullptr) {
        ++st.m_rejected;
        return;
    }
    SSL* l = s->m_listener;
    SSL_clear(l);
    s->m_listen_link.m_addr = from;
    s->m_listen_link.m_in = s->m_cipher;
    s->m_listen_link.m_in_len = n;
    s->m_listen_link.m_peek = false;
    s->m_listen_link.m_budget = n;
    const std::uint32_t cookies = st.m_cookies_sent;
    const int r = DTLSv1_listen(l, s->m_listen_peer);
    s->m_listen_link.m_in_len = 0;
    s->m_listen_link.m_budget = 0;
    ERR_clear_error();
    if (r <= 0) {
        if (st.m_cookies_sent == cookies) ++st.m_rejected;
        return;
    }
    const int slot = FreeSlot(s);
    if (slot == kHalfOpenFull) {
        ++st.m_hellos_deferred; // it repeats its hello, and a handshake will have ended
        return;
    }
    if (slot == kTableFull) {
        // The sender proved its address: it is told at once (HelloCheck) rather than left to
        // repeat its hello until its own time-out. The alert is smaller than its hello.
        s->m_listen_link.m_budget = n;
        s->m_refusing = true;
        SSL_accept(l);
        s->m_refusing = false;
        s->m_listen_link.m_budget = 0;
        ERR_clear_error();
        SSL_free(l); // a failed object is not reused; a new one is made on demand
        s->m_listener = nullptr;
        ++st.m_handshakes_started;
        CountFailure(st, kDtlsFailFull);
        return;
    }
    s->m_listener = nullptr; // the listener becomes the session; a new one is made on demand
    DtlsTune(l);
    InitSession(s, slot, l, from, false);
    Slot(s, slot)->m_replaces = replaces;
    if (SSL_accept(l) != 1) {
        const int e = SSL_get_error(l, -1);
        ERR_clear_error();
        if (e != SSL_ERROR_WANT_READ) FailHandshake(s, slot, kDtlsFailError);
    }
}

// Which handshake wins when both sides started one: the lower ClientHello random.
bool TheirsWins(SSL* ours, const unsigned char* hello) {
    unsigned char mine[32];
    if (SSL_get_client_random(ours, mine, sizeof mine) != sizeof mine) return true;
    return std::memcmp(hello + kClientHelloRandom, mine, sizeof mine) < 0;
}

// A stale copy of the ClientHello that opened session x.
bool SameHello(SSL* ssl, const unsigned char* hello) {
    unsigned char theirs[32];
    return SSL_get_client_random(ssl, theirs, sizeof theirs) == sizeof theirs &&
           std::memcmp(hello + kClientHelloRandom, theirs, sizeof theirs) == 0;
}

} // namespace

void DtlsEndSession(CNetDtlsState* s, int i, int report, bool close) {
    EndSession(s, i, report, close);
}

// ---- Driver operations

int CNetDtls::SetBlockMode(bool non_blocking) {
    return m_state != nullptr ? m_inner->SetBlockMode(non_blocking) : -1;
}

int CNetDtls::MakeBroadcastCapable() {
    return -1;
}

int CNetDtls::Init() {
    if (m_state == nullptr) return -1;
    for (int i = 0; i < m_state->m_capacity; ++i)
        EndSession(m_state, i, 0, false);
    m_state->m_pending_reports = 0;
    return m_inner->Init();
}

int CNetDtls::Shutdown() {
    if (m_state == nullptr) return -1;
    CloseAll();
    return m_inner->Shutdown();
}

int CNetDtls::Connected(sockaddr_in* peer) {
    return m_state != nullptr ? m_inner->Connected(peer) : -1;
}

int CNetDtls::Disconnected(sockaddr_in* peer) {
    if (m_state != nullptr && peer != nullptr)
        for (int i; (i = FindSession(m_state, *peer)) != -1;)
            EndSession(m_state, i, 0, true);
    return kNetEventDisconnect;
}

char* CNetDtls::GetAddr() {
    return m_state != nullptr ? m_inner->GetAddr() : nullptr;
}

void CNetDtls::CloseAll() {
    if (m_state == nullptr) return;
    for (int i = 0; i < m_state->m_capacity; ++i)
        EndSession(m_state, i, 0, true);
    m_state->m_pending_reports = 0;
}

int CNetDtls::GetOpenSessions() const {
    return m_state != nullptr ? CountPhase(m_state, SDtlsSession::kOpen) : 0;
}

int CNetDtls::GetHalfOpen() const {
    return m_state != nullptr ? CountPhase(m_state, SDtlsSession::kHandshaking) : 0;
}

int CNetDtls::Broadcast(int, void*, sockaddr_in*) {
    return -1;
}

int CNetDtls::HoldSends() {
    return m_state != nullptr ? m_inner->HoldSends() : 0;
}

int CNetDtls::ExpectPeers(int peers) {
    if (m_state != nullptr && peers >= 1) {
        m_state->m_table = std::min(peers, static_cast<int>(CNetManager::kMaxClientsLimit));
        m_state->ApplyLimits(); // out of memory: the limits fit the table made before
    }
    return m_inner != nullptr ? m_inner->ExpectPeers(peers) : 0;
}

int CNetDtls::GetMaxSessions() const {
    return m_state != nullptr ? m_state->m_max_sessions : 0;
}

int CNetDtls::GetMaxHalfOpen() const {
    return m_state != nullptr ? m_state->m_max_half_open : 0;
}

int CNetDtls::FlushSends() {
    return m_state != nullptr ? m_inner->FlushSends() : 0;
}

int CNetDtls::GetGoneReason(const sockaddr_in* peer) {
    const CNetDtlsState* s = m_state;
    if (s == nullptr || peer == nullptr || s->m_gone_reason == 0 ||
        !SameAddr(s->m_gone_addr, *peer))
        return CNetDriver::GetGoneReason(peer);
    return s->m_gone_reason;
}

int CNetDtls::SendTo(int len, void* data, sockaddr_in* to) {
    CNetDtlsState* s = m_state;
    if (s == nullptr || to == nullptr || data == nullptr || len < 1 || len > kMaxPlain) return -1;
    RunTimers(s);
    int i = FindSession(s, *to, SDtlsSession::kOpen);
    if (i == -1) i = FindSession(s, *to, SDtlsSession::kHandshaking);
    if (i == -1) {
        if (!(s->m_role & SNetDtlsConfig::kConnect) || (i = FreeSlot(s)) < 0) {
            ++m_stats.m_unsent_dropped;
            return 0;
        }
        SSL* ssl = DtlsMakeSsl(s, false, nullptr);
        if (ssl == nullptr) {
            ++m_stats.m_unsent_dropped;
            return 0;
        }
        InitSession(s, i, ssl, *to, true);
        if (SSL_do_handshake(ssl) != 1 && SSL_get_error(ssl, -1) != SSL_ERROR_WANT_READ) {
            ERR_clear_error();
            FailHandshake(s, i, kDtlsFailError);
            ++m_stats.m_unsent_dropped;
            return 0;
        }
        ERR_clear_error();
    }
    SDtlsSession& x = s->m_sessions[i];
    if (x.m_phase == SDtlsSession::kHandshaking) {
        m_stats.m_unsent_dropped += x.m_held_len != 0; // the newest datagram is kept
        std::memcpy(x.m_held, data, static_cast<size_t>(len));
        x.m_held_len = len;
        return 0;
    }
    x.m_link.m_send_result = 0;
    const int r = SSL_write(x.m_ssl, data, len);
    if (r <= 0) {
        ERR_clear_error();
        return -1;
    }
    return x.m_link.m_send_result == -1 ? -1 : 0;
}

int CNetDtls::RecvFrom(int* len, void* buf, sockaddr_in* from) {
    CNetDtlsState* s = m_state;
    if (s == nullptr || len == nullptr || buf == nullptr || from == nullptr) return -1;
    const int cap = *len;
    RunTimers(s);
    if (s->m_pending_reports > 0) {
        *from = s->m_gone_addr = s->m_reports[0];
        s->m_gone_reason = s->m_report_reasons[0];
        --s->m_pending_reports;
        std::memmove(s->m_reports, s->m_reports + 1,
                     static_cast<size_t>(s->m_pending_reports) * sizeof s->m_reports[0]);
        std::memmove(s->m_report_reasons, s->m_report_reasons + 1,
                     static_cast<size_t>(s->m_pending_reports) * sizeof s->m_report_reasons[0]);
        *len = 0;
        return kNetEventDisconnect;
    }
    // A datagram that held more than one record, or records OpenSSL kept, come first. Only
    // the session fed last can hold any: every call returns once a session yields data.
    if (const int i = s->m_resume; i != -1) {
        SDtlsSession& x = s->m_sessions[i];
        if (x.m_phase == SDtlsSession::kOpen &&
            (x.m_link.m_in_len > 0 || SSL_has_pending(x.m_ssl))) {
            const int got = Feed(s, i, buf, cap, 0);
            if (got > 0) {
                *from = x.m_link.m_addr;
                *len = got;
                return 0;
            }
            x.m_link.m_in_len = 0;
        }
        s->m_resume = -1;
    }
    int failures = 0;
    for (int reads = 0; reads < kMaxReadsPerCall; ++reads) {
        int n = static_cast<int>(sizeof s->m_cipher);
        sockaddr_in src{};
        const int r = m_inner->RecvFrom(&n, s->m_cipher, &src);
        if (r == -1) {
            ++m_stats.m_inner_errors;
            if (++failures >= kMaxInnerFailures) return -1;
            continue;
        }
        failures = 0;
        if (r >= kNetEventBase) {
            // The peer is unreachable: its session goes without a report of ours.
            for (int i; (i = FindSession(s, src)) != -1;)
                EndSession(s, i, 0, false);
            *from = s->m_gone_addr = src;
            s->m_gone_reason = kNetGoneUnreachable;
            *len = 0;
            return r;
        }
        if (n <= 0) break;
        const unsigned char* d = s->m_cipher;
        const bool hello = IsClientHello(d, n);
        int i = FindSession(s, src, SDtlsSession::kHandshaking);
        const int open = FindSession(s, src, SDtlsSession::kOpen);
        if (i != -1 && hello && s->m_sessions[i].m_connecting) {
            // Both sides started: one handshake gives way, the same one on both sides.
            if (!TheirsWins(s->m_sessions[i].m_ssl, d)) {
                ++m_stats.m_rejected;
                continue;
            }
            m_stats.m_unsent_dropped += s->m_sessions[i].m_held_len != 0;
            EndSession(s, i, 0, false, kDtlsFailYielded);
            i = -1;
        }
        if (i != -1 && open != -1 && d[0] != kContentHandshake && d[0] != 20)
            i = open; // records of the old session while its successor shakes hands
        if (i == -1) i = open;
        if (i == -1 || (hello && i == open)) {
            if (hello && i == open && i != -1 && SameHello(s->m_sessions[i].m_ssl, d)) {
                ++m_stats.m_replayed; // a late copy of the hello that opened this session
                continue;
            }
            if (hello && (s->m_role & SNetDtlsConfig::kAccept))
                Listen(s, src, n, open);
            else
                ++m_stats.m_rejected;
            continue;
        }
        SDtlsSession& x = s->m_sessions[i];
        // The rule for an open session: a datagram that does not authenticate under its keys
        // changes nothing of it (its end, replay window, timers, held datagram). In order:
        // a datagram from its address that is a ClientHello went to Listen above (a restart
        // ends this session only once its new handshake completes); Screen keeps only records
        // that can authenticate, and a datagram with none is dropped and counted here; OpenSSL
        // then authenticates each record, and a failure it reports ends the session only when
        // it came from the peer's authenticated close_notify or fatal alert (Feed); every
        // datagram that yields nothing is counted, as replayed or rejected (CountDropped).
        if (x.m_phase == SDtlsSession::kOpen && (n = Screen(x, s->m_cipher, n)) == 0) {
            // A plain-text handshake record (or change_cipher_spec) is most often the peer's
            // handshake again: a copy the network made or a flight repeated after it opened.
            const bool repeat = RecordEpoch(d) == 0 && (d[0] == kContentHandshake || d[0] == 20);
            ++(repeat ? m_stats.m_replayed : m_stats.m_rejected);
            continue;
        }
        x.m_link.m_in = d;
        x.m_link.m_in_len = n;
        x.m_link.m_peek = false;
        const int got = Feed(s, i, buf, cap, n);
        if (got != kFedEnded) s->m_resume = i;
        if (got == kFedEnded || (got <= 0 && s->m_pending_reports > 0))
            break; // the report goes up first
        if (got > 0) {
            *from = src;
            *len = got;
            return 0;
        }
        x.m_link.m_in_len = 0;
    }
    if (s->m_pending_reports > 0) return RecvFrom(len, buf, from);
    *len = 0;
    return 0;
}
