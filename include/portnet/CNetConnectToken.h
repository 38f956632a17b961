#pragma once

#include <cstdint>

#include "PortnetExport.h"

// Part of libportnet-secure (portnet::secure), which links OpenSSL.

// What a connect token says: who the player is, when and where the token may be used, and the
// key the player's client must prove it holds. The game's backend fills it after the player
// logged in; a server reads it back from the token. docs/protocol.md gives the bytes.
struct PORTNET_API SNetConnectToken {
    enum : int {
        kKeyLen = 32,       // the sealing key and the player's key
        kMaxUserData = 32,  // opaque bytes for the game (a team, a rank, a skin)
        kMaxServers = 8,    // servers the token is valid for
        kMaxServerName = 63 // characters of one server's name
    };
    std::uint64_t m_protocol_id = 0; // the game's own number: another game's tokens are refused
    std::uint64_t m_player_id = 0;   // 1 and above; 0 is "no player"
    std::uint64_t m_valid_from = 0;  // UTC seconds
    std::uint64_t m_expires = 0;     // UTC seconds, after m_valid_from
    int m_user_data_len = 0;
    unsigned char m_user_data[kMaxUserData] = {};
    int m_num_servers = 0; // 1 to kMaxServers
    // A server's name, or its address: "203.0.113.7:40000", "[2001:db8::1]:40000". An IPv6
    // address travels as 23 bytes (a token holds four with room to spare) and reads back in
    // CNetAddr's text; every other server travels as the text given. Check compares addresses
    // as addresses, names byte for byte.
    char m_servers[kMaxServers][kMaxServerName + 1] = {};
    unsigned char m_player_key[kKeyLen] = {};
};

// Seals and opens connect tokens: ChaCha20-Poly1305 (OpenSSL) under a 32-byte key that only the
// backend and the game servers hold, written as base64url text that a client presents as its
// DTLS identity (OpenSSL passes identities of at most 256 characters).
class PORTNET_API CNetConnectToken {
public:
    enum : int {
        kMaxText = 256, // characters, without the terminating zero
        kMaxBytes = 192 // the token before encoding: kMaxText * 3 / 4
    };
    // Why a token was refused; Open and Check return 0 or one of these.
    enum : int {
        kMalformed = -1,   // not base64url, too short or long, unknown version, other game
        kUnopened = -2,    // the seal does not open: altered, or sealed under another key
        kExpired = -3,     // expiry plus the allowed clock skew has passed
        kNotYetValid = -4, // valid from later than now plus the skew
        kWrongServer = -5  // the server's name is not in the token's list
    };

    // Draws a fresh player key into token->m_player_key and a fresh nonce, and writes the
    // sealed token as text (zero-terminated) to text. Returns the text's length, or -1 when a
    // field is out of range, the token would exceed kMaxText, cap is too small, or OpenSSL
    // fails.
    static int Mint(SNetConnectToken* token, const unsigned char* sealing_key, char* text, int cap);

    // Decodes and opens text with sealing_key; fills *out (0), or kMalformed / kUnopened.
    static int Open(const char* text, const unsigned char* sealing_key, std::uint64_t protocol_id,
                    SNetConnectToken* out);

    // Whether an opened token may be used now (UTC seconds) on the server named server.
    static int Check(const SNetConnectToken& token, std::uint64_t now, int skew_s,
                     const char* server);

    // The system clock in UTC seconds.
    static std::uint64_t Now();
};
