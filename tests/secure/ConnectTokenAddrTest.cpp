// Connect tokens that list servers by IPv6 address: minted and opened here and by the Python
// backend of docs/protocol.md, compared as addresses, and every malformed address entry of an
// authentic token refused; a token of names alone is the version 1 token of every release.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "SecurePair.h"
#include "portnet/CNetConnectToken.h"

using namespace secure;

namespace {

const unsigned char kSealing[32] = {0x5E, 0xA1, 9};
const std::uint64_t kGame = 77;
using Bytes = std::vector<unsigned char>;

// An authentic token of any version around any sealed part: what a broken backend could seal.
std::string Seal(int version, const Bytes& plain) {
    Bytes b(25 + 12);
    b[0] = static_cast<unsigned char>(version);
    b[1] = kGame;
    b[9 + 3] = 0x60, b[17 + 3] = 0x70; // valid from and expires, some years apart
    Bytes sealed(plain.size() + 16);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int out = 0;
    EVP_EncryptInit_ex(ctx, EVP_chacha20_poly1305(), nullptr, kSealing, b.data() + 25);
    EVP_EncryptUpdate(ctx, nullptr, &out, b.data(), 25);
    EVP_EncryptUpdate(ctx, sealed.data(), &out, plain.data(), int(plain.size()));
    EVP_EncryptFinal_ex(ctx, sealed.data() + out, &out);
    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, 16, sealed.data() + plain.size());
    EVP_CIPHER_CTX_free(ctx);
    b.insert(b.end(), sealed.begin(), sealed.end());
    std::string text;
    const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    for (std::size_t i = 0; i < b.size(); i += 3) {
        const std::size_t left = std::min<std::size_t>(3, b.size() - i);
        unsigned v = b[i] << 16 | (left > 1 ? b[i + 1] << 8 : 0) | (left > 2 ? b[i + 2] : 0);
        for (std::size_t k = 0; k <= left; ++k)
            text += abc[v >> (18 - 6 * k) & 63];
    }
    return text;
}

// Player 5, no user data, then the server entries as given.
Bytes Plain(int servers, const Bytes& entries) {
    Bytes p(8 + 32 + 1 + 1);
    p[0] = 5, p[41] = static_cast<unsigned char>(servers);
    p.insert(p.end(), entries.begin(), entries.end());
    return p;
}

// An address entry: 0, the 16 bytes, port and scope little-endian.
Bytes Entry(std::initializer_list<unsigned char> head, std::uint16_t port, std::uint32_t scope,
            unsigned char last = 1) {
    Bytes e(1 + 16 + 2 + 4);
    std::copy(head.begin(), head.end(), e.begin() + 1);
    e[16] = last;
    e[17] = port & 0xFF, e[18] = port >> 8;
    for (int k = 0; k < 4; ++k)
        e[19 + k] = static_cast<unsigned char>(scope >> (8 * k));
    return e;
}

const Bytes kDocAddr = Entry({0x20, 0x01, 0x0d, 0xb8}, 40000, 0);
const Bytes kName = {4, 'e', 'u', '-', '1'};

Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

int Open(const std::string& text, SNetConnectToken* t) {
    return CNetConnectToken::Open(text.c_str(), kSealing, kGame, t);
}

struct Malformed {
    const char* name;
    int version;
    int servers;
    Bytes entries;
};

const Malformed kMalformed[] = {
    {"address_in_version_1", 1, 1, kDocAddr},
    {"cut_short", 2, 1, Bytes(kDocAddr.begin(), kDocAddr.end() - 1)},
    {"trailing_byte", 2, 1, Cat(kDocAddr, {0})},
    {"v4_mapped", 2, 1, Entry({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 203, 0, 113}, 5, 0)},
    {"scope_on_a_global_address", 2, 1, Entry({0x20, 0x01, 0x0d, 0xb8}, 5, 2)},
    {"link_local_without_scope", 2, 1, Entry({0xfe, 0x80}, 5, 0)},
    {"unspecified", 2, 1, Entry({}, 5, 0, 0)},
    {"port_0", 2, 1, Entry({0x20, 0x01, 0x0d, 0xb8}, 0, 0)},
    {"fewer_entries_than_counted", 2, 3, Cat(kDocAddr, kName)},
    {"version_3", 3, 1, kDocAddr},
};

class TokenAddrMalformed : public ::testing::TestWithParam<Malformed> {};

} // namespace

// Each authentic token whose address entry is not the one form of an IPv6 destination is
// refused as malformed; the same token with that entry made right opens.
TEST_P(TokenAddrMalformed, IsRefused) {
    const Malformed& k = GetParam();
    SNetConnectToken t;
    EXPECT_EQ(Open(Seal(k.version, Plain(k.servers, k.entries)), &t), CNetConnectToken::kMalformed);
    ASSERT_EQ(Open(Seal(2, Plain(2, Cat(kName, kDocAddr))), &t), 0);
    EXPECT_STREQ(t.m_servers[1], "[2001:db8::1]:40000");
    ASSERT_EQ(Open(Seal(2, Plain(1, Entry({0xfe, 0x80}, 40000, 3, 9))), &t), 0);
    EXPECT_STREQ(t.m_servers[0], "[fe80::9%3]:40000");
}

INSTANTIATE_TEST_SUITE_P(Entries, TokenAddrMalformed, ::testing::ValuesIn(kMalformed),
                         [](const auto& info) { return std::string(info.param.name); });

