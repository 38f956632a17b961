// CNetDtls: construction, the driver's operations and the send path. The receive path is in
// DtlsIntake.cpp, the session table in DtlsSessions.cpp, what is reported and counted in
// DtlsReports.cpp. Nothing here allocates per datagram once a session is open: records go
// through fixed buffers and a BIO that hands them straight to the wrapped driver.
#include "portnet/CNetDtls.h"

#include <openssl/err.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "portnet/CNetManager.h"
#include "secure/DtlsState.h"

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

namespace {

int CountPhase(const CNetDtlsState* s, int phase) {
    return phase == SDtlsSession::kOpen ? s->m_open : s->m_half_open;
}

} // namespace

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
        DtlsEndSession(m_state, i, 0, false);
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

int CNetDtls::ConnectedAddr(const CNetAddr& peer) {
    return m_state != nullptr ? m_inner->ConnectedAddr(peer) : -1;
}

int CNetDtls::Disconnected(sockaddr_in* peer) {
    if (peer != nullptr) End(CNetAddr::FromSockaddrIn(*peer));
    return kNetEventDisconnect;
}

// IPv4 and loopback peers go through the sockaddr_in calls, so that a class derived from this
// one that overrides those is heard (as CNetDriver's defaults do).
int CNetDtls::DisconnectedAddr(const CNetAddr& peer) {
    sockaddr_in in;
    if (peer.ToSockaddrIn(&in) == 1) return Disconnected(&in);
    End(peer);
    return kNetEventDisconnect;
}

void CNetDtls::End(const CNetAddr& peer) {
    if (m_state != nullptr)
        for (int i; (i = DtlsFindSession(m_state, peer)) != -1;)
            DtlsEndSession(m_state, i, 0, true);
}

char* CNetDtls::GetAddr() {
    return m_state != nullptr ? m_inner->GetAddr() : nullptr;
}

void CNetDtls::CloseAll() {
    if (m_state == nullptr) return;
    for (int i = 0; i < m_state->m_capacity; ++i)
        DtlsEndSession(m_state, i, 0, true);
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

int CNetDtls::BroadcastAddr(int, void*, const CNetAddr&) {
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

int CNetDtls::SendTo(int len, void* data, sockaddr_in* to) {
    return to != nullptr ? Send(len, data, CNetAddr::FromSockaddrIn(*to)) : -1;
}

int CNetDtls::SendToAddr(int len, void* data, const CNetAddr& to) {
    sockaddr_in in;
    return to.ToSockaddrIn(&in) == 1 ? SendTo(len, data, &in) : Send(len, data, to);
}

int CNetDtls::Send(int len, void* data, const CNetAddr& to) {
    CNetDtlsState* s = m_state;
    if (s == nullptr || to.Family() == 0 || data == nullptr || len < 1 || len > kMaxPlain)
        return -1;
    DtlsRunTimers(s);
    int i = DtlsFindSession(s, to, SDtlsSession::kOpen);
    if (i == -1) i = DtlsFindSession(s, to, SDtlsSession::kHandshaking);
    if (i == -1) {
        if (!(s->m_role & SNetDtlsConfig::kConnect) || (i = DtlsFreeSlot(s)) < 0) {
            ++m_stats.m_unsent_dropped;
            return 0;
        }
        SSL* ssl = DtlsMakeSsl(s, false, nullptr);
        if (ssl == nullptr) {
            ++m_stats.m_unsent_dropped;
            return 0;
        }
        DtlsInitSession(s, i, ssl, to, true);
        if (SSL_do_handshake(ssl) != 1 && SSL_get_error(ssl, -1) != SSL_ERROR_WANT_READ) {
            ERR_clear_error();
            DtlsFailHandshake(s, i, kDtlsFailError);
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
