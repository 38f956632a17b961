// Datagrams from a peer's own address and port that do not authenticate under the open
// session: of any length, content type and epoch, each is dropped and counted and the session
// goes on delivering.
#include <gtest/gtest.h>

#include <string>

#include "SecurePair.h"

using namespace secure;

namespace {

// Beyond any record number the session has used: past the replay window.
constexpr std::uint64_t kFarAhead = 1000000000;

// A record header (type, DTLS 1.2, epoch, record number, length) and `body` bytes.
std::vector<unsigned char> Record(int type, int epoch, std::uint64_t number, int body) {
    std::vector<unsigned char> d = {static_cast<unsigned char>(type), 0xFE, 0xFD,
                                    static_cast<unsigned char>(epoch >> 8),
                                    static_cast<unsigned char>(epoch)};
    for (int shift = 40; shift >= 0; shift -= 8)
        d.push_back(static_cast<unsigned char>(number >> shift));
    d.push_back(static_cast<unsigned char>(body >> 8));
    d.push_back(static_cast<unsigned char>(body));
    for (int i = 0; i < body; ++i)
        d.push_back(static_cast<unsigned char>(0xA5 ^ i));
    return d;
}

struct Forged {
    int type, epoch;
};

class SecureShortRecord : public ::testing::TestWithParam<Forged> {};

// Bodies of 0 to 17 bytes (shorter than the tag, up to just longer), numbered far ahead of
// the replay window, sent one after another to A from B's address and port into an open
// session: each moves A's counter, the session stays open and the next 200 frames each
// deliver one chat line from B.
TEST_P(SecureShortRecord, IsDroppedCountedAndDeliveryGoesOn) {
    const Forged& f = GetParam();
    Pair p(SNetImpairment{}, PskConfig(SNetDtlsConfig::kAccept),
           PskConfig(SNetDtlsConfig::kConnect));
    ASSERT_GT(p.Handshake(100), 0);
    ChatLine ba{"b"};
    auto frames = [&](int n) {
        for (int i = 0; i < n; ++i) {
            ba.Speak(p.b->host.Chat());
            p.Tick();
            ba.Hear(p.a->host.Chat());
        }
    };
    frames(20);
    for (int body = 0; body <= 17; ++body) {
        SCOPED_TRACE("body " + std::to_string(body));
        // A handshake record (or change_cipher_spec) in plain text, or a handshake record
        // under the keys long enough to authenticate, is taken for the peer's handshake
        // repeated.
        const bool replayed = (f.epoch == 0 && (f.type == 20 || f.type == 22)) ||
                              (f.epoch == 1 && f.type == 22 && body >= 16);
        std::vector<unsigned char> d = Record(f.type, f.epoch, kFarAhead, body);
        const SNetDtlsStats before = p.a->dtls.m_stats;
        sockaddr_in to_a = Addr(1);
        ASSERT_EQ(p.b->sim.SendTo(static_cast<int>(d.size()), d.data(), &to_a), 0);
        const int heard = ba.heard;
        frames(200);
        const SNetDtlsStats& now = p.a->dtls.m_stats;
        EXPECT_EQ(
            (Ints{int(now.m_rejected - before.m_rejected), int(now.m_replayed - before.m_replayed),
                  int(now.m_sessions_ended + p.b->dtls.m_stats.m_sessions_ended),
                  p.a->dtls.GetOpenSessions(), p.b->dtls.GetOpenSessions(),
                  p.a->host.m_destroyed + p.b->host.m_destroyed, ba.heard - heard, ba.wrong}),
            (Ints{!replayed, replayed, 0, 1, 1, 0, 200, 0}));
    }
}

std::vector<Forged> AllForged() {
    std::vector<Forged> v;
    for (int type = 20; type <= 23; ++type)
        for (int epoch : {0, 1, 2})
            v.push_back(Forged{type, epoch});
    return v;
}

INSTANTIATE_TEST_SUITE_P(TypesAndEpochs, SecureShortRecord, ::testing::ValuesIn(AllForged()),
                         [](const auto& info) {
                             return "type" + std::to_string(info.param.type) + "_epoch" +
                                    std::to_string(info.param.epoch);
                         });

} // namespace
