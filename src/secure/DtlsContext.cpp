// OpenSSL set-up for CNetDtls: credentials, the stateless cookie, retransmission timing, and
// a BIO that hands each record straight to the wrapped driver (one write, one datagram).
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "portnet/CNetTime.h"
#include "secure/DtlsState.h"

namespace {

CNetDtlsState* StateOf(SSL* ssl) {
    return static_cast<CNetDtlsState*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
}

SDtlsLink* LinkOf(SSL* ssl) {
    BIO* bio = SSL_get_rbio(ssl);
    return bio != nullptr ? static_cast<SDtlsLink*>(BIO_get_data(bio)) : nullptr;
}

// ---- BIO: records leave through the wrapped driver, the datagram being fed is read once.

int BioWrite(BIO* bio, const char* data, int len) {
    auto* link = static_cast<SDtlsLink*>(BIO_get_data(bio));
    if (link == nullptr || len <= 0) return len;
    CNetDtls* owner = link->m_state->m_owner;
    // An unproven sender never gets more than it sent (amplification at most 1).
    if (link->m_budget >= 0 && len > link->m_budget) {
        ++owner->m_stats.m_oversize_refused;
        return len;
    }
    // Whatever made OpenSSL want to alert the peer while it read an open session did not
    // authenticate (see Feed): the peer must not be told, or a forger could end the session.
    if (link->m_mute_alerts && data[0] == 21) return len;
    link->m_send_result = owner->m_inner->SendToAddr(len, const_cast<char*>(data), link->m_addr);
    // A record the network loses is DTLS's business (retransmission), not an error here.
    return len;
}

int BioRead(BIO* bio, char* out, int cap) {
    BIO_clear_retry_flags(bio);
    auto* link = static_cast<SDtlsLink*>(BIO_get_data(bio));
    if (link == nullptr || link->m_in_len <= 0 || cap <= 0) {
        BIO_set_retry_read(bio);
        return -1;
    }
    const int n = link->m_in_len < cap ? link->m_in_len : cap;
    std::memcpy(out, link->m_in, static_cast<size_t>(n));
    if (!link->m_peek) link->m_in_len = 0; // datagram semantics: the rest is gone
    return n;
}

long BioCtrl(BIO* bio, int cmd, long arg, void*) {
    switch (cmd) {
    case BIO_CTRL_FLUSH:
        return 1;
    case BIO_CTRL_DGRAM_SET_PEEK_MODE:
        if (auto* link = static_cast<SDtlsLink*>(BIO_get_data(bio))) link->m_peek = arg != 0;
        return 1;
    case BIO_CTRL_DGRAM_QUERY_MTU:
    case BIO_CTRL_DGRAM_GET_FALLBACK_MTU:
        return CNetDtls::kMtu;
    default:
        return 0; // no peer address, no pending bytes, MTU never exceeded
    }
}

int BioCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

// ---- Credentials

unsigned int PskClient(SSL* ssl, const char*, char* identity, unsigned int max_identity,
                       unsigned char* psk, unsigned int max_psk) {
    const CNetDtlsState* s = StateOf(ssl);
    const size_t id_len = std::strlen(s->m_psk_identity);
    if (id_len + 1 > max_identity || static_cast<unsigned>(s->m_psk_key_len) > max_psk) return 0;
    std::memcpy(identity, s->m_psk_identity, id_len + 1);
    std::memcpy(psk, s->m_psk_key, static_cast<size_t>(s->m_psk_key_len));
    return static_cast<unsigned>(s->m_psk_key_len);
}

unsigned int PskServer(SSL* ssl, const char* identity, unsigned char* psk, unsigned int max_psk) {
    const CNetDtlsState* s = StateOf(ssl);
    if (identity == nullptr || std::strcmp(identity, s->m_psk_identity) != 0)
        return DtlsRefusePsk(ssl, psk, max_psk, kDtlsFailIdentityUnknown);
    if (static_cast<unsigned>(s->m_psk_key_len) > max_psk) return 0;
    std::memcpy(psk, s->m_psk_key, static_cast<size_t>(s->m_psk_key_len));
    return static_cast<unsigned>(s->m_psk_key_len);
}

// ---- Stateless cookie: HMAC-SHA256 over the sender's whole address (family, port, scope and
// address bytes) and a 32 s epoch, keyed with a secret drawn at start-up. The current and the
// previous epoch are accepted. A cookie earned from one link-local interface does not open a
// handshake from the same address on another.

enum : unsigned { kCookieLen = 16 };

bool CookieFor(const CNetDtlsState* s, const CNetAddr& addr, std::uint32_t epoch,
               unsigned char* out) {
    unsigned char msg[4 + 2 + 2 + 4 + 16] = {};
    const std::uint32_t words[] = {epoch, addr.Family(), addr.Port(), addr.ScopeId()};
    const int sizes[] = {4, 2, 2, 4};
    int at = 0;
    for (int w = 0; w < 4; ++w)
        for (int k = 0; k < sizes[w]; ++k)
            msg[at++] = static_cast<unsigned char>(words[w] >> (8 * k));
    std::memcpy(msg + at, addr.Bytes(), static_cast<size_t>(addr.ByteCount()));
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int mac_len = 0;
    if (HMAC(EVP_sha256(), s->m_cookie_secret, sizeof s->m_cookie_secret, msg, sizeof msg, mac,
             &mac_len) == nullptr ||
        mac_len < kCookieLen)
        return false;
    std::memcpy(out, mac, kCookieLen);
    return true;
}

std::uint32_t CookieEpoch() {
    return static_cast<std::uint32_t>(CNetTime::GetTime()) >> 15;
}

int CookieGenerate(SSL* ssl, unsigned char* cookie, unsigned int* len) {
    const SDtlsLink* link = LinkOf(ssl);
    if (link == nullptr || !CookieFor(StateOf(ssl), link->m_addr, CookieEpoch(), cookie)) return 0;
    *len = kCookieLen;
    ++StateOf(ssl)->m_owner->m_stats.m_cookies_sent;
    return 1;
}

int CookieVerify(SSL* ssl, const unsigned char* cookie, unsigned int len) {
    const SDtlsLink* link = LinkOf(ssl);
    if (link == nullptr || len != kCookieLen) return 0;
    const std::uint32_t now = CookieEpoch();
    for (std::uint32_t epoch : {now, now - 1}) {
        unsigned char want[kCookieLen];
        if (CookieFor(StateOf(ssl), link->m_addr, epoch, want) &&
            CRYPTO_memcmp(want, cookie, kCookieLen) == 0)
            return 1;
    }
    return 0;
}

// A proven sender that finds every session taken: the listener holds its ClientHello, and
// failing it here makes OpenSSL answer with a fatal alert (15 bytes, less than the hello), so
// the peer's handshake fails at once instead of repeating into a table that has no room.
// internal_error: the refusal is this host's condition, nothing the peer sent.
int HelloCheck(SSL* ssl, int* alert, void*) {
    if (!StateOf(ssl)->m_refusing) return SSL_CLIENT_HELLO_SUCCESS;
    *alert = SSL_AD_INTERNAL_ERROR;
    return SSL_CLIENT_HELLO_ERROR;
}

// First retransmission after m_retransmit_ms, then doubling up to 16 times that (at most
// 60 s): a game would rather repeat a lost flight soon than back off for a minute.
unsigned int RetransmitTimer(SSL* ssl, unsigned int previous_us) {
    const unsigned int first = static_cast<unsigned>(StateOf(ssl)->m_retransmit_ms) * 1000u;
    const unsigned int cap = first * 16u < 60000000u ? first * 16u : 60000000u;
    if (previous_us == 0) return first;
    return previous_us >= cap / 2u ? cap : previous_us * 2u;
}

// PEM from memory when given, else from the file; null when neither.
BIO* OpenPem(const char* pem, const char* file) {
    if (pem != nullptr) return BIO_new_mem_buf(pem, -1);
    if (file != nullptr) return BIO_new_file(file, "r");
    return nullptr;
}

bool LoadCertificates(SSL_CTX* ctx, const SNetDtlsConfig& c) {
    bool ok = false;
    BIO* chain = OpenPem(c.m_cert_chain_pem, c.m_cert_chain_file);
    BIO* key = OpenPem(c.m_private_key_pem, c.m_private_key_file);
    BIO* ca = OpenPem(c.m_ca_pem, c.m_ca_file);
    if (chain != nullptr && key != nullptr && ca != nullptr) {
        X509* leaf = PEM_read_bio_X509(chain, nullptr, nullptr, nullptr);
        ok = leaf != nullptr && SSL_CTX_use_certificate(ctx, leaf) == 1;
        X509_free(leaf);
        while (ok) { // intermediates, until the text ends
            X509* next = PEM_read_bio_X509(chain, nullptr, nullptr, nullptr);
            if (next == nullptr) break;
            ok = SSL_CTX_add0_chain_cert(ctx, next) == 1;
            if (!ok) X509_free(next);
        }
        EVP_PKEY* pkey = ok ? PEM_read_bio_PrivateKey(key, nullptr, nullptr, nullptr) : nullptr;
        ok = pkey != nullptr && SSL_CTX_use_PrivateKey(ctx, pkey) == 1 &&
             SSL_CTX_check_private_key(ctx) == 1;
        EVP_PKEY_free(pkey);
        X509_STORE* store = SSL_CTX_get_cert_store(ctx);
        int trusted = 0;
        while (ok) {
            X509* cert = PEM_read_bio_X509(ca, nullptr, nullptr, nullptr);
            if (cert == nullptr) break;
            trusted += X509_STORE_add_cert(store, cert) == 1;
            X509_free(cert);
        }
        ok = ok && trusted > 0;
    }
    BIO_free(chain);
    BIO_free(key);
    BIO_free(ca);
    ERR_clear_error(); // the end of a PEM text is reported as an error
    if (ok) SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    return ok;
}

// One line per secret as OpenSSL formats it; flushed at once, so a capture tool reading the
// file meanwhile, or after a crash, finds every session that opened.
void KeyLogLine(const SSL* ssl, const char* line) {
    const CNetDtlsState* s =
        static_cast<const CNetDtlsState*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
    if (s == nullptr || s->m_key_log == nullptr) return;
    std::fputs(line, s->m_key_log);
    std::fputc('\n', s->m_key_log);
    std::fflush(s->m_key_log);
}

} // namespace

