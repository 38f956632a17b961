// What CNetDtls tells the host: ended sessions, reported as 10001 in the order they ended with
// the reason each ended for, and every handshake that failed, counted by its reason.
#include <cstring>

#include "secure/DtlsState.h"

// A handshake that ended without completing, in its reason (kDtlsFail*).
void DtlsCountFailure(SNetDtlsStats& st, int why) {
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

void DtlsQueueReport(CNetDtlsState* s, const CNetAddr& addr, int reason) {
    if (reason != 0 && s->m_pending_reports < s->m_capacity) {
        s->m_report_reasons[s->m_pending_reports] = reason;
        s->m_reports[s->m_pending_reports++] = addr;
    }
}

bool DtlsTakeReport(CNetDtlsState* s, CNetAddr* from) {
    if (s->m_pending_reports == 0) return false;
    *from = s->m_gone_addr = s->m_reports[0];
    s->m_gone_reason = s->m_report_reasons[0];
    --s->m_pending_reports;
    std::memmove(s->m_reports, s->m_reports + 1,
                 static_cast<size_t>(s->m_pending_reports) * sizeof s->m_reports[0]);
    std::memmove(s->m_report_reasons, s->m_report_reasons + 1,
                 static_cast<size_t>(s->m_pending_reports) * sizeof s->m_report_reasons[0]);
    return true;
}

int CNetDtls::GetGoneReason(const sockaddr_in* peer) {
    return peer != nullptr ? GoneReason(CNetAddr::FromSockaddrIn(*peer)) : kNetGoneUnreachable;
}

int CNetDtls::GetGoneReasonAddr(const CNetAddr& peer) {
    sockaddr_in in;
    return peer.ToSockaddrIn(&in) == 1 ? GetGoneReason(&in) : GoneReason(peer);
}

int CNetDtls::GoneReason(const CNetAddr& peer) const {
    const CNetDtlsState* s = m_state;
    if (s == nullptr || s->m_gone_reason == 0 || s->m_gone_addr != peer) return kNetGoneUnreachable;
    return s->m_gone_reason;
}
