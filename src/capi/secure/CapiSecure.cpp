// The secure driver and connect tokens from C: a thin layer over CNetDtls and
// CNetConnectToken whose drivers live in the core's handle table.

#include <cstring>
#include <new>

#include "capi/CapiExtension.h"
#include "portnet/CNetConnectToken.h"
#include "portnet/CNetDtls.h"
#include "portnet/portnet_secure_c.h"

namespace {

void Limit(SNetDtlsConfig* c, const portnet_dtls_limits* l) {
    if (!l) return;
    if (l->handshake_timeout_ms > 0) c->m_handshake_timeout_ms = l->handshake_timeout_ms;
    if (l->idle_timeout_ms != 0)
        c->m_idle_timeout_ms = l->idle_timeout_ms < 0 ? 0 : l->idle_timeout_ms;
    if (l->max_sessions > 0) c->m_max_sessions = l->max_sessions;
    if (l->max_half_open > 0) c->m_max_half_open = l->max_half_open;
    if (l->retransmit_ms > 0) c->m_retransmit_ms = l->retransmit_ms;
    if (l->token_skew_s > 0) c->m_token_skew_s = l->token_skew_s;
}

// Makes the driver over inner; the configuration is read by the constructor alone.
portnet_status Make(portnet_handle inner, const SNetDtlsConfig& config, portnet_handle* out) {
    void* wrapped = nullptr;
    const portnet_status s = portnet_ext_wrappable(inner, &wrapped);
    if (s != PORTNET_OK) return s;
    if (!out) return PORTNET_E_ARGUMENT;
    *out = PORTNET_NULL_HANDLE;
    auto* dtls = new (std::nothrow) CNetDtls(static_cast<CNetDriver*>(wrapped), config);
    if (!dtls) return PORTNET_E_NO_MEMORY;
    if (!dtls->IsReady()) {
        delete dtls;
        portnet_ext_set_error("the secure driver's credentials or limits cannot be used");
        return PORTNET_E_FAILED;
    }
    // The wrapped driver is open already: no Init, which would open it anew.
    return portnet_ext_adopt_driver(dtls, PORTNET_KIND_DTLS, inner, out);
}

bool Role(int32_t role) {
    return role >= PORTNET_DTLS_ACCEPT && role <= PORTNET_DTLS_BOTH;
}

} // namespace

