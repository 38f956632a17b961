// Connect tokens: the bytes laid out field by field, sealed with ChaCha20-Poly1305 through
// OpenSSL's EVP interface, and written as base64url without padding.
#include "portnet/CNetConnectToken.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <chrono>
#include <cstring>

#include "portnet/CNetAddr.h"

namespace {

enum : int {
    kVersion = 1,     // servers by name only: the tokens of every earlier release
    kVersionAddr = 2, // a server may also be an IPv6 address (an entry of kAddrEntry bytes)
    kAddrEntry = 1 + 16 + 2 + 4, // 0 where a name's length would be, address, port, scope
    kAssociated = 25, // version, protocol id, valid from, expires: read in clear, authenticated
    kNonce = 12,
    kTag = 16,
    kFixedPrivate = 8 + SNetConnectToken::kKeyLen + 1 + 1,      // player id, key, two counts
    kMinBytes = kAssociated + kNonce + kFixedPrivate + 2 + kTag // one server of one character
};
static_assert(CNetConnectToken::kMaxBytes * 4 / 3 == CNetConnectToken::kMaxText,
              "the text of the largest token fills the identity exactly");

void PutU64(unsigned char* p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

std::uint64_t GetU64(const unsigned char* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = v << 8 | p[i];
    return v;
}

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

int Encode(const unsigned char* in, int n, char* out) {
    int o = 0;
    for (int i = 0; i < n; i += 3) {
        const int left = n - i < 3 ? n - i : 3;
        const unsigned v = static_cast<unsigned>(in[i]) << 16 |
                           (left > 1 ? static_cast<unsigned>(in[i + 1]) << 8 : 0u) |
                           (left > 2 ? in[i + 2] : 0u);
        for (int k = 0; k <= left; ++k)
            out[o++] = kAlphabet[v >> (18 - 6 * k) & 63];
    }
    out[o] = '\0';
    return o;
}

int Sextet(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '-') return 62;
    if (c == '_') return 63;
    return -1;
}

// Strict: only the alphabet, no padding, and the bits past the last byte zero, so one token
// has one text and an altered character never decodes to the same bytes.
int Decode(const char* text, int len, unsigned char* out) {
    if (len % 4 == 1) return -1;
    int o = 0;
    for (int i = 0; i < len; i += 4) {
        const int chars = len - i < 4 ? len - i : 4;
        unsigned v = 0;
        for (int k = 0; k < 4; ++k) {
            const int s = k < chars ? Sextet(text[i + k]) : 0;
            if (s < 0) return -1;
            v = v << 6 | static_cast<unsigned>(s);
        }
        const int bytes = chars - 1;
        if ((v & ((1u << (8 * (3 - bytes))) - 1)) != 0) return -1;
        for (int k = 0; k < bytes; ++k)
            out[o++] = static_cast<unsigned char>(v >> (16 - 8 * k));
    }
    return o;
}

// ChaCha20-Poly1305 of n bytes in place; on opening, the tag is checked (false when it fails).
bool Seal(bool seal, const unsigned char* key, const unsigned char* nonce, const unsigned char* ad,
          unsigned char* data, int n, unsigned char* tag) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int out = 0, last = 0;
    bool ok = ctx != nullptr &&
              EVP_CipherInit_ex(ctx, EVP_chacha20_poly1305(), nullptr, key, nonce, seal) == 1 &&
              EVP_CipherUpdate(ctx, nullptr, &out, ad, kAssociated) == 1 &&
              EVP_CipherUpdate(ctx, data, &out, data, n) == 1 && out == n;
    if (ok && !seal) ok = EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, kTag, tag) == 1;
    ok = ok && EVP_CipherFinal_ex(ctx, data + n, &last) == 1;
    if (ok && seal) ok = EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, kTag, tag) == 1;
    EVP_CIPHER_CTX_free(ctx);
    ERR_clear_error();
    return ok;
}

// A server given as IPv6 text ("[2001:db8::1]:40000") travels as its 22 bytes: the text of
// one would take twice the room, and an address compares as an address however it is written.
// Every other server, IPv4 text included, travels as its name, byte for byte as ever.
bool AsIpv6(const char* server, CNetAddr* out) {
    return server[0] == '[' && CNetAddr::Parse(server, out, nullptr, 0) == 1 && out->IsInet6();
}