SSL_CTX* DtlsMakeContext(CNetDtlsState* state, const SNetDtlsConfig& c) {
    SSL_CTX* ctx = SSL_CTX_new(DTLS_method());
    if (ctx == nullptr) return nullptr;
    SSL_CTX_set_app_data(ctx, state);
    bool ok = SSL_CTX_set_min_proto_version(ctx, DTLS1_2_VERSION) == 1;
    SSL_CTX_set_options(ctx, SSL_OP_NO_QUERY_MTU | SSL_OP_COOKIE_EXCHANGE | SSL_OP_NO_TICKET |
                                 SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_cookie_generate_cb(ctx, CookieGenerate);
    SSL_CTX_set_cookie_verify_cb(ctx, CookieVerify);
    SSL_CTX_set_client_hello_cb(ctx, HelloCheck, nullptr);
    if (c.m_key_log_file != nullptr) {
        // Appended, so the sessions of several processes or runs can share one file.
        state->m_key_log = std::fopen(c.m_key_log_file, "a");
        ok = ok && state->m_key_log != nullptr;
        SSL_CTX_set_keylog_callback(ctx, KeyLogLine);
    }
    if (state->m_psk) {
        ok = ok && SSL_CTX_set_cipher_list(
                       ctx, c.m_cipher_list ? c.m_cipher_list : "ECDHE-PSK-CHACHA20-POLY1305") == 1;
        SSL_CTX_set_psk_client_callback(ctx, PskClient);
        SSL_CTX_set_psk_server_callback(ctx, state->m_lookup ? DtlsPskLookup : PskServer);
    } else {
        ok = ok &&
             SSL_CTX_set_cipher_list(ctx, c.m_cipher_list
                                              ? c.m_cipher_list
                                              : "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-"
                                                "POLY1305:ECDHE-ECDSA-AES128-GCM-SHA256:"
                                                "ECDHE-RSA-AES128-GCM-SHA256") == 1 &&
             LoadCertificates(ctx, c);
    }
    ok = ok && RAND_bytes(state->m_cookie_secret, sizeof state->m_cookie_secret) == 1 &&
         RAND_bytes(state->m_decoy_key, sizeof state->m_decoy_key) == 1;
    if (!ok) {
        SSL_CTX_free(ctx);
        ERR_clear_error();
        return nullptr;
    }
    return ctx;
}

BIO_METHOD* DtlsMakeBioMethod() {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "portnet datagram");
    if (m == nullptr) return nullptr;
    BIO_meth_set_write(m, BioWrite);
    BIO_meth_set_read(m, BioRead);
    BIO_meth_set_ctrl(m, BioCtrl);
    BIO_meth_set_create(m, BioCreate);
    return m;
}

