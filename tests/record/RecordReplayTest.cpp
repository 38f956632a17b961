// The recorder and the replay driver face to face: what a driver reported and was handed
// (datagrams of every address family, reports, refusals) comes back from the file as it was;
// differences are reported at their frame; small buffers; the writer thread behind a slow or
// full disk. Damaged files are in RecordSecondTest.cpp. Whole sessions are
// replayed by tests/record/check_replay.py.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "portnet/CNetFrameHash.h"

#include "portnet/CNetRecorder.h"
#include "portnet/CNetReplayDriver.h"
#include "portnet/CNetTime.h"

namespace {

using Bytes = std::vector<unsigned char>;

// A driver that answers from a script and keeps what it is handed.
class CScripted : public CNetDriver {
public:
    struct SIn {
        int m_result;
        CNetAddr m_from;
        Bytes m_data;
    };
    struct SOut {
        CNetAddr m_to;
        Bytes m_data;
        bool m_broadcast;
    };
    std::deque<SIn> m_in;
    std::vector<SOut> m_out;
    int m_send_result = 0, m_flush_result = 0;
    CNetAddr m_last;
    char m_addr[64] = "[2001:db8::1]:40000";

    int SetBlockMode(bool) override { return 0; }
    int MakeBroadcastCapable() override { return 0; }
    int Init() override { return 0; }
    int Shutdown() override { return 0; }
    int Connected(sockaddr_in*) override { return 0; }
    int Disconnected(sockaddr_in*) override { return kNetEventDisconnect; }
    char* GetAddr() override { return m_addr; }
    int SendTo(int len, void* data, sockaddr_in* to) override {
        return Keep(len, data, CNetAddr::FromSockaddrIn(*to), false);
    }
    int Broadcast(int len, void* data, sockaddr_in* to) override {
        return Keep(len, data, CNetAddr::FromSockaddrIn(*to), true);
    }
    int SendToAddr(int len, void* data, const CNetAddr& to) override {
        return to.IsInet6() ? Keep(len, data, to, false) : CNetDriver::SendToAddr(len, data, to);
    }
    int FlushSends() override { return m_flush_result; }
    int RecvFrom(int* len, void* buf, sockaddr_in* from) override {
        if (m_in.empty()) return *len = 0, 0;
        SIn in = m_in.front();
        m_in.pop_front();
        m_last = in.m_from;
        if (in.m_from.IsInet6()) {
            std::memset(from, 0, sizeof *from);
            from->sin_family = kNetFamilyInet6;
        } else if (in.m_from.Family() != 0) {
            in.m_from.ToSockaddrIn(from);
        }
        *len = static_cast<int>(in.m_data.size());
        if (!in.m_data.empty()) std::memcpy(buf, in.m_data.data(), in.m_data.size());
        return in.m_result;
    }
    CNetAddr LastSender() const override { return m_last; }

private:
    int Keep(int len, void* data, const CNetAddr& to, bool broadcast) {
        const auto* p = static_cast<const unsigned char*>(data);
        m_out.push_back({to, Bytes(p, p + len), broadcast});
        return m_send_result;
    }
};

CNetAddr Addr(const char* text) {
    CNetAddr a;
    char err[80];
    EXPECT_EQ(CNetAddr::Parse(text, &a, err, sizeof err), 1) << text << ": " << err;
    return a;
}

Bytes Pattern(int len, int seed) {
    Bytes b(static_cast<size_t>(len));
    for (int i = 0; i < len; ++i)
        b[static_cast<size_t>(i)] = static_cast<unsigned char>(seed * 31 + i * 7);
    return b;
}

std::string TempPath(const char* name) {
    return std::string(::testing::TempDir()) + "portnet_record_" + name + ".pcapng";
}

// Drains a driver as a manager's Read does: every datagram and report with its sender, in
// order, until it has nothing more.
std::vector<CScripted::SIn> Drain(CNetDriver& r) {
    std::vector<CScripted::SIn> got;
    for (int i = 0; i < 10000; ++i) {
        unsigned char buf[2000];
        int len = sizeof buf;
        CNetAddr from;
        const int result = r.RecvFromAddr(&len, buf, &from);
        if (result == 0 && len == 0) break;
        got.push_back({result, from, Bytes(buf, buf + (result == 0 ? len : 0))});
    }
    return got;
}

// Frames of `per` datagrams of `len` bytes into a recorder; the datagrams' seeds follow the frame.
void RecordFrames(CNetRecorder& rec, CScripted& inner, int frames, int per, int len) {
    for (int f = 0; f < frames; ++f) {
        for (int i = 0; i < per; ++i)
            inner.m_in.push_back({0, CNetAddr::Local(4), Pattern(len, f * per + i)});
        ASSERT_EQ(Drain(rec).size(), static_cast<size_t>(per));
        ASSERT_EQ(rec.EndFrame(), 1) << "frame " << f;
    }
}

// A recording played back whole through a buffer of `buffer` bytes: frames of `per`
// datagrams, datagram i of frame f holding expected(f, i).
template <typename Expected>
void ExpectFramesOf(const std::string& path, int buffer, int frames, int per, Expected expected) {
    CNetReplayDriver replay(path.c_str(), buffer);
    ASSERT_TRUE(replay.IsReady()) << replay.GetError();
    for (int f = 0; f < frames; ++f) {
        ASSERT_EQ(replay.NextFrame(), 1) << "frame " << f << ": " << replay.GetError();
        const auto in = Drain(replay);
        ASSERT_EQ(in.size(), static_cast<size_t>(per)) << "frame " << f;
        for (int i = 0; i < per; ++i)
            ASSERT_EQ(in[static_cast<size_t>(i)].m_data, expected(f, i))
                << "frame " << f << " datagram " << i;
        EXPECT_EQ(replay.EndFrame(), 1);
    }
    EXPECT_EQ(replay.NextFrame(), 0);
}

// The recording of RecordFrames played back whole.
void ExpectFrames(const std::string& path, int buffer, int frames, int per, int len) {
    ExpectFramesOf(path, buffer, frames, per,
                   [=](int f, int i) { return Pattern(len, f * per + i); });
}

class RecordFile : public ::testing::Test {
protected:
    void SetUp() override { CNetTime::Init(); }
    void TearDown() override { CNetTime::Init(); }
};

void ExpectSame(const std::vector<CScripted::SIn>& want, const std::vector<CScripted::SIn>& got,
                int frame) {
    ASSERT_EQ(got.size(), want.size()) << "frame " << frame;
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(got[i].m_result, want[i].m_result) << "frame " << frame << " item " << i;
        if (want[i].m_result != -1) {
            EXPECT_TRUE(got[i].m_from == want[i].m_from) << "frame " << frame << " item " << i;
        }
        EXPECT_EQ(got[i].m_data, want[i].m_data) << "frame " << frame << " item " << i;
    }
}

