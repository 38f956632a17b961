// libFuzzer target: connect tokens as a server receives them. An input is a selector byte and
// bytes. Even selector: the bytes are the token's text (to the first zero byte), opened as is.
// Odd selector: the bytes are the sealed part's plain text, sealed here under the right key with
// a valid header, so the parser behind the tag sees any content. Checked beyond memory faults:
// an opened token holds only fields in range, and minting those fields again gives a token
// that opens to the same fields.
#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "portnet/CNetConnectToken.h"

namespace {

const unsigned char kKey[32] = {3, 1, 4, 1, 5, 9, 2, 6};
const std::uint64_t kGame = 77;

void Check(bool ok) {
    if (!ok) __builtin_trap();
}

// The header of docs/protocol.md with a zero nonce, then plain sealed, as base64url.
std::string Seal(const std::uint8_t* plain, int n) {
    unsigned char b[512] = {1, 77};
    b[17] = 1; // expires 1, valid from 0
    int out = 0;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ctx, EVP_chacha20_poly1305(), nullptr, kKey, b + 25);
    EVP_EncryptUpdate(ctx, nullptr, &out, b, 25);
    EVP_EncryptUpdate(ctx, b + 37, &out, plain, n);
    EVP_EncryptFinal_ex(ctx, b + 37 + n, &out);
    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, 16, b + 37 + n);
    EVP_CIPHER_CTX_free(ctx);
    const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string text;
    unsigned bits = 0, held = 0;
    for (int i = 0; i < 37 + n + 16; ++i)
        for (bits = bits << 8 | b[i], held += 8; held >= 6; held -= 6)
            text += abc[bits >> (held - 6) & 63];
    if (held > 0) text += abc[bits << (6 - held) & 63];
    return text;
}

bool InRange(const SNetConnectToken& t) {
    bool ok = t.m_player_id != 0 && t.m_user_data_len >= 0 &&
              t.m_user_data_len <= SNetConnectToken::kMaxUserData && t.m_num_servers >= 1 &&
              t.m_num_servers <= SNetConnectToken::kMaxServers;
    for (int i = 0; ok && i < t.m_num_servers; ++i) {
        const std::size_t len = strnlen(t.m_servers[i], sizeof t.m_servers[i]);
        ok = len >= 1 && len <= SNetConnectToken::kMaxServerName;
    }
    return ok;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 || size > 400) return 0;
    const std::string text = data[0] % 2 == 0
                                 ? std::string(reinterpret_cast<const char*>(data + 1), size - 1)
                                 : Seal(data + 1, static_cast<int>(size - 1));
    SNetConnectToken t;
    const int r = CNetConnectToken::Open(text.c_str(), kKey, kGame, &t);
    Check(r <= 0 && r >= CNetConnectToken::kUnopened);
    if (r != 0) return 0;
    Check(InRange(t));
    char again[CNetConnectToken::kMaxText + 1];
    SNetConnectToken copy = t, back;
    Check(CNetConnectToken::Mint(&copy, kKey, again, sizeof again) > 0);
    Check(CNetConnectToken::Open(again, kKey, kGame, &back) == 0);
    Check(back.m_player_id == t.m_player_id && back.m_num_servers == t.m_num_servers &&
          back.m_user_data_len == t.m_user_data_len &&
          std::memcmp(back.m_user_data, t.m_user_data, sizeof t.m_user_data) == 0 &&
          std::memcmp(back.m_servers, t.m_servers, sizeof t.m_servers) == 0);
    return 0;
}

#ifdef PORTNET_FUZZ_STANDALONE

#include "FuzzReplay.h"

int main(int argc, char** argv) {
    return portnet_fuzz::ReplayMain(argc, argv, nullptr);
}

#endif