// Returning 0 would make OpenSSL answer at once with unknown_psk_identity, telling a stranger
// which identities exist; a wrong key gets no alert at all (its Finished fails to decrypt and
// DTLS drops it). The decoy key makes both the same on the wire and in time.
unsigned int DtlsRefusePsk(SSL* ssl, unsigned char* psk, unsigned int max_psk, int why) {
    const CNetDtlsState* s = StateOf(ssl);
    if (SDtlsLink* link = LinkOf(ssl)) link->m_refused = true, link->m_fail = why;
    unsigned int len = s->m_psk_key_len > 0 ? static_cast<unsigned>(s->m_psk_key_len) : 32u;
    if (len > max_psk) len = max_psk;
    std::memcpy(psk, s->m_decoy_key, len);
    return len;
}

void DtlsRelink(SSL* ssl, SDtlsLink* link) {
    BIO_set_data(SSL_get_rbio(ssl), link);
}

void DtlsTune(SSL* ssl) {
    SSL_set_mtu(ssl, CNetDtls::kMtu);
    DTLS_set_timer_cb(ssl, RetransmitTimer);
}

SSL* DtlsMakeSsl(CNetDtlsState* state, bool server, SDtlsLink* link) {
    SSL* ssl = SSL_new(state->m_ctx);
    BIO* bio = ssl != nullptr ? BIO_new(state->m_method) : nullptr;
    if (bio == nullptr) {
        SSL_free(ssl);
        ERR_clear_error();
        return nullptr;
    }
    BIO_set_data(bio, link);
    SSL_set_bio(ssl, bio, bio); // one reference, owned by ssl
    DtlsTune(ssl);
    if (server)
        SSL_set_accept_state(ssl);
    else
        SSL_set_connect_state(ssl);
    return ssl;
}