void PutAddr(unsigned char* p, const CNetAddr& a) {
    p[0] = 0;
    std::memcpy(p + 1, a.Bytes(), 16);
    p[17] = static_cast<unsigned char>(a.Port());
    p[18] = static_cast<unsigned char>(a.Port() >> 8);
    for (int k = 0; k < 4; ++k)
        p[19 + k] = static_cast<unsigned char>(a.ScopeId() >> (8 * k));
}

// An address entry back to its text; false unless it is an IPv6 address in the one form
// CNetAddr keeps (not v4-mapped, a scope only where one is needed), a destination (not ::,
// port not 0): one server has one entry.
bool GetAddr(const unsigned char* p, char* text) {
    const auto port = static_cast<std::uint16_t>(p[17] | p[18] << 8);
    std::uint32_t scope = 0;
    for (int k = 3; k >= 0; --k)
        scope = scope << 8 | p[19 + k];
    const CNetAddr a = CNetAddr::Ipv6(p + 1, port, scope);
    return a.IsInet6() && a.ScopeId() == scope && a.CheckDest(nullptr, 0) == 1 &&
           a.ToText(text, SNetConnectToken::kMaxServerName + 1) > 0;
}

// The sealed part: player id, key, user data, servers. Returns its length, -1 when the fields
// are out of range or it would not fit in cap. *addresses tells whether a server went as an
// address (the token then needs kVersionAddr).
int WritePrivate(const SNetConnectToken& t, unsigned char* p, int cap, bool* addresses) {
    if (t.m_player_id == 0 || t.m_user_data_len < 0 ||
        t.m_user_data_len > SNetConnectToken::kMaxUserData || t.m_num_servers < 1 ||
        t.m_num_servers > SNetConnectToken::kMaxServers)
        return -1;
    int n = kFixedPrivate + t.m_user_data_len;
    CNetAddr addr[SNetConnectToken::kMaxServers];
    bool is_addr[SNetConnectToken::kMaxServers] = {};
    *addresses = false;
    for (int i = 0; i < t.m_num_servers; ++i) {
        const size_t len = strnlen(t.m_servers[i], SNetConnectToken::kMaxServerName + 1);
        if (len < 1 || len > SNetConnectToken::kMaxServerName) return -1;
        is_addr[i] = AsIpv6(t.m_servers[i], &addr[i]);
        *addresses = *addresses || is_addr[i];
        n += is_addr[i] ? kAddrEntry : 1 + static_cast<int>(len);
    }
    if (n > cap) return -1;
    PutU64(p, t.m_player_id);
    std::memcpy(p + 8, t.m_player_key, SNetConnectToken::kKeyLen);
    int o = 8 + SNetConnectToken::kKeyLen;
    p[o++] = static_cast<unsigned char>(t.m_user_data_len);
    std::memcpy(p + o, t.m_user_data, static_cast<size_t>(t.m_user_data_len));
    o += t.m_user_data_len;
    p[o++] = static_cast<unsigned char>(t.m_num_servers);
    for (int i = 0; i < t.m_num_servers; ++i) {
        if (is_addr[i]) {
            PutAddr(p + o, addr[i]);
            o += kAddrEntry;
            continue;
        }
        const int len = static_cast<int>(std::strlen(t.m_servers[i]));
        p[o++] = static_cast<unsigned char>(len);
        std::memcpy(p + o, t.m_servers[i], static_cast<size_t>(len));
        o += len;
    }
    return o;
}

// Reads the sealed part back; false unless every count is in range and it ends exactly at n.
// Address entries are read in tokens of kVersionAddr only.
bool ReadPrivate(const unsigned char* p, int n, bool addresses, SNetConnectToken* t) {
    if (n < kFixedPrivate) return false;
    t->m_player_id = GetU64(p);
    std::memcpy(t->m_player_key, p + 8, SNetConnectToken::kKeyLen);
    int o = 8 + SNetConnectToken::kKeyLen;
    t->m_user_data_len = p[o++];
    if (t->m_user_data_len > SNetConnectToken::kMaxUserData || o + t->m_user_data_len + 1 > n)
        return false;
    std::memcpy(t->m_user_data, p + o, static_cast<size_t>(t->m_user_data_len));
    o += t->m_user_data_len;
    t->m_num_servers = p[o++];
    if (t->m_num_servers < 1 || t->m_num_servers > SNetConnectToken::kMaxServers) return false;
    for (int i = 0; i < t->m_num_servers; ++i) {
        if (addresses && o < n && p[o] == 0) {
            if (o + kAddrEntry > n || !GetAddr(p + o, t->m_servers[i])) return false;
            o += kAddrEntry;
            continue;
        }
        const int len = o < n ? p[o++] : 0;
        if (len < 1 || len > SNetConnectToken::kMaxServerName || o + len > n ||
            std::memchr(p + o, 0, static_cast<size_t>(len)) != nullptr)
            return false;
        std::memcpy(t->m_servers[i], p + o, static_cast<size_t>(len));
        t->m_servers[i][len] = '\0';
        o += len;
    }
    return t->m_player_id != 0 && o == n;
}

} // namespace