TEST_F(RecordFile, EveryCallComesBackAsTheDriverMadeItAndADifferenceIsReportedAtItsFrame) {
    const std::string path = TempPath("calls");
    const CNetAddr v4 = Addr("127.0.0.7:5000"), local = CNetAddr::Local(9);
    const CNetAddr v6 = Addr("[2001:db8::42]:6000"), link = Addr("[fe80::5%1]:7000");
    const std::vector<std::vector<CScripted::SIn>> frames_in = {
        {{0, v4, Pattern(40, 1)}, {0, v6, Pattern(999, 2)}, {0, local, Pattern(1, 3)}},
        {{kNetEventDisconnect, v4, {}}, {0, link, Pattern(300, 4)}, {-1, CNetAddr(), {}}},
        {{0, v4, Pattern(12, 5)}},
    };
    const int clocks[] = {1000, 1016, -2147483640}; // the last one wrapped
    CScripted inner;
    {
        CNetRecorder rec(&inner, path.c_str(), "a note");
        ASSERT_TRUE(rec.IsReady());
        for (int f = 0; f < 3; ++f) {
            CNetTime::m_time = clocks[f];
            inner.m_in.assign(frames_in[f].begin(), frames_in[f].end());
            ExpectSame(frames_in[f], Drain(rec), f);
            rec.HoldSends();
            inner.m_send_result = f == 1 ? -1 : 0;
            EXPECT_EQ(rec.SendToAddr(20, Pattern(20, 10 + f).data(), v6), inner.m_send_result);
            EXPECT_EQ(rec.SendToAddr(30, Pattern(30, 20 + f).data(), local), inner.m_send_result);
            sockaddr_in b;
            v4.ToSockaddrIn(&b);
            rec.Broadcast(8, Pattern(8, 30 + f).data(), &b);
            inner.m_flush_result = f == 2 ? -1 : 0;
            EXPECT_EQ(rec.FlushSends(), inner.m_flush_result);
            EXPECT_EQ(rec.EndFrame(), 1);
        }
        EXPECT_EQ(rec.Close(), 1);
        EXPECT_EQ(rec.m_stats.m_datagrams_in, 5u);
        EXPECT_EQ(rec.m_stats.m_datagrams_out, 9u);
        EXPECT_EQ(rec.m_stats.m_reports, 3u); // the disconnect, the error, the refused flush
    }
    ASSERT_EQ(inner.m_out.size(), 9u);

    // Played back with the same sends: every frame as recorded, on the recorded clock.
    for (int pass = 0; pass < 2; ++pass) {
        CNetReplayDriver replay(path.c_str());
        ASSERT_TRUE(replay.IsReady()) << replay.GetError();
        EXPECT_STREQ(replay.GetNote(), "a note");
        EXPECT_STREQ(replay.GetAddr(), "[2001:db8::1]:40000");
        replay.UseClock();
        for (int f = 0; f < 3; ++f) {
            ASSERT_EQ(replay.NextFrame(), 1);
            EXPECT_EQ(replay.GetFrame(), f);
            CNetTime::Update();
            EXPECT_EQ(CNetTime::GetTime(), clocks[f]);
            ExpectSame(frames_in[f], Drain(replay), f);
            // The second pass sends frame 1's second datagram to another peer.
            const CNetAddr to = pass == 1 && f == 1 ? CNetAddr::Local(10) : local;
            EXPECT_EQ(replay.SendToAddr(20, Pattern(20, 10 + f).data(), v6), f == 1 ? -1 : 0);
            replay.SendToAddr(30, Pattern(30, 20 + f).data(), to);
            sockaddr_in b;
            v4.ToSockaddrIn(&b);
            replay.Broadcast(8, Pattern(8, 30 + f).data(), &b);
            EXPECT_EQ(replay.FlushSends(), f == 2 ? -1 : 0);
            EXPECT_EQ(replay.EndFrame(), pass == 1 && f == 1 ? 0 : 1) << "frame " << f;
        }
        EXPECT_EQ(replay.NextFrame(), 0);
        EXPECT_EQ(replay.FirstDivergingFrame(), pass == 0 ? -1 : 1);
        EXPECT_EQ(replay.FirstDivergence(), pass == 0 ? 0 : +CNetReplayDriver::kDivergedSends);
        EXPECT_EQ(replay.m_stats.m_sends_differing, pass == 0 ? 0u : 1u);
    }

    // A frame that takes less than was recorded, or sends less, diverges too.
    CNetReplayDriver replay(path.c_str());
    ASSERT_TRUE(replay.IsReady());
    ASSERT_EQ(replay.NextFrame(), 1);
    unsigned char buf[2000];
    int len = sizeof buf;
    EXPECT_EQ(replay.RecvFrom(&len, buf, nullptr), 0);
    EXPECT_EQ(replay.EndFrame(), 0);
    EXPECT_EQ(replay.FirstDivergence(),
              CNetReplayDriver::kDivergedUnread | CNetReplayDriver::kDivergedSends);
    EXPECT_EQ(replay.m_stats.m_unread, 2u);
    EXPECT_EQ(replay.m_stats.m_sends_missing, 3u);
    std::remove(path.c_str());
}

