// The session table of CNetDtls: its arrays and limits, a session's start, opening and end, and
// the timers that end sessions. Nothing here allocates per datagram.
#include <openssl/err.h>
#include <openssl/rand.h>

#include <algorithm>
#include <new>

#include "client/NetWrap.h"
#include "portnet/CNetTime.h"
#include "secure/DtlsState.h"

namespace {

enum : int { kAeadTag = 16, kGcmExplicitNonce = 8 };

// The shortest record body the session's cipher can authenticate: AES-GCM sends an explicit
// nonce before its tag, ChaCha20-Poly1305 none.
int MinBody(SSL* ssl) {
    const SSL_CIPHER* c = SSL_get_current_cipher(ssl);
    const bool chacha = c != nullptr && SSL_CIPHER_get_cipher_nid(c) == NID_chacha20_poly1305;
    return kAeadTag + (chacha ? 0 : kGcmExplicitNonce);
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

} // namespace

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
    auto* reports = new (std::nothrow) CNetAddr[n];
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

// The session for addr in the given phase (any live one for -1); -1 when none. An address
// holds at most an open session and a handshake.
int DtlsFindSession(const CNetDtlsState* s, const CNetAddr& addr, int phase) {
    int found[4];
    const int n = s->m_index.Find(addr, found, 4);
    for (int k = 0; k < n; ++k)
        if (phase == -1 || s->m_sessions[found[k]].m_phase == phase) return found[k];
    return -1;
}

// The slot the next session takes (the top of the free stack); kDtlsTableFull when every session
// is taken, kDtlsHalfOpenFull when sessions are free but not the half-open table.
int DtlsFreeSlot(const CNetDtlsState* s) {
    if (s->m_open + s->m_half_open >= s->m_max_sessions || s->m_free_count == 0)
        return kDtlsTableFull;
    if (s->m_half_open >= s->m_max_half_open) return kDtlsHalfOpenFull;
    return s->m_free[s->m_free_count - 1];
}

void DtlsInitSession(CNetDtlsState* s, int i, SSL* ssl, const CNetAddr& addr, bool connecting) {
    SDtlsSession& x = s->m_sessions[i];
    --s->m_free_count; // i is DtlsFreeSlot's answer, the top of the stack
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
void DtlsEndSession(CNetDtlsState* s, int i, int report, bool close, int why) {
    SDtlsSession& x = s->m_sessions[i];
    if (x.m_phase == SDtlsSession::kFree) return;
    if (x.m_phase == SDtlsSession::kHandshaking)
        DtlsCountFailure(s->m_owner->m_stats, x.m_link.m_fail != kDtlsFailNone ? x.m_link.m_fail
                                              : x.m_bad_finished ? kDtlsFailKeyMismatch
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
    const int j = DtlsFindSession(s, x.m_link.m_addr, SDtlsSession::kHandshaking);
    if (j != -1 && s->m_sessions[j].m_replaces == i) s->m_sessions[j].m_replaces = -1;
    DtlsQueueReport(s, x.m_link.m_addr, report);
}

// A handshake that failed (why: kDtlsFail*): the host hears of it only if it asked for the
// session.
void DtlsFailHandshake(CNetDtlsState* s, int i, int why) {
    DtlsEndSession(s, i, s->m_sessions[i].m_connecting ? kNetGoneSessionEnded : 0, false, why);
}

void DtlsOpened(CNetDtlsState* s, int i) {
    SDtlsSession& x = s->m_sessions[i];
    x.m_phase = SDtlsSession::kOpen;
    --s->m_half_open;
    ++s->m_open;
    x.m_min_body = MinBody(x.m_ssl);
    x.m_heard_ms = CNetTime::GetTime();
    ++s->m_owner->m_stats.m_handshakes_completed;
    // The peer restarted and proved itself again: the old session ends first.
    if (x.m_replaces >= 0) DtlsEndSession(s, x.m_replaces, kNetGoneRestarted, false);
    x.m_replaces = -1;
    DtlsPlayerOpened(s, i);
    SendHeld(s, x);
}

// Lets every session's DTLS timer run and applies our own time limits.
// Once per millisecond of CNetTime at most: a host that sends to hundreds of peers a frame
// runs them once, not once per datagram. Backwards, as an ended session leaves the list.
void DtlsRunTimers(CNetDtlsState* s) {
    const int now = CNetTime::GetTime();
    if (s->m_timers_run && now == s->m_timers_ms) return;
    s->m_timers_run = true;
    s->m_timers_ms = now;
    for (int k = s->m_live_count - 1; k >= 0; --k) {
        if (k >= s->m_live_count) continue; // an end took more than one session
        const int i = s->m_live[k];
        SDtlsSession& x = s->m_sessions[i];
        if (x.m_phase == SDtlsSession::kHandshaking) {
            if (portnet::WrapSub(now, x.m_started_ms) > s->m_handshake_timeout_ms ||
                DTLSv1_handle_timeout(x.m_ssl) < 0)
                DtlsFailHandshake(s, i, kDtlsFailTimeout);
        } else if (x.m_phase == SDtlsSession::kOpen && s->m_idle_timeout_ms > 0 &&
                   portnet::WrapSub(now, x.m_heard_ms) > s->m_idle_timeout_ms) {
            // An open session needs no timer of ours: a lost last flight is repeated by DTLS
            // when the peer repeats its own.
            DtlsEndSession(s, i, kNetGoneSessionEnded, true);
        }
    }
    ERR_clear_error();
}