int CNetConnectToken::Mint(SNetConnectToken* t, const unsigned char* sealing_key, char* text,
                           int cap) {
    if (t == nullptr || sealing_key == nullptr || text == nullptr ||
        t->m_expires <= t->m_valid_from)
        return -1;
    unsigned char b[kMaxBytes];
    if (RAND_bytes(t->m_player_key, SNetConnectToken::kKeyLen) != 1) return -1;
    bool addresses = false;
    const int n = WritePrivate(*t, b + kAssociated + kNonce,
                               kMaxBytes - kAssociated - kNonce - kTag, &addresses);
    if (n < 0) return -1;
    const int total = kAssociated + kNonce + n + kTag;
    if ((total * 4 + 2) / 3 + 1 > cap) return -1;
    b[0] = addresses ? kVersionAddr : kVersion;
    PutU64(b + 1, t->m_protocol_id);
    PutU64(b + 9, t->m_valid_from);
    PutU64(b + 17, t->m_expires);
    const bool ok = RAND_bytes(b + kAssociated, kNonce) == 1 &&
                    Seal(true, sealing_key, b + kAssociated, b, b + kAssociated + kNonce, n,
                         b + kAssociated + kNonce + n);
    const int len = ok ? Encode(b, total, text) : -1;
    OPENSSL_cleanse(b, sizeof b);
    return len;
}

int CNetConnectToken::Open(const char* text, const unsigned char* sealing_key,
                           std::uint64_t protocol_id, SNetConnectToken* out) {
    if (text == nullptr || sealing_key == nullptr || out == nullptr) return kMalformed;
    const size_t len = strnlen(text, kMaxText + 1);
    unsigned char b[kMaxBytes];
    const int n = len <= kMaxText ? Decode(text, static_cast<int>(len), b) : -1;
    // Checked in clear, before any work: the size, the version and the game.
    if (n < kMinBytes || (b[0] != kVersion && b[0] != kVersionAddr) || GetU64(b + 1) != protocol_id)
        return kMalformed;
    const int sealed = n - kAssociated - kNonce - kTag;
    unsigned char* priv = b + kAssociated + kNonce;
    SNetConnectToken t;
    int result = kUnopened;
    if (Seal(false, sealing_key, b + kAssociated, b, priv, sealed, priv + sealed)) {
        t.m_protocol_id = protocol_id;
        t.m_valid_from = GetU64(b + 9);
        t.m_expires = GetU64(b + 17);
        // An authentic token that does not parse was sealed by a broken backend.
        result = ReadPrivate(priv, sealed, b[0] == kVersionAddr, &t) ? 0 : kMalformed;
    }
    if (result == 0) *out = t;
    OPENSSL_cleanse(b, sizeof b);
    OPENSSL_cleanse(t.m_player_key, sizeof t.m_player_key);
    return result;
}

int CNetConnectToken::Check(const SNetConnectToken& t, std::uint64_t now, int skew_s,
                            const char* server) {
    const std::uint64_t skew = skew_s > 0 ? static_cast<std::uint64_t>(skew_s) : 0;
    if (now > skew && now - skew > t.m_expires) return kExpired;
    if (t.m_valid_from > skew && t.m_valid_from - skew > now) return kNotYetValid;
    if (server == nullptr) return kWrongServer;
    for (int i = 0; i < t.m_num_servers; ++i)
        if (std::strcmp(t.m_servers[i], server) == 0) return 0;
    // Addresses compare as addresses: "[2001:DB8::1]:5" is "[2001:db8::1]:5", and a server
    // that knows itself as "[::ffff:203.0.113.7]:5" is "203.0.113.7:5".
    CNetAddr self, listed;
    if (CNetAddr::Parse(server, &self, nullptr, 0) != 1 || self.IsLocal()) return kWrongServer;
    for (int i = 0; i < t.m_num_servers; ++i)
        if (CNetAddr::Parse(t.m_servers[i], &listed, nullptr, 0) == 1 && listed == self) return 0;
    return kWrongServer;
}

std::uint64_t CNetConnectToken::Now() {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::seconds>(since).count());
}
