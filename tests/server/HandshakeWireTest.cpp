// The join messages byte for byte as docs/protocol.md writes them, and what the reader refuses.
#include <cstdint>
#include <cstdio>
#include <vector>

#include <gtest/gtest.h>

#include "server/Handshake.h"

using namespace portnet;

namespace {

// "80 48 ..." as the bytes it names.
std::vector<unsigned char> Hex(const char* text) {
    std::vector<unsigned char> out;
    unsigned v = 0;
    int n = 0;
    while (std::sscanf(text, " %2x%n", &v, &n) == 1) {
        out.push_back(static_cast<unsigned char>(v));
        text += n;
    }
    return out;
}

// The payload after the instant byte, as the encoders write it, with the instant byte before.
std::vector<unsigned char> Message(const unsigned char* payload, int len) {
    std::vector<unsigned char> out(static_cast<std::size_t>(len) + 1, 0x80);
    for (int i = 0; i < len; ++i)
        out[static_cast<std::size_t>(i) + 1] = payload[i];
    return out;
}

TEST(HandshakeWire, TheWorkedExamplesOfTheProtocol) {
    unsigned char buf[kLargestHandshake];
    EXPECT_EQ(Message(buf, EncodeHello(buf, 0x12345678u)),
              Hex("80 48 45 4C 4F 78 56 34 12 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"));
    SWelcome w;
    w.attempt = 0x12345678u;
    w.slot = 3;
    EXPECT_EQ(Message(buf, EncodeWelcome(buf, w)),
              Hex("80 57 45 4C 43 78 56 34 12 03 00 01 00 00 01 00 00 00 00 00 00 00 00 00 00"));
    EXPECT_EQ(Message(buf, EncodeHelloRefusal(buf, 1, 0x12345678u)),
              Hex("80 4E 4F 01 78 56 34 12"));
    EXPECT_EQ(Message(buf, EncodePacketRefusal(buf, 5, 0x000203)), Hex("80 4E 4F 05 03 02 00"));
}

TEST(HandshakeWire, EachMessageReadsBackAndNothingElseIsTakenForOne) {
    unsigned char buf[kLargestHandshake];
    SWelcome w;
    w.attempt = 0xFEDCBA98u;
    w.slot = 4095;
    w.host_first = 0x7FFFFF;
    w.player_first = 1025;
    w.player_id = 0x0102030405060708ull;
    SWelcome got;
    ASSERT_EQ(DecodeHandshake(buf, EncodeWelcome(buf, w), nullptr, &got, nullptr),
              EHandshake::kWelcome);
    EXPECT_EQ((std::vector<std::uint64_t>{got.attempt, std::uint64_t(got.slot),
                                          std::uint64_t(got.host_first),
                                          std::uint64_t(got.player_first), got.player_id}),
              (std::vector<std::uint64_t>{w.attempt, 4095, 0x7FFFFF, 1025, w.player_id}));

    std::uint32_t attempt = 0;
    ASSERT_EQ(DecodeHandshake(buf, EncodeHello(buf, 77), &attempt, nullptr, nullptr),
              EHandshake::kHello);
    EXPECT_EQ(attempt, 77u);
    SRefusal r;
    ASSERT_EQ(DecodeHandshake(buf, EncodePacketRefusal(buf, 5, 0xABCDEF), nullptr, nullptr, &r),
              EHandshake::kRefusal);
    EXPECT_EQ((std::vector<int>{r.of_hello, int(r.seq), r.reason}),
              (std::vector<int>{0, 0xABCDEF, 5}));

    // One byte more or less, attempt 0, or numbering from 0: a game's own message, not ours.
    auto none = [](const unsigned char* d, int len) {
        return DecodeHandshake(d, len, nullptr, nullptr, nullptr) == EHandshake::kNone;
    };
    const unsigned char bye[] = {'B', 'Y', 'E', '!'};
    EXPECT_TRUE(none(buf, EncodeHello(buf, 9) - 1) && none(buf, EncodeHello(buf, 0)));
    EXPECT_TRUE(none(bye, 4) && none(nullptr, 7));
    w.host_first = 0;
    EXPECT_TRUE(none(buf, EncodeWelcome(buf, w)));
}

} // namespace