// A buffer that fills within a frame is written out there and then, and nothing is lost; a
// replay whose buffer cannot hold a frame says so rather than playing half of it.
TEST_F(RecordFile, AFullBufferFlushesWithinTheFrameAndAFrameTooLargeToReplayIsRefused) {
    const std::string path = TempPath("full");
    CScripted inner;
    {
        CNetRecorder rec(&inner, path.c_str(), nullptr, 1000); // ~150 KB a frame, 64 KiB kept
        ASSERT_TRUE(rec.IsReady());
        RecordFrames(rec, inner, 6, 150, 900);
        EXPECT_GT(rec.m_stats.m_full_flushes, 0u);
        EXPECT_EQ(rec.Close(), 1);
        EXPECT_EQ(rec.EndFrame(), -1); // closed
    }
    ExpectFrames(path, 200000, 6, 150, 900);
    CNetReplayDriver small(path.c_str(), CNetReplayDriver::kMinBufferBytes);
    ASSERT_TRUE(small.IsReady());
    EXPECT_EQ(small.NextFrame(), -1);
    EXPECT_NE(std::string(small.GetError()).find("larger than"), std::string::npos);
    std::remove(path.c_str());
}

// Entries of every size meet the end of a piece at every offset, on a buffer that is no
// whole number of lines: none is lost, cut or written past its piece, and the replay gets
// each datagram back in its frame.
TEST_F(RecordFile, DatagramsOfEveryLengthAcrossPieceEndsComeBackWhole) {
    const std::string path = TempPath("lengths");
    const int frames = 12, per = 125; // lengths 1 to 1500, some 1.1 MB over 64 KiB pieces
    const auto length = [](int f, int i) { return 1 + f * per + i; };
    CScripted inner;
    {
        CNetRecorder rec(&inner, path.c_str(), nullptr, CNetRecorder::kMinBufferBytes + 1000);
        ASSERT_TRUE(rec.IsReady());
        for (int f = 0; f < frames; ++f) {
            for (int i = 0; i < per; ++i)
                inner.m_in.push_back({0, CNetAddr::Local(4), Pattern(length(f, i), f + i)});
            ASSERT_EQ(Drain(rec).size(), static_cast<size_t>(per));
            ASSERT_EQ(rec.EndFrame(), 1) << "frame " << f;
        }
        EXPECT_GT(rec.m_stats.m_full_flushes, 10u); // the ends were met within frames
        EXPECT_EQ(rec.m_stats.m_too_large, 0u);
        EXPECT_EQ(rec.Close(), 1);
        EXPECT_EQ(rec.m_stats.m_datagrams_in, static_cast<std::uint32_t>(frames * per));
    }
    ExpectFramesOf(path, 1 << 20, frames, per,
                   [&](int f, int i) { return Pattern(length(f, i), f + i); });
    std::remove(path.c_str());
}

