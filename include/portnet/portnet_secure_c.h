/* The secure driver (DTLS 1.2) and connect tokens from C. Part of libportnet-secure, which
 * links OpenSSL; the core's portnet_c.h does not need it. The driver is a handle of kind
 * PORTNET_KIND_DTLS, used like any other driver; portnet_destroy ends it (before the driver it
 * wraps). */
#ifndef PORTNET_SECURE_C_H
#define PORTNET_SECURE_C_H

#include "portnet_c.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { PORTNET_DTLS_ACCEPT = 1, PORTNET_DTLS_CONNECT = 2, PORTNET_DTLS_BOTH = 3 };
enum { PORTNET_TOKEN_KEY_LEN = 32, PORTNET_TOKEN_MAX_TEXT = 256 };

/* Limits of a secure driver; 0 in a field keeps the library's default. */
typedef struct portnet_dtls_limits {
    int32_t handshake_timeout_ms; /* 10000 */
    int32_t idle_timeout_ms;      /* 15000; -1 for none */
    int32_t max_sessions;         /* follows the manager's table */
    int32_t max_half_open;
    int32_t retransmit_ms; /* 250 */
    int32_t token_skew_s;  /* 30 */
} portnet_dtls_limits;

typedef struct portnet_dtls_stats {
    uint32_t rejected;
    uint32_t replayed;
    uint32_t handshakes_started;
    uint32_t handshakes_completed;
    uint32_t handshakes_failed;
    uint32_t sessions_ended;
    uint32_t token_refused;    /* malformed, unopened, expired, not yet valid, wrong server */
    uint32_t identity_refused; /* unknown, denied (kicked) */
    uint32_t key_mismatch;
    uint32_t refused_full;
    uint32_t handshake_errors;
    uint32_t handshake_timeouts;
    int32_t open_sessions;
    int32_t half_open;
} portnet_dtls_stats;

/* A secure driver over inner (opened already) with a pre-shared key (1..64 bytes) and identity
 * (up to 256 characters); a player with a connect token gives the token as identity and its
 * player key as key. limits may be null. */
PORTNET_API portnet_status portnet_dtls_create_psk(portnet_handle inner, int32_t role,
                                                   const uint8_t* key, int32_t key_len,
                                                   const char* identity,
                                                   const portnet_dtls_limits* limits,
                                                   portnet_handle* out);
/* With certificates: own chain, its private key and the CA, as PEM text. */
PORTNET_API portnet_status portnet_dtls_create_cert(portnet_handle inner, int32_t role,
                                                    const char* chain_pem, const char* key_pem,
                                                    const char* ca_pem,
                                                    const portnet_dtls_limits* limits,
                                                    portnet_handle* out);
/* A host that admits players by connect token: the backend's sealing key (32 bytes), this
 * server's name as tokens list it, the game's protocol id. */
PORTNET_API portnet_status portnet_dtls_create_token_host(
    portnet_handle inner, const uint8_t* sealing_key, const char* server_name, uint64_t protocol_id,
    const portnet_dtls_limits* limits, portnet_handle* out);
PORTNET_API portnet_status portnet_dtls_get_stats(portnet_handle dtls, portnet_dtls_stats* out);
/* Ends every session of player_id and refuses it until deny_until (UTC seconds; 0: its tokens'
 * expiry); the sessions ended in *ended (may be null). */
PORTNET_API portnet_status portnet_dtls_kick_player(portnet_handle dtls, uint64_t player_id,
                                                    uint64_t deny_until, int32_t* ended);

/* Mints a connect token for player_id (1 and above), valid from now for lifetime_s seconds on
 * the num_servers servers named (1..8, each up to 63 characters), with user_data (0..32
 * bytes, may be null when 0). The token's text (zero-terminated) into token, the fresh player
 * key into player_key (32 bytes). */
PORTNET_API portnet_status portnet_token_mint(const uint8_t* sealing_key, uint64_t protocol_id,
                                              uint64_t player_id, int32_t lifetime_s,
                                              const char* const* servers, int32_t num_servers,
                                              const uint8_t* user_data, int32_t user_data_len,
                                              char* token, int32_t token_size, uint8_t* player_key);

#ifdef __cplusplus
}
#endif

#endif /* PORTNET_SECURE_C_H */