extern "C" {

portnet_status portnet_dtls_create_psk(portnet_handle inner, int32_t role, const uint8_t* key,
                                       int32_t key_len, const char* identity,
                                       const portnet_dtls_limits* limits, portnet_handle* out) {
    if (!Role(role) || !key || key_len < 1 || key_len > 64 || !identity ||
        std::strlen(identity) > 256)
        return PORTNET_E_ARGUMENT;
    SNetDtlsConfig c;
    c.m_role = role;
    c.m_psk_key = key;
    c.m_psk_key_len = key_len;
    c.m_psk_identity = identity;
    Limit(&c, limits);
    return Make(inner, c, out);
}

portnet_status portnet_dtls_create_cert(portnet_handle inner, int32_t role, const char* chain_pem,
                                        const char* key_pem, const char* ca_pem,
                                        const portnet_dtls_limits* limits, portnet_handle* out) {
    if (!Role(role) || !chain_pem || !key_pem || !ca_pem) return PORTNET_E_ARGUMENT;
    SNetDtlsConfig c;
    c.m_role = role;
    c.m_cert_chain_pem = chain_pem;
    c.m_private_key_pem = key_pem;
    c.m_ca_pem = ca_pem;
    Limit(&c, limits);
    return Make(inner, c, out);
}

portnet_status portnet_dtls_create_token_host(portnet_handle inner, const uint8_t* sealing_key,
                                              const char* server_name, uint64_t protocol_id,
                                              const portnet_dtls_limits* limits,
                                              portnet_handle* out) {
    if (!sealing_key || !server_name || !*server_name ||
        std::strlen(server_name) > SNetConnectToken::kMaxServerName)
        return PORTNET_E_ARGUMENT;
    SNetDtlsConfig c;
    c.m_role = SNetDtlsConfig::kAccept;
    c.m_token_key = sealing_key;
    c.m_token_server = server_name;
    c.m_token_protocol_id = protocol_id;
    Limit(&c, limits);
    return Make(inner, c, out);
}

portnet_status portnet_dtls_get_stats(portnet_handle dtls, portnet_dtls_stats* out) {
    void* d = nullptr;
    const portnet_status s = portnet_ext_driver(dtls, PORTNET_KIND_DTLS, &d);
    if (s != PORTNET_OK) return s;
    if (!out) return PORTNET_E_ARGUMENT;
    const auto* driver = static_cast<CNetDtls*>(d);
    const SNetDtlsStats& st = driver->m_stats;
    out->rejected = st.m_rejected;
    out->replayed = st.m_replayed;
    out->handshakes_started = st.m_handshakes_started;
    out->handshakes_completed = st.m_handshakes_completed;
    out->handshakes_failed = st.m_handshakes_failed;
    out->sessions_ended = st.m_sessions_ended;
    out->token_refused = st.m_token_malformed + st.m_token_unopened + st.m_token_expired +
                         st.m_token_not_yet_valid + st.m_token_wrong_server;
    out->identity_refused = st.m_identity_unknown + st.m_identity_denied;
    out->key_mismatch = st.m_key_mismatch;
    out->refused_full = st.m_refused_full;
    out->handshake_errors = st.m_handshake_errors;
    out->handshake_timeouts = st.m_handshake_timeouts;
    out->open_sessions = driver->GetOpenSessions();
    out->half_open = driver->GetHalfOpen();
    return PORTNET_OK;
}

portnet_status portnet_dtls_kick_player(portnet_handle dtls, uint64_t player_id,
                                        uint64_t deny_until, int32_t* ended) {
    void* d = nullptr;
    const portnet_status s = portnet_ext_driver(dtls, PORTNET_KIND_DTLS, &d);
    if (s != PORTNET_OK) return s;
    if (player_id == 0) return PORTNET_E_ARGUMENT;
    const int n = static_cast<CNetDtls*>(d)->KickPlayer(player_id, deny_until);
    if (ended) *ended = n < 0 ? 0 : n;
    return n < 0 ? PORTNET_E_QUEUE_FULL : PORTNET_OK;
}

portnet_status portnet_token_mint(const uint8_t* sealing_key, uint64_t protocol_id,
                                  uint64_t player_id, int32_t lifetime_s,
                                  const char* const* servers, int32_t num_servers,
                                  const uint8_t* user_data, int32_t user_data_len, char* token,
                                  int32_t token_size, uint8_t* player_key) {
    if (!sealing_key || player_id == 0 || lifetime_s < 1 || !servers || num_servers < 1 ||
        num_servers > SNetConnectToken::kMaxServers || user_data_len < 0 ||
        user_data_len > SNetConnectToken::kMaxUserData || (user_data_len > 0 && !user_data) ||
        !token || token_size < 1 || !player_key)
        return PORTNET_E_ARGUMENT;
    SNetConnectToken t;
    t.m_protocol_id = protocol_id;
    t.m_player_id = player_id;
    t.m_valid_from = CNetConnectToken::Now();
    t.m_expires = t.m_valid_from + static_cast<std::uint64_t>(lifetime_s);
    t.m_num_servers = num_servers;
    for (int i = 0; i < num_servers; ++i) {
        if (!servers[i] || !*servers[i] ||
            std::strlen(servers[i]) > SNetConnectToken::kMaxServerName)
            return PORTNET_E_ARGUMENT;
        std::strcpy(t.m_servers[i], servers[i]);
    }
    t.m_user_data_len = user_data_len;
    if (user_data_len > 0)
        std::memcpy(t.m_user_data, user_data, static_cast<std::size_t>(user_data_len));
    char text[CNetConnectToken::kMaxText + 1];
    const int n = CNetConnectToken::Mint(&t, sealing_key, text, sizeof text);
    if (n < 0) {
        portnet_ext_set_error("the token could not be sealed");
        return PORTNET_E_FAILED;
    }
    if (n + 1 > token_size) return PORTNET_E_BUFFER_TOO_SMALL;
    std::memcpy(token, text, static_cast<std::size_t>(n) + 1);
    std::memcpy(player_key, t.m_player_key, SNetConnectToken::kKeyLen);
    return PORTNET_OK;
}

} // extern "C"