// The frame hash reads 8 bytes at a time into four lanes and its tail in whole loads: every
// length at every alignment gives what the bytes taken one by one give (the value recordings
// hold): word k to lane k mod 4, the lanes folded, the item into the frame's value.
TEST(FrameHash, WholeLoadsHashAsBytesOneByOne) {
    const auto reference = [](std::uint64_t h, int kind, int a, int b, const unsigned char* d,
                              int len) {
        const auto mix = [](std::uint64_t x, std::uint64_t v) {
            x = (x ^ v) * 0x9E3779B97F4A7C15ull;
            return x ^ (x >> 29);
        };
        const auto rot = [](std::uint64_t v) { return v << 32 | v >> 32; };
        std::uint64_t lane[4] = {0x243F6A8885A308D3ull, 0x13198A2E03707344ull,
                                 0xA4093822299F31D0ull, 0x082EFA98EC4E6C89ull};
        lane[0] ^=
            std::uint64_t{static_cast<std::uint32_t>(kind)} << 32 | static_cast<std::uint32_t>(len);
        lane[1] ^=
            std::uint64_t{static_cast<std::uint32_t>(a)} << 32 | static_cast<std::uint32_t>(b);
        for (int i = 0; i < len; i += 8) {
            std::uint64_t v = 0;
            for (int k = 0; k < 8 && i + k < len; ++k)
                v |= std::uint64_t{d[i + k]} << (8 * k);
            lane[i / 8 % 4] = mix(lane[i / 8 % 4], v);
        }
        return mix(h, mix(mix(lane[0], rot(lane[1])), rot(mix(lane[2], rot(lane[3])))));
    };
    const Bytes data = Pattern(80, 9);
    CNetFrameHash hash;
    std::uint64_t want = hash.Value();
    for (int at = 0; at < 8; ++at) {
        for (int len = 0; len <= 72; ++len) {
            hash.Add(CNetFrameHash::kRecord, at, -len, data.data() + at, len);
            want = reference(want, CNetFrameHash::kRecord, at, -len, data.data() + at, len);
            ASSERT_EQ(hash.Value(), want) << "offset " << at << " length " << len;
        }
    }
    // The lanes fold in order: words swapped between lanes, or between the two numbers, are
    // another item.
    const auto one = [](int a, int b, std::uint64_t w0, std::uint64_t w1, std::uint64_t w2,
                        std::uint64_t w3) {
        unsigned char bytes[32];
        const std::uint64_t w[4] = {w0, w1, w2, w3};
        for (int i = 0; i < 32; ++i)
            bytes[i] = static_cast<unsigned char>(w[i / 8] >> (8 * (i % 8)));
        CNetFrameHash h;
        h.Add(CNetFrameHash::kRecord, a, b, bytes, 32);
        return h.Value();
    };
    const std::uint64_t x = 0x0123456789abcdefull, y = 0xfedcba9876543210ull;
    EXPECT_NE(one(1, 2, x, y, 0, 0), one(1, 2, y, x, 0, 0));
    EXPECT_NE(one(1, 2, 0, 0, x, y), one(1, 2, 0, 0, y, x));
    EXPECT_NE(one(1, 2, x, 0, y, 0), one(1, 2, y, 0, x, 0));
    EXPECT_NE(one(1, 2, x, y, x, y), one(1, 2, x, y, y, x));
    EXPECT_NE(one(1, 2, x, y, 0, 0), one(2, 1, x, y, 0, 0));
}

