// The accepting side's identities: a connect token or the host's key lookup turns the identity a
// peer presents into its key and its player; kicked players are refused until their deny time.
//
// A refused identity is given a random key instead of an alert: the handshake then goes on and
// fails exactly as it does for a peer with a wrong key (its Finished does not decrypt and is
// dropped, no further answer), so nothing on the wire tells a refused token from a wrong key.
#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <cstring>

#include "portnet/CNetConnectToken.h"
#include "secure/DtlsState.h"

namespace {

const unsigned kRefusalKeyLen = SNetConnectToken::kKeyLen;

std::uint64_t Now(const CNetDtlsState* s) {
    return s->m_token_clock != nullptr ? s->m_token_clock() : CNetConnectToken::Now();
}

int SlotOf(const CNetDtlsState* s, const SSL* ssl) {
    for (int i = 0; i < s->m_capacity; ++i)
        if (s->m_sessions[i].m_ssl == ssl) return i;
    return -1;
}

bool Denied(const CNetDtlsState* s, std::uint64_t player, std::uint64_t now) {
    for (const SDtlsDenied& d : s->m_denied)
        if (d.m_player_id == player && player != 0 && d.m_until >= now) return true;
    return false;
}

// The key for identity from a token: its length, or 0 with the reason (kDtlsFail*) in *why.
unsigned TokenKey(CNetDtlsState* s, const char* identity, unsigned char* key, SNetPeerIdentity* who,
                  int* why) {
    SNetConnectToken t;
    int r = CNetConnectToken::Open(identity, s->m_token_key, s->m_token_protocol_id, &t);
    if (r == 0) r = CNetConnectToken::Check(t, Now(s), s->m_token_skew_s, s->m_token_server);
    switch (r) {
    case 0:
        break;
    case CNetConnectToken::kMalformed:
        *why = kDtlsFailTokenMalformed;
        return 0;
    case CNetConnectToken::kUnopened:
        *why = kDtlsFailTokenUnopened;
        return 0;
    case CNetConnectToken::kExpired:
        *why = kDtlsFailTokenExpired;
        return 0;
    case CNetConnectToken::kNotYetValid:
        *why = kDtlsFailTokenNotYetValid;
        return 0;
    default:
        *why = kDtlsFailTokenWrongServer;
        return 0;
    }
    who->m_player_id = t.m_player_id;
    who->m_expires = t.m_expires;
    who->m_user_data_len = t.m_user_data_len;
    std::memcpy(who->m_user_data, t.m_user_data, sizeof who->m_user_data);
    std::memcpy(key, t.m_player_key, SNetConnectToken::kKeyLen);
    OPENSSL_cleanse(t.m_player_key, sizeof t.m_player_key);
    return SNetConnectToken::kKeyLen;
}

} // namespace

bool DtlsSetupPlayers(CNetDtlsState* s, const SNetDtlsConfig& c) {
    s->m_tokens = c.m_token_key != nullptr;
    s->m_key_lookup = c.m_key_lookup;
    s->m_key_lookup_context = c.m_key_lookup_context;
    s->m_lookup = s->m_tokens || s->m_key_lookup != nullptr;
    if (!s->m_tokens) return true;
    if (c.m_token_server == nullptr || c.m_token_skew_s < 0 || c.m_token_skew_s > 86400)
        return false;
    const size_t len = std::strlen(c.m_token_server);
    if (len < 1 || len > SNetConnectToken::kMaxServerName) return false;
    std::memcpy(s->m_token_key, c.m_token_key, sizeof s->m_token_key);
    std::memcpy(s->m_token_server, c.m_token_server, len + 1);
    s->m_token_protocol_id = c.m_token_protocol_id;
    s->m_token_skew_s = c.m_token_skew_s;
    s->m_token_clock = c.m_token_clock;
    return true;
}

unsigned int DtlsPskLookup(SSL* ssl, const char* identity, unsigned char* psk, unsigned int max) {
    auto* s = static_cast<CNetDtlsState*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
    const int slot = SlotOf(s, ssl);
    if (max < 64 || max < kRefusalKeyLen) return 0; // OpenSSL offers 512
    unsigned char key[64];
    SNetPeerIdentity who;
    unsigned len = 0;
    int why = kDtlsFailIdentityUnknown;
    if (slot != -1 && identity != nullptr) {
        if (s->m_tokens) {
            len = TokenKey(s, identity, key, &who, &why);
        } else {
            const int got = s->m_key_lookup(s->m_key_lookup_context, identity, key, &who);
            len = got >= 1 && got <= 64 ? static_cast<unsigned>(got) : 0;
        }
        if (len != 0 && Denied(s, who.m_player_id, Now(s))) {
            why = kDtlsFailIdentityDenied;
            len = 0;
        }
    }
    if (len == 0) {
        if (slot != -1) s->m_sessions[slot].m_identity = SDtlsSession::kIdentityRefused;
        OPENSSL_cleanse(key, sizeof key);
        return DtlsRefusePsk(ssl, psk, max, why);
    }
    SDtlsSession& x = s->m_sessions[slot];
    x.m_identity = SDtlsSession::kIdentityAccepted;
    std::strncpy(who.m_identity, identity, sizeof who.m_identity - 1);
    x.m_who = who;
    std::memcpy(psk, key, len);
    OPENSSL_cleanse(key, sizeof key);
    return len;
}

