// Record and replay as a host uses them: real UDP sessions recorded and played back, damaged
// files, a replay set up unlike the recording, and what the recorder promises about stopping.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "portnet/portnet.h"
#include "portnet/CNetBlobState.h"
#include "portnet/CNetRecorder.h"
#include "portnet/CNetReplayDriver.h"

namespace {

enum { kOwn = 0, kBall = 1, kPorts = 2, kBlob = 8, kHist = 16 };

int BlobPort(CNetDataPort* p, int number, int size) {
    p->m_object = new CNetBlobState(size);
    p->m_writing_history = new CNetDataHistory(kHist, new CNetBlobState(size), number);
    p->m_reading_history = new CNetDataHistory(kHist, new CNetBlobState(size), number);
    return 1;
}
CNetBlobState* Blob(CNetDataPort* p) {
    return static_cast<CNetBlobState*>(p->m_object);
}

struct SHost : CNetServer {
    int own = kBlob; // a replay may be set up otherwise
    int MakeOwnPort(CNetDataPort* p) override { return BlobPort(p, kOwn, own); }
};
struct SPlayer : CNetConnection {
    int MakeOwnPort(CNetDataPort* p) override { return BlobPort(p, kOwn, kBlob); }
};

void Ports(CNetManager& m, bool host) {
    m.SetPortA(kBall, new CNetBlobState(kBlob));
    m.m_ports[kBall].m_writing_history = new CNetDataHistory(kHist, new CNetBlobState(kBlob), 1);
    m.m_ports[kBall].m_reading_history = new CNetDataHistory(kHist, new CNetBlobState(kBlob), 1);
    if (host) m.InitPort(kBall, -1);
}
int StartHost(SHost& h, CNetDriver* d) {
    h.m_idle_limit_ms = 1500; // a killed player is gone within the session even without ICMP
    if (h.Init(d, kPorts) != 1) return -1;
    Ports(h, true);
    h.SetPeerPorts(kOwn, true, false);
    h.SetPeerPorts(kBall, false, true);
    return 1;
}
int StartPlayer(SPlayer& p, CNetUDP& udp, int host_port) {
    if (udp.Init() != 0 || p.Init(&udp, kPorts) != 1) return -1;
    Ports(p, false);
    p.SetPeerPorts(kOwn, false, true);
    p.SetPeerPorts(kBall, true, false);
    return p.Connect(("127.0.0.1:" + std::to_string(host_port)).c_str());
}
void Frame(CNetManager& m) {
    m.BeginFrame();
    m.Read();
    m.Update(false);
    m.Write();
    m.EndFrame();
}
// The host's frame: the ball follows the frame number, which a replay repeats; its events
// logged as "frame:type:slot:reason".
void HostFrame(SHost& h, int frame, std::string* log, int ball_offset = 0) {
    int v = frame + ball_offset;
    Blob(&h.m_ports[kBall])->Set(&v, 4);
    Frame(h);
    SNetServerEvent e;
    while (h.PollEvent(&e))
        *log += std::to_string(frame) + ":" + std::to_string(e.m_type) + ":" +
                std::to_string(e.m_slot) + ":" + std::to_string(e.m_reason) + " ";
}
void PlayerFrame(SPlayer& p, int v) {
    if (CNetPeer* me = p.GetPeer()) Blob(me->m_own_port)->Set(&v, 4);
    Frame(p);
}
int BallSeen(SPlayer& p) {
    int v = -1;
    std::memcpy(&v, Blob(&p.m_ports[kBall])->Bytes(), 4);
    return v;
}

struct SReplay {
    bool ready = false;
    std::string error, note, log;
    int frames = 0, last = 9, first = -2, what = 0;
    SNetReplayStats stats;
};
// Plays path back into a host set up as when recording, except for own and ball_offset from
// frame ball_from on.
SReplay Replay(const std::string& path, int own = kBlob, int ball_from = -1) {
    SReplay r;
    CNetReplayDriver replay(path.c_str());
    r.ready = replay.IsReady();
    r.error = replay.GetError();
    r.note = replay.GetNote();
    if (!r.ready) return r;
    SHost h;
    h.own = own;
    if (StartHost(h, &replay) != 1) return r;
    replay.Attach(&h);
    replay.UseClock();
    for (int i = 0; i < 100000 && (r.last = replay.NextFrame()) == 1; ++i) {
        CNetTime::Update();
        const int f = replay.GetFrame();
        HostFrame(h, f, &r.log, ball_from >= 0 && f >= ball_from ? 1000 : 0);
        replay.EndFrame();
        ++r.frames;
    }
    r.error = replay.GetError();
    r.first = replay.FirstDivergingFrame();
    r.what = replay.FirstDivergence();
    r.stats = replay.m_stats;
    h.Release();
    CNetTime::Init();
    return r;
}

std::string Temp(const char* name) {
    return ::testing::TempDir() + "portnet_rec2_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" + name;
}
std::vector<unsigned char> Load(const std::string& path) {
    std::vector<unsigned char> b;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        int c;
        while ((c = std::fgetc(f)) != EOF)
            b.push_back(static_cast<unsigned char>(c));
        std::fclose(f);
    }
    return b;
}
void Save(const std::string& path, const std::vector<unsigned char>& b, size_t n) {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(b.data(), 1, n, f);
    std::fclose(f);
}
std::uint32_t U32(const std::vector<unsigned char>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

// A host recorded over UDP with one player in this process for frames frames; closed before
// frame close_at when given, the session going on.
struct SSession {
    SNetRecorderStats stats;
    int close_result = 0, end_after_close = 0, ball_end = -1, failed_at = -1;
    bool ready = false, close_passes = true;
    std::string log;
};
SSession Record(const std::string& path, int frames, int close_at = -1, const char* note = nullptr,
                int buffer = CNetRecorder::kMinBufferBytes) {
    SSession s;
    CNetUDP host_udp("127.0.0.1:0"), player_udp("127.0.0.1:0");
    CNetRecorder rec(&host_udp, path.c_str(), note, buffer);
    s.ready = rec.IsReady();
    SHost h;
    SPlayer p;
    if (rec.Init() != 0 || StartHost(h, &rec) != 1 ||
        StartPlayer(p, player_udp, host_udp.GetLocalAddr().Port()) != 1)
        return s;
    rec.Attach(&h);
    for (int f = 0; f < frames; ++f) {
        CNetTime::Update();
        HostFrame(h, f, &s.log);
        PlayerFrame(p, f);
        if (close_at < 0 || f < close_at) {
            if (rec.EndFrame() != 1 && s.failed_at < 0) s.failed_at = f;
            if (f == close_at - 1) {
                s.close_result = rec.Close();
                s.stats = rec.m_stats;
            }
        } else {
            s.end_after_close |= rec.EndFrame() != -1;
            s.close_passes &= rec.m_stats.m_datagrams_out == s.stats.m_datagrams_out;
        }
        if (s.failed_at < 0 && rec.m_stats.m_write_failures > 0) s.failed_at = f;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    s.ball_end = BallSeen(p);
    if (close_at < 0) {
        s.stats = rec.m_stats;
        s.close_result = rec.Close();
    }
    h.Release();
    return s;
}

// What the recorder promises: its statistics match the file and the replay; Close writes
// everything, and afterwards the session goes on unrecorded; the note comes back.
TEST(RecordSecond, CloseKeepsTheSessionGoingAndTheFileMatchesTheCounts) {
    const std::string path = Temp("close.pcapng");
    SSession s = Record(path, 160, 100, "my game 1.4, map 7");
    ASSERT_TRUE(s.ready);
    EXPECT_EQ(s.close_result, 1);
    EXPECT_FALSE(s.end_after_close) << "EndFrame after Close answers -1";
    EXPECT_TRUE(s.close_passes) << "datagrams recorded after Close";
    EXPECT_GE(s.ball_end, 150) << "the session stopped with the recording";
    EXPECT_EQ(s.stats.m_frames, 100u);
    EXPECT_GT(s.stats.m_datagrams_in, 50u);
    EXPECT_EQ(s.stats.m_write_failures, 0u);
    EXPECT_EQ(Load(path).size(), s.stats.m_bytes);

    SReplay r = Replay(path);
    ASSERT_TRUE(r.ready) << r.error;
    EXPECT_EQ(r.note, "my game 1.4, map 7");
    EXPECT_EQ(r.last, 0);
    EXPECT_EQ(r.frames, 100);
    EXPECT_EQ(r.first, -1) << "what differed: " << r.what;
    EXPECT_EQ(r.stats.m_datagrams_in, s.stats.m_datagrams_in);
    EXPECT_EQ(r.stats.m_datagrams_out, s.stats.m_datagrams_out);
    EXPECT_FALSE(s.log.empty());
    EXPECT_EQ(r.log, s.log);
    std::remove(path.c_str());
}

#ifndef _WIN32
// A disk that refuses every write: the recording stops, the session does not.
TEST(RecordSecond, FailedWritesStopTheRecordingNotTheSession) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    SSession s = Record("/dev/full", 600);
    ASSERT_TRUE(s.ready);
    EXPECT_GE(s.stats.m_write_failures, 1u);
    ASSERT_GE(s.failed_at, 0) << "600 frames and no write failed";
    EXPECT_LT(s.failed_at, 590);
    EXPECT_GE(s.ball_end, 590) << "the session stopped with the recording";
    EXPECT_EQ(s.close_result, -1);
}
#endif

TEST(RecordSecond, AFileThatCannotBeMadeIsNotReady) {
    CNetUDP udp("127.0.0.1:0");
    CNetRecorder rec(&udp, (Temp("no_such_dir") + "/x/y.pcapng").c_str());
    EXPECT_FALSE(rec.IsReady());
    EXPECT_EQ(rec.EndFrame(), -1);
}

// Where the header blocks end, and where each frame ends (custom block 0xBAD of kind 1).
std::vector<size_t> FrameEnds(const std::vector<unsigned char>& b, size_t* header_end) {
    std::vector<size_t> ends;
    for (size_t at = 0; at + 12 <= b.size();) {
        const std::uint32_t type = U32(b, at), len = U32(b, at + 4);
        EXPECT_TRUE(len >= 12 && len % 4 == 0 && at + len <= b.size()) << "block at " << at;
        EXPECT_EQ(U32(b, at + len - 4), len) << "trailing length at " << at;
        if (len < 12 || len % 4 != 0 || at + len > b.size()) break;
        if (type == 1) *header_end = at + len;
        if (type == 0xBAD && (b[at + 12] | b[at + 13] << 8) == 1) ends.push_back(at + len);
        at += len;
    }
    return ends;
}
// A recording cut at cut: refused with a reason within the header, else played to the last
// whole frame and ended (0), as a host that crashed leaves it.
void CheckCut(const std::vector<unsigned char>& b, size_t cut) {
    size_t header_end = 0, whole = 0;
    const std::vector<size_t> ends = FrameEnds(b, &header_end);
    const std::string bad = Temp("cut.pcapng");
    Save(bad, b, cut);
    SReplay r = Replay(bad);
    std::remove(bad.c_str());
    while (whole < ends.size() && ends[whole] <= cut)
        ++whole;
    if (cut < header_end) {
        EXPECT_FALSE(r.ready && r.frames > 0) << "cut at " << cut;
        EXPECT_TRUE(r.ready || !r.error.empty()) << "cut at " << cut;
        return;
    }
    ASSERT_TRUE(r.ready) << "cut at " << cut << ": " << r.error;
    EXPECT_EQ(r.last, 0) << "cut at " << cut << ": " << r.error;
    EXPECT_EQ(static_cast<size_t>(r.frames), whole) << "cut at " << cut;
    EXPECT_EQ(r.first, -1) << "cut at " << cut;
}

// Damaged recordings: refused with a reason, or played up to the last whole frame; never a crash
// (the ASan run sees every read).
TEST(RecordSecond, DamagedRecordingsAreRefusedOrCutAtTheLastWholeFrame) {
    const std::string path = Temp("good.pcapng"), bad = Temp("bad.pcapng");
    ASSERT_EQ(Record(path, 80).close_result, 1);
    const std::vector<unsigned char> b = Load(path);
    size_t header_end = 0;
    const std::vector<size_t> frame_ends = FrameEnds(b, &header_end);
    ASSERT_EQ(frame_ends.size(), 80u);
    for (size_t cut : {size_t{0}, size_t{9}, header_end - 3, frame_ends[0] - 1, frame_ends[30] + 8,
                       frame_ends[50] + 13, b.size() - 1})
        CheckCut(b, cut);

    std::vector<unsigned char> c = b;
    c[8] ^= 0xFF; // the byte-order magic
    Save(bad, c, c.size());
    SReplay magic = Replay(bad);
    EXPECT_FALSE(magic.ready);
    EXPECT_FALSE(magic.error.empty());

    c = b;
    const std::string app = "portnet";
    auto it = std::search(c.begin(), c.begin() + header_end, app.begin(), app.end());
    ASSERT_NE(it, c.begin() + header_end);
    *it = 'P'; // another program's section
    Save(bad, c, c.size());
    SReplay other = Replay(bad);
    EXPECT_FALSE(other.ready);
    EXPECT_FALSE(other.error.empty());

    c = b;
    c[frame_ends[40] + 4] = 7; // frame 41's first block: a length no block can have
    Save(bad, c, c.size());
    SReplay len = Replay(bad);
    ASSERT_TRUE(len.ready);
    EXPECT_EQ(len.last, -1);
    EXPECT_EQ(len.frames, 41);
    EXPECT_FALSE(len.error.empty());
    std::remove(path.c_str());
    std::remove(bad.c_str());
}

// A cut within a block's first eight bytes (its type and length) is a cut like any other: a
// host that crashed may leave its file ending anywhere.
TEST(RecordSecond, ACutWithinABlocksLengthEndsAtTheLastWholeFrame_DEFECT) {
    const std::string path = Temp("good.pcapng");
    ASSERT_EQ(Record(path, 40).close_result, 1);
    const std::vector<unsigned char> b = Load(path);
    size_t header_end = 0;
    const std::vector<size_t> frame_ends = FrameEnds(b, &header_end);
    ASSERT_EQ(frame_ends.size(), 40u);
    for (size_t in : {1, 4, 7})
        CheckCut(b, frame_ends[10 + in] + in);
    std::remove(path.c_str());
}

// A host set up otherwise than when recording is caught, at the frame where it first differs.
TEST(RecordSecond, AReplayOfAHostSetUpOtherwiseDiverges) {
    const std::string path = Temp("setup.pcapng");
    ASSERT_EQ(Record(path, 120).close_result, 1);
    SReplay ball = Replay(path, kBlob, 70); // the ball moves otherwise from frame 70
    EXPECT_GE(ball.first, 70);
    EXPECT_LE(ball.first, 75);
    EXPECT_TRUE(ball.what & CNetReplayDriver::kDivergedSends) << ball.what;
    EXPECT_GT(ball.stats.m_sends_differing, 0u);
    EXPECT_EQ(ball.frames, 120) << "a divergence does not end the replay";

    SReplay own = Replay(path, kBlob + 8); // the players' states one size larger
    EXPECT_GE(own.first, 0);
    EXPECT_TRUE(own.what & CNetReplayDriver::kDivergedHash) << own.what;
    EXPECT_GT(own.stats.m_diverged_frames, 0u);
    std::remove(path.c_str());
}

#ifndef _WIN32
// A host and two players as processes over UDP on 127.0.0.1; one is killed mid-session, the
// other leaves. The host's recording plays back with every frame equal and the same events.
TEST(RecordSecond, UdpSessionWithAKilledPlayerReplaysFrameByFrame) {
    const std::string path = Temp("udp.pcapng");
    CNetUDP udp("127.0.0.1:0");
    CNetRecorder rec(&udp, path.c_str(), "udp session");
    ASSERT_TRUE(rec.IsReady());
    ASSERT_EQ(rec.Init(), 0);
    const int port = udp.GetLocalAddr().Port();
    pid_t kids[2];
    for (int k = 0; k < 2; ++k) {
        kids[k] = fork();
        ASSERT_GE(kids[k], 0);
        if (kids[k] == 0) { // a player: the first runs until killed, the second leaves
            CNetUDP pu("127.0.0.1:0");
            SPlayer p;
            if (StartPlayer(p, pu, port) != 1) _exit(2);
            for (int f = 0; f < 3000; ++f) {
                CNetTime::Update();
                PlayerFrame(p, f * (k + 1));
                if (k == 1 && f == 400) p.Leave();
                if (k == 1 && f == 405) _exit(BallSeen(p) > 100 ? 0 : 3);
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            _exit(4);
        }
    }
    SHost h;
    ASSERT_EQ(StartHost(h, &rec), 1);
    rec.Attach(&h);
    std::string log;
    int frames = 0;
    for (int f = 0; f < 1200 && h.GetNumPeers() + (f < 100) > 0; ++f, ++frames) {
        CNetTime::Update();
        HostFrame(h, f, &log);
        rec.EndFrame();
        if (f == 150) kill(kids[0], SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    int status = 0;
    waitpid(kids[0], &status, 0);
    waitpid(kids[1], &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the second player";
    const SNetRecorderStats stats = rec.m_stats;
    h.Release();
    ASSERT_EQ(rec.Close(), 1);

    int joined = 0, left = 0, goodbyes = 0, f_, t, slot, why, n;
    for (const char* at = log.c_str();
         std::sscanf(at, "%d:%d:%d:%d %n", &f_, &t, &slot, &why, &n) == 4; at += n) {
        joined += t == SNetServerEvent::kJoined;
        left += t == SNetServerEvent::kLeft;
        goodbyes += t == SNetServerEvent::kLeft && why == kNetGoneLeft;
    }
    EXPECT_EQ(joined, 2) << log;
    EXPECT_EQ(left, 2) << log;
    EXPECT_EQ(goodbyes, 1) << "the second player left, the first was killed: " << log;

    SReplay r = Replay(path);
    ASSERT_TRUE(r.ready) << r.error;
    EXPECT_EQ(r.note, "udp session");
    EXPECT_EQ(r.frames, frames);
    EXPECT_EQ(static_cast<std::uint32_t>(r.frames), stats.m_frames);
    EXPECT_EQ(r.first, -1) << "what differed: " << r.what;
    EXPECT_EQ(r.stats.m_datagrams_in, stats.m_datagrams_in);
    EXPECT_EQ(r.stats.m_datagrams_out, stats.m_datagrams_out);
    EXPECT_EQ(r.stats.m_sends_missing + r.stats.m_sends_differing + r.stats.m_unread, 0u);
    EXPECT_EQ(r.log, log);
    std::remove(path.c_str());
}
#endif

} // namespace