#ifndef _WIN32
// A reader that does not read for a while makes the writer block on the pipe: the frame waits
// for a free piece rather than dropping anything, and Close, called while the writer is still
// busy, returns once every byte is out. The bytes read replay whole.
TEST_F(RecordFile, AWriterBehindMakesTheFrameWaitAndCloseWaitsForTheWriter) {
    const std::string fifo = TempPath("fifo"), copy = TempPath("fifo_copy");
    ::unlink(fifo.c_str());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int fd = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    Bytes got;
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        unsigned char buf[4096];
        for (int reads = 0; reads < 1000000 && std::chrono::steady_clock::now() < deadline;
             ++reads) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n == 0) break; // the recorder closed its end
            if (n > 0) got.insert(got.end(), buf, buf + n);
            if (n < 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    // 1 MB through a 256 KiB buffer and a 64 KiB pipe; the last frame is still in the buffer
    // when Close is called.
    const int kFrames = 51;
    CScripted inner;
    CNetRecorder rec(&inner, fifo.c_str(), nullptr, CNetRecorder::kMinBufferBytes);
    ASSERT_TRUE(rec.IsReady());
    RecordFrames(rec, inner, kFrames, 20, 1000);
    EXPECT_GT(rec.m_stats.m_stalls, 0u);
    EXPECT_GE(rec.m_stats.m_stall_us, 50000u); // most of the reader's 300 ms
    EXPECT_EQ(rec.Close(), 1);
    reader.join();
    ::close(fd);
    ::unlink(fifo.c_str());
    EXPECT_EQ(rec.m_stats.m_bytes, got.size());
    EXPECT_EQ(rec.m_stats.m_write_failures, 0u);

    std::FILE* f = std::fopen(copy.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(got.data(), 1, got.size(), f), got.size());
    std::fclose(f);
    ExpectFrames(copy, 1 << 20, kFrames, 20, 1000);
    std::remove(copy.c_str());
}

// A disk that refuses a write ends the recording, not the session: EndFrame says so within a
// bounded time, datagrams still pass (unrecorded), Close reports it, and the recorder's
// destructor is not held up.
TEST_F(RecordFile, AFailedWriteStopsTheRecordingAndTheSessionGoesOn) {
    CScripted inner;
    CNetRecorder rec(&inner, "/dev/full", nullptr, CNetRecorder::kMinBufferBytes);
    ASSERT_TRUE(rec.IsReady());
    int frames = 0, ended = 1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (ended == 1 && frames < 100000 && std::chrono::steady_clock::now() < deadline) {
        inner.m_in.push_back({0, CNetAddr::Local(4), Pattern(1000, frames)});
        EXPECT_EQ(Drain(rec).size(), 1u);
        ended = rec.EndFrame();
        ++frames;
        if (ended == 1) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    ASSERT_EQ(ended, -1) << "after " << frames << " frames";
    EXPECT_EQ(rec.m_stats.m_write_failures, 1u);
    EXPECT_FALSE(rec.IsReady());
    const std::uint32_t recorded = rec.m_stats.m_datagrams_in;
    inner.m_in.push_back({0, CNetAddr::Local(4), Pattern(10, 1)});
    const auto after = Drain(rec);
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0].m_data, Pattern(10, 1));
    EXPECT_EQ(rec.m_stats.m_datagrams_in, recorded);
    EXPECT_EQ(rec.EndFrame(), -1);
    EXPECT_EQ(rec.Close(), -1);
    EXPECT_EQ(rec.Close(), -1);
}
#endif

} // namespace
