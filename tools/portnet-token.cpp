// portnet-token: mints a connect token for one player, as a game's backend would after the
// player logged in. Prints the token (the client's DTLS identity) and the player's key in hex
// (its pre-shared key), one per line. Exit status: 0 minted, 1 minting failed, 2 bad input.
#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "portnet/CNetAddr.h"
#include "portnet/CNetConnectToken.h"

namespace {

const char kUsage[] =
    "usage: portnet-token --key-file PATH --player ID --server NAME [--server NAME ...]\n"
    "                     [--protocol ID] [--lifetime SECONDS] [--user-data HEX]\n"
    "  --key-file PATH     the sealing key the game servers hold: 64 hex digits\n"
    "  --player ID         the player's id, 1 to 2^64-1\n"
    "  --server NAME       a server the token is valid for (1 to 63 characters; up to 8):\n"
    "                      a name, or an address: 203.0.113.7:40000, [2001:db8::1]:40000\n"
    "  --protocol ID       the game's protocol id (default 0)\n"
    "  --lifetime SECONDS  valid from now for this long, 1 to 86400 (default 300)\n"
    "  --user-data HEX     up to 32 bytes handed to the server with the player id\n";

int Bad(const char* what, const char* value) {
    std::fprintf(stderr, "portnet-token: %s%s\n%s", what, value, kUsage);
    return 2;
}

// Hex digits (white space between them ignored) into at most cap bytes; the count, or -1.
int ParseHex(const char* text, unsigned char* out, int cap) {
    int n = 0, high = -1;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r') continue;
        const char c = static_cast<char>(*p | 0x20);
        const int v = *p >= '0' && *p <= '9' ? *p - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (v < 0) return -1;
        if (high < 0) {
            high = v;
        } else {
            if (n == cap) return -1;
            out[n++] = static_cast<unsigned char>(high << 4 | v);
            high = -1;
        }
    }
    return high < 0 ? n : -1;
}

bool ParseU64(const char* text, unsigned long long lo, unsigned long long hi,
              unsigned long long* out) {
    if (*text < '0' || *text > '9') return false;
    char* end = nullptr;
    errno = 0;
    *out = std::strtoull(text, &end, 10);
    return errno == 0 && *end == '\0' && *out >= lo && *out <= hi;
}

} // namespace

int main(int argc, char** argv) {
    enum { kKeyFile = 1, kPlayer, kServer, kProtocol, kLifetime, kUserData, kHelp };
    const option options[] = {{"key-file", required_argument, nullptr, kKeyFile},
                              {"player", required_argument, nullptr, kPlayer},
                              {"server", required_argument, nullptr, kServer},
                              {"protocol", required_argument, nullptr, kProtocol},
                              {"lifetime", required_argument, nullptr, kLifetime},
                              {"user-data", required_argument, nullptr, kUserData},
                              {"help", no_argument, nullptr, kHelp},
                              {nullptr, 0, nullptr, 0}};
    SNetConnectToken t;
    const char* key_file = nullptr;
    unsigned long long lifetime = 300, v = 0;
    for (int opt; (opt = getopt_long(argc, argv, "", options, nullptr)) != -1;) {
        switch (opt) {
        case kKeyFile:
            key_file = optarg;
            break;
        case kPlayer:
            if (!ParseU64(optarg, 1, ~0ull, &v)) return Bad("--player: not 1 to 2^64-1: ", optarg);
            t.m_player_id = v;
            break;
        case kServer:
            if (t.m_num_servers == SNetConnectToken::kMaxServers)
                return Bad("--server: more than 8 servers", "");
            if (*optarg == '\0' || std::strlen(optarg) > SNetConnectToken::kMaxServerName)
                return Bad("--server: not 1 to 63 characters: ", optarg);
            if (optarg[0] == '[') {
                // Bracketed text is an IPv6 address, checked here rather than carried as a
                // name that no server's address would ever match.
                CNetAddr addr;
                char err[96];
                if (CNetAddr::Parse(optarg, &addr, err, sizeof err) != 1 || !addr.IsInet6() ||
                    addr.CheckDest(err, sizeof err) != 1)
                    return Bad("--server: ", addr.IsInet() ? "an IPv4 address in brackets" : err);
            }
            std::strcpy(t.m_servers[t.m_num_servers++], optarg);
            break;
        case kProtocol:
            if (!ParseU64(optarg, 0, ~0ull, &v)) return Bad("--protocol: not a number: ", optarg);
            t.m_protocol_id = v;
            break;
        case kLifetime:
            if (!ParseU64(optarg, 1, 86400, &lifetime))
                return Bad("--lifetime: not 1 to 86400 seconds: ", optarg);
            break;
        case kUserData:
            t.m_user_data_len = ParseHex(optarg, t.m_user_data, SNetConnectToken::kMaxUserData);
            if (t.m_user_data_len < 0)
                return Bad("--user-data: not up to 32 bytes of hex: ", optarg);
            break;
        case kHelp:
            std::fputs(kUsage, stdout);
            return 0;
        default:
            return Bad("unknown option", "");
        }
    }
    if (optind < argc) return Bad("unexpected argument: ", argv[optind]);
    if (key_file == nullptr || t.m_player_id == 0 || t.m_num_servers == 0)
        return Bad("--key-file, --player and --server are needed", "");
    char text[200] = {};
    FILE* f = std::fopen(key_file, "r");
    if (f == nullptr) return Bad("--key-file: cannot read ", key_file);
    const size_t n = std::fread(text, 1, sizeof text - 1, f);
    std::fclose(f);
    unsigned char sealing[SNetConnectToken::kKeyLen];
    if (n == sizeof text - 1 || ParseHex(text, sealing, sizeof sealing) != sizeof sealing)
        return Bad("--key-file: does not hold 64 hex digits: ", key_file);
    t.m_valid_from = CNetConnectToken::Now();
    t.m_expires = t.m_valid_from + lifetime;
    char token[CNetConnectToken::kMaxText + 1];
    if (CNetConnectToken::Mint(&t, sealing, token, sizeof token) < 0) {
        std::fprintf(stderr, "portnet-token: the token would exceed %d characters\n",
                     CNetConnectToken::kMaxText);
        return 1;
    }
    std::printf("%s\n", token);
    for (unsigned char b : t.m_player_key)
        std::printf("%02x", b);
    std::printf("\n");
    return 0;
}
