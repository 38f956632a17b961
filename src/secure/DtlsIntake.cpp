// The receive path of CNetDtls: each datagram of the wrapped driver goes to its session or to
// the stateless listener, is screened and fed to OpenSSL; what yields nothing is counted.
#include <openssl/err.h>

#include <cstring>

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
    kOpenEpoch = 1           // renegotiation is off: an open session reads epoch 1 only
};

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

SDtlsSession* Slot(CNetDtlsState* s, int i) {
    return &s->m_sessions[i];
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
                DtlsFailHandshake(s, i, alert ? kDtlsFailByPeer : kDtlsFailError);
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
        DtlsOpened(s, i);
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
    DtlsEndSession(s, i, kNetGoneSessionEnded, false);
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
void Listen(CNetDtlsState* s, const CNetAddr& from, int n, int replaces) {
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
    const int slot = DtlsFreeSlot(s);
    if (slot == kDtlsHalfOpenFull) {
        ++st.m_hellos_deferred; // it repeats its hello, and a handshake will have ended
        return;
    }
    if (slot == kDtlsTableFull) {
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
        DtlsCountFailure(st, kDtlsFailFull);
        return;
    }
    s->m_listener = nullptr; // the listener becomes the session; a new one is made on demand
    DtlsTune(l);
    DtlsInitSession(s, slot, l, from, false);
    Slot(s, slot)->m_replaces = replaces;
    if (SSL_accept(l) != 1) {
        const int e = SSL_get_error(l, -1);
        ERR_clear_error();
        if (e != SSL_ERROR_WANT_READ) DtlsFailHandshake(s, slot, kDtlsFailError);
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

int CNetDtls::RecvFrom(int* len, void* buf, sockaddr_in* from) {
    if (m_state == nullptr || from == nullptr) return -1;
    CNetAddr sender;
    const int r = Receive(len, buf, &sender);
    if (r == -1 || sender.Family() == 0) return r;
    m_state->m_last_sender = sender;
    // An IPv6 sender is named by its family alone; RecvFromAddr and LastSender give the rest.
    if (sender.ToSockaddrIn(from) != 1) {
        std::memset(from, 0, sizeof *from);
        from->sin_family = sender.Family();
    }
    return r;
}

CNetAddr CNetDtls::LastSender() const {
    return m_state != nullptr ? m_state->m_last_sender : CNetAddr();
}

int CNetDtls::Receive(int* len, void* buf, CNetAddr* from) {
    CNetDtlsState* s = m_state;
    if (s == nullptr || len == nullptr || buf == nullptr || from == nullptr) return -1;
    const int cap = *len;
    DtlsRunTimers(s);
    if (DtlsTakeReport(s, from)) {
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
        CNetAddr src;
        const int r = m_inner->RecvFromAddr(&n, s->m_cipher, &src);
        if (r == -1) {
            ++m_stats.m_inner_errors;
            if (++failures >= kMaxInnerFailures) return -1;
            continue;
        }
        failures = 0;
        if (r >= kNetEventBase) {
            // The peer is unreachable: its session goes without a report of ours.
            for (int i; (i = DtlsFindSession(s, src)) != -1;)
                DtlsEndSession(s, i, 0, false);
            *from = s->m_gone_addr = src;
            s->m_gone_reason = kNetGoneUnreachable;
            *len = 0;
            return r;
        }
        if (n <= 0) break;
        const unsigned char* d = s->m_cipher;
        const bool hello = IsClientHello(d, n);
        int i = DtlsFindSession(s, src, SDtlsSession::kHandshaking);
        const int open = DtlsFindSession(s, src, SDtlsSession::kOpen);
        if (i != -1 && hello && s->m_sessions[i].m_connecting) {
            // Both sides started: one handshake gives way, the same one on both sides.
            if (!TheirsWins(s->m_sessions[i].m_ssl, d)) {
                ++m_stats.m_rejected;
                continue;
            }
            m_stats.m_unsent_dropped += s->m_sessions[i].m_held_len != 0;
            DtlsEndSession(s, i, 0, false, kDtlsFailYielded);
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
    if (s->m_pending_reports > 0) return Receive(len, buf, from);
    *len = 0;
    return 0;
}