void DtlsPlayerOpened(CNetDtlsState* s, int slot) {
    const SDtlsSession& x = s->m_sessions[slot];
    const std::uint64_t player = x.m_who.m_player_id;
    if (x.m_identity != SDtlsSession::kIdentityAccepted || player == 0) return;
    // The newer session wins: a player who restarted elsewhere is not locked out by the ghost
    // of the old one, and one token never holds two seats.
    for (int i = 0; i < s->m_capacity; ++i) {
        const SDtlsSession& y = s->m_sessions[i];
        if (i != slot && y.m_phase == SDtlsSession::kOpen &&
            y.m_identity == SDtlsSession::kIdentityAccepted && y.m_who.m_player_id == player)
            DtlsEndSession(s, i, kNetGoneRestarted, true);
    }
}

int CNetDtls::GetPeer(const sockaddr_in& addr, SNetPeerIdentity* who) const {
    return GetPeer(CNetAddr::FromSockaddrIn(addr), who);
}

int CNetDtls::GetPeer(const CNetAddr& addr, SNetPeerIdentity* who) const {
    if (m_state == nullptr || who == nullptr) return -1;
    int found[4];
    const int n = m_state->m_index.Find(addr, found, 4);
    for (int k = 0; k < n; ++k) {
        const SDtlsSession& x = m_state->m_sessions[found[k]];
        if (x.m_phase != SDtlsSession::kOpen) continue;
        *who = x.m_identity == SDtlsSession::kIdentityAccepted ? x.m_who : SNetPeerIdentity{};
        return 0;
    }
    return -1;
}

int CNetDtls::GetPeerIdentity(const sockaddr_in* peer, SNetPeerIdentity* out) {
    if (out == nullptr) return 0;
    *out = SNetPeerIdentity{};
    return peer != nullptr && GetPeer(*peer, out) == 0 && out->m_identity[0] != '\0' ? 1 : 0;
}

int CNetDtls::GetPeerIdentityAddr(const CNetAddr& peer, SNetPeerIdentity* out) {
    sockaddr_in in;
    if (peer.ToSockaddrIn(&in) == 1) return GetPeerIdentity(&in, out);
    if (out == nullptr) return 0;
    *out = SNetPeerIdentity{};
    return GetPeer(peer, out) == 0 && out->m_identity[0] != '\0' ? 1 : 0;
}

int CNetDtls::KickPlayer(std::uint64_t player_id, std::uint64_t deny_until) {
    CNetDtlsState* s = m_state;
    if (s == nullptr || player_id == 0) return -1;
    int ended = 0;
    std::uint64_t until = deny_until;
    for (int i = 0; i < s->m_capacity; ++i) {
        const SDtlsSession& x = s->m_sessions[i];
        if (x.m_phase == SDtlsSession::kFree || x.m_identity != SDtlsSession::kIdentityAccepted ||
            x.m_who.m_player_id != player_id)
            continue;
        // A token is good until its expiry plus the skew allowed.
        const std::uint64_t lapses = x.m_who.m_expires + static_cast<unsigned>(s->m_token_skew_s);
        if (deny_until == 0 && x.m_who.m_expires != 0 && lapses > until) until = lapses;
        const bool open = x.m_phase == SDtlsSession::kOpen;
        ended += open;
        // A handshake in progress ends silently.
        DtlsEndSession(s, i, open ? kNetGoneKicked : 0, open);
    }
    if (until == 0) return ended;
    // The player's own entry, else a free or lapsed one.
    const std::uint64_t now = Now(s);
    SDtlsDenied* slot = nullptr;
    for (SDtlsDenied& d : s->m_denied)
        if (d.m_player_id == player_id) slot = &d;
    for (SDtlsDenied& d : s->m_denied)
        if (slot == nullptr && (d.m_player_id == 0 || d.m_until < now)) slot = &d;
    if (slot == nullptr) return -1;
    if (slot->m_player_id != player_id) slot->m_until = 0;
    slot->m_player_id = player_id;
    if (until > slot->m_until) slot->m_until = until;
    return ended;
}