// Minted with servers of both families: IPv6 text goes as an address entry (version 2, text
// normalised), IPv4 text and names as the version 1 token writes them; a server finds itself by
// address however its text is written. Names alone make a version 1 token of today's size.
TEST(TokenAddr, ServersOfBothFamiliesAreFoundByAddress) {
    SNetConnectToken t;
    t.m_protocol_id = kGame, t.m_player_id = 5, t.m_expires = 10;
    t.m_num_servers = 3;
    std::strcpy(t.m_servers[0], "[2001:DB8:0::1]:40000");
    std::strcpy(t.m_servers[1], "203.0.113.7:40000");
    std::strcpy(t.m_servers[2], "eu-1");
    char text[CNetConnectToken::kMaxText + 1];
    const int len = CNetConnectToken::Mint(&t, kSealing, text, sizeof text);
    SNetConnectToken o;
    ASSERT_EQ(Open(text, &o), 0);
    // 37 + 16 bytes around 42 + 23 + 18 + 5 sealed: 141 bytes, 188 characters. The second
    // character holds the version's low bits and the protocol id's top four: 2, 77: 'k'.
    EXPECT_EQ((Ints{len, text[0], text[1], o.m_num_servers}), (Ints{188, 'A', 'k', 3}));
    EXPECT_STREQ(o.m_servers[0], "[2001:db8::1]:40000");
    EXPECT_STREQ(o.m_servers[1], "203.0.113.7:40000");
    auto check = [&](const char* server) { return CNetConnectToken::Check(o, 5, 0, server); };
    EXPECT_EQ((Ints{check("[2001:db8::1]:40000"), check("[2001:0db8::0:1]:40000"),
                    check("[::ffff:203.0.113.7]:40000"), check("eu-1"), check("EU-1"),
                    check("[2001:db8::1]:40001"), check("[2001:db8::2]:40000"),
                    check("203.0.113.7:4000"), check("LOCAL:1"), check("[2001:db8::1]")}),
              (Ints{0, 0, 0, 0, -5, -5, -5, -5, -5, -5}));

    // Four IPv6 servers fit with 5 bytes of user data, not 6.
    t.m_num_servers = 4;
    for (int i = 0; i < 4; ++i)
        std::snprintf(t.m_servers[i], sizeof t.m_servers[i], "[2001:db8:%x::%x]:%d", i + 1,
                      0xffff - i, 40000 + i);
    t.m_user_data_len = 5;
    EXPECT_EQ(CNetConnectToken::Mint(&t, kSealing, text, sizeof text), 256);
    t.m_user_data_len = 6;
    EXPECT_EQ(CNetConnectToken::Mint(&t, kSealing, text, sizeof text), -1);

    // Names only, IPv4 text and a bracketed name that is no address among them: version 1.
    t.m_user_data_len = 3, t.m_num_servers = 2;
    std::strcpy(t.m_servers[0], "eu-1");
    std::strcpy(t.m_servers[1], "[lobby]:1");
    EXPECT_EQ(CNetConnectToken::Mint(&t, kSealing, text, sizeof text), 151);
    EXPECT_EQ((Ints{text[0], text[1], Open(text, &o), o.m_servers[1][1]}), (Ints{'A', 'U', 0, 'l'}))
        << "version 1, protocol 77";
}

// The worked IPv6 example of docs/protocol.md opens to its fields, and the Python backend,
// written from that page, mints a version 2 token this side opens and checks by address.
TEST(TokenAddr, TheDocumentedExampleAndThePythonBackendAgree) {
    unsigned char doc_key[32];
    for (int i = 0; i < 32; ++i)
        doc_key[i] = static_cast<unsigned char>(i);
    SNetConnectToken t;
    ASSERT_EQ(
        CNetConnectToken::Open(
            "AgcAAAAAAAAAANJJawAAAAAs00lrAAAAAEBBQkNERUZHSElKS2pEfIFySu4BeO7UI5_KS-qc5UkzaNFvQM"
            "494GjeEgxdyIqjSxp2XMkJHUojaFCL68xibOn_ezUv28IPOwhrM2HLMCgdzxPnK0I7gXqa33l3e96SbH"
            "MOZ1ct",
            doc_key, 7, &t),
        0);
    EXPECT_EQ((Ints{int(t.m_player_id), t.m_num_servers, t.m_user_data_len}), (Ints{4242, 2, 3}));
    EXPECT_STREQ(t.m_servers[0], "eu-1");
    EXPECT_STREQ(t.m_servers[1], "[2001:db8::1]:40000");

    std::string token;
    unsigned char key[32];
    if (!MintInPython("5ea109" + std::string(58, '0') +
                          " 77 4242 1 100 00 eu-1 '[2001:db8::7]:40000' '[fe80::2%4]:1'",
                      &token, key))
        GTEST_SKIP() << "no python3 with cryptography";
    ASSERT_EQ(Open(token, &t), 0);
    EXPECT_EQ(
        (Ints{token[1], t.m_num_servers, CNetConnectToken::Check(t, 50, 0, "[2001:db8::7]:40000"),
              CNetConnectToken::Check(t, 50, 0, "[fe80::2%4]:1"),
              CNetConnectToken::Check(t, 50, 0, "[fe80::2%5]:1")}),
        (Ints{'k', 3, 0, 0, CNetConnectToken::kWrongServer}));
}
