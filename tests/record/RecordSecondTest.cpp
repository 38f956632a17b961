// Record and replay as a host uses them: UDP sessions recorded and played back, damaged files,
// a replay set up unlike the recording, and what the recorder promises about stopping.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <type_traits>
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
using Bytes = std::vector<unsigned char>;
using Ints = std::vector<int>;

CNetBlobState* Blob(CNetDataPort* p) {
    return static_cast<CNetBlobState*>(p->m_object);
}
void BlobPort(CNetDataPort* p, int number, int size, bool object = true) {
    if (object) p->m_object = new CNetBlobState(size);
    p->m_writing_history = new CNetDataHistory(kHist, new CNetBlobState(size), number);
    p->m_reading_history = new CNetDataHistory(kHist, new CNetBlobState(size), number);
}
CNetDataPort* Written(CNetServer& h) {
    return &h.m_ports[kBall];
}
CNetDataPort* Written(CNetConnection& p) {
    CNetPeer* me = p.GetPeer();
    return me ? me->m_own_port : nullptr;
}
// A host or player whose own port holds own bytes and who reads or writes the ball: the host
// writes the frame number there, the player its own counter in its own port.
template <class M> struct SSide : M {
    int own = kBlob;
    int MakeOwnPort(CNetDataPort* p) override { return BlobPort(p, kOwn, own), 1; }
    int Start(CNetDriver* d, bool host) {
        this->m_idle_limit_ms = 1500; // a killed peer ends within the session even without ICMP
        if (this->Init(d, kPorts) != 1) return -1;
        this->SetPortA(kBall, new CNetBlobState(kBlob));
        BlobPort(&this->m_ports[kBall], kBall, kBlob, false);
        if (host) this->InitPort(kBall, -1);
        this->SetPeerPorts(kOwn, host, !host);
        return this->SetPeerPorts(kBall, !host, host) == 1 ? 1 : -1;
    }
    void Frame(int v) {
        if (CNetDataPort* port = Written(*this)) Blob(port)->Set(&v, 4);
        this->BeginFrame(), this->Read(), this->Update(false), this->Write(), this->EndFrame();
    }
    bool host = std::is_same<M, CNetServer>::value;
};
using SHost = SSide<CNetServer>;
using SPlayer = SSide<CNetConnection>;

// The host's frame, its events logged as "frame:type:slot:reason ".
void HostFrame(SHost& h, int frame, std::string* log, int ball = 0) {
    h.Frame(frame + ball);
    for (SNetServerEvent e; h.PollEvent(&e);)
        *log += std::to_string(frame) + ":" + std::to_string(e.m_type) + ":" +
                std::to_string(e.m_slot) + ":" + std::to_string(e.m_reason) + " ";
}
int StartPlayer(SPlayer& p, CNetUDP& udp, int host_port, bool v6) {
    if (udp.Init() != 0 || p.Start(&udp, false) != 1) return -1;
    return p.Connect(((v6 ? "[::1]:" : "127.0.0.1:") + std::to_string(host_port)).c_str());
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
// Plays path back into a host set up as when recording, but for own and, from frame
// ball_from on, another ball.
SReplay Replay(const std::string& path, int own = kBlob, int ball_from = 1 << 30) {
    SReplay r;
    CNetReplayDriver replay(path.c_str());
    SHost h;
    h.own = own;
    r.ready = replay.IsReady();
    r.note = replay.GetNote();
    if (r.ready && h.Start(&replay, true) == 1) {
        replay.Attach(&h);
        replay.UseClock();
        for (; r.frames < 100000 && (r.last = replay.NextFrame()) == 1; ++r.frames) {
            CNetTime::Update();
            HostFrame(h, replay.GetFrame(), &r.log, replay.GetFrame() >= ball_from ? 1000 : 0);
            replay.EndFrame();
        }
    }
    r.error = replay.GetError();
    r.first = replay.FirstDivergingFrame();
    r.what = replay.FirstDivergence();
    r.stats = replay.m_stats;
    CNetTime::Init();
    return r;
}

std::string Temp(const char* name) {
    return ::testing::TempDir() + "portnet_rec2_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name() + name;
}
Bytes Load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
void Save(const std::string& path, const Bytes& b, size_t n) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), n);
}

// A host recorded over UDP with one player in this process, for frames frames; closed
// after frame close_at - 1 when given, the session going on. The host binds dual-stack; the
// player joins over ::1 with v6, else over 127.0.0.1.
struct SSession {
    SNetRecorderStats stats;
    int close_result = 0, ball_end = -1, failed_at = -1;
    bool ready = false, end_after_close = false, recorded_after_close = false;
    std::string log;
};
SSession Record(const std::string& path, int frames, int close_at = -1, const char* note = nullptr,
                bool v6 = false) {
    SSession s;
    CNetUDP host_udp("[::]:0"), player_udp(v6 ? "[::1]:0" : "127.0.0.1:0");
    CNetRecorder rec(&host_udp, path.c_str(), note, CNetRecorder::kMinBufferBytes);
    s.ready = rec.IsReady();
    SHost h;
    SPlayer p;
    if (rec.Init() != 0 || h.Start(&rec, true) != 1 ||
        StartPlayer(p, player_udp, host_udp.GetLocalAddr().Port(), v6) != 1)
        return s;
    rec.Attach(&h);
    for (int f = 0; f < frames; ++f) {
        CNetTime::Update();
        HostFrame(h, f, &s.log);
        p.Frame(f);
        if (close_at >= 0 && f >= close_at) {
            s.end_after_close |= rec.EndFrame() != -1;
            s.recorded_after_close |= rec.m_stats.m_datagrams_out != s.stats.m_datagrams_out;
        } else if (rec.EndFrame() != 1 && s.failed_at < 0) {
            s.failed_at = f;
        }
        if (f == close_at - 1) s.close_result = rec.Close(), s.stats = rec.m_stats;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    s.ball_end = BallSeen(p);
    if (close_at < 0) s.stats = rec.m_stats, s.close_result = rec.Close();
    h.Release();
    return s;
}

// The recorder's counts match its file and the replay; Close writes all, then the session goes
// on unrecorded; the note comes back. The player is an IPv6 one: its peer goes into the file whole.
TEST(RecordSecond, CloseKeepsTheSessionGoingAndTheFileMatchesTheCounts) {
    const std::string path = Temp(".pcapng");
    SSession s = Record(path, 160, 100, "my game 1.4, map 7", true);
    ASSERT_TRUE(s.ready);
    // EndFrame after Close answers -1 and records nothing; the session went on.
    EXPECT_EQ((Ints{s.close_result, s.end_after_close, s.recorded_after_close, s.ball_end >= 150,
                    int(s.stats.m_frames), int(s.stats.m_write_failures),
                    Load(path).size() == s.stats.m_bytes, s.stats.m_datagrams_in > 50}),
              (Ints{1, 0, 0, 1, 100, 0, 1, 1}));

    SReplay r = Replay(path);
    ASSERT_TRUE(r.ready) << r.error;
    EXPECT_EQ(r.note, "my game 1.4, map 7");
    EXPECT_EQ((Ints{r.last, r.frames, r.first, r.stats.m_datagrams_in == s.stats.m_datagrams_in,
                    r.stats.m_datagrams_out == s.stats.m_datagrams_out, s.log.empty()}),
              (Ints{0, 100, -1, 1, 1, 0}))
        << "what differed: " << r.what;
    EXPECT_EQ(r.log, s.log);
    std::remove(path.c_str());

    // A file that is not there plays nothing; a path that cannot be made records nothing.
    CNetReplayDriver missing(path.c_str());
    CNetUDP udp("127.0.0.1:0");
    CNetRecorder nowhere(&udp, (path + "/no/such/dir.pcapng").c_str());
    EXPECT_EQ((Ints{missing.IsReady(), missing.NextFrame(), nowhere.IsReady(), nowhere.EndFrame()}),
              (Ints{0, -1, 0, -1}));
}

// Where the header blocks end, and where each frame ends (custom block 0xBAD of kind 1).
std::vector<size_t> FrameEnds(const Bytes& b, size_t* header_end) {
    auto u32 = [&b](size_t at) {
        return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | std::uint32_t{b[at + 3]} << 24;
    };
    std::vector<size_t> ends;
    for (size_t at = 0, len; at + 12 <= b.size(); at += len) {
        len = u32(at + 4);
        if (len < 12 || len % 4 != 0 || at + len > b.size() || u32(at + len - 4) != len) {
            ADD_FAILURE() << "block at " << at;
            break;
        }
        if (u32(at) == 1) *header_end = at + len;
        if (u32(at) == 0xBAD && b[at + 12] == 1) ends.push_back(at + len);
    }
    return ends;
}
// The recording b cut at cut: refused with a reason within the header, else played to the
// last whole frame and ended there (0), as a host that crashed leaves it.
void CheckCut(const Bytes& b, size_t cut) {
    size_t header_end = 0, whole = 0;
    const std::vector<size_t> ends = FrameEnds(b, &header_end);
    Save(Temp("cut"), b, cut);
    SReplay r = Replay(Temp("cut"));
    while (whole < ends.size() && ends[whole] <= cut)
        ++whole;
    if (cut < header_end) {
        EXPECT_TRUE(r.frames == 0 && (r.ready || !r.error.empty())) << "cut at " << cut;
        return;
    }
    ASSERT_TRUE(r.ready) << "cut at " << cut << ": " << r.error;
    EXPECT_EQ(r.last, 0) << "cut at " << cut << ": " << r.error;
    EXPECT_EQ(static_cast<size_t>(r.frames), whole) << "cut at " << cut;
    EXPECT_EQ(r.first, -1) << "cut at " << cut;
}

// Damaged recordings: refused with a reason, or played up to the last whole frame; never a
// crash (the ASan run sees every read). A cut within a block's type and length is a cut like any
// other: a host that crashed may leave its file ending anywhere.
TEST(RecordSecond, DamagedRecordingsAreRefusedOrCutAtTheLastWholeFrame) {
    const std::string path = Temp(".pcapng");
    ASSERT_EQ(Record(path, 80).close_result, 1);
    const Bytes b = Load(path);
    size_t header_end = 0;
    const std::vector<size_t> ends = FrameEnds(b, &header_end);
    ASSERT_EQ(ends.size(), 80u);
    for (size_t cut : {size_t{0}, size_t{9}, header_end - 3, ends[0] - 1, ends[30] + 8,
                       ends[50] + 13, ends[11] + 1, ends[14] + 4, ends[17] + 7, b.size() - 1})
        CheckCut(b, cut);

    const std::string app = "portnet";
    const size_t app_at = std::search(b.begin(), b.end(), app.begin(), app.end()) - b.begin();
    ASSERT_LT(app_at, header_end);
    // The byte-order magic, the application (another program's file), a length no block has.
    for (size_t at : {size_t{8}, app_at, ends[40] + 4}) {
        Bytes c = b;
        c[at] = at == ends[40] + 4 ? 7 : c[at] ^ 0x20;
        Save(Temp("bad"), c, c.size());
        SReplay r = Replay(Temp("bad"));
        EXPECT_FALSE(r.error.empty()) << "byte " << at;
        EXPECT_EQ(r.ready, at == ends[40] + 4) << "byte " << at;
        EXPECT_EQ(r.frames, r.ready ? 41 : 0) << "byte " << at;
        EXPECT_EQ(r.last, r.ready ? -1 : 9) << "byte " << at;
    }
    std::remove(path.c_str());
}

// A host set up otherwise than when recording is caught, at the frame where it first differs.
TEST(RecordSecond, AReplayOfAHostSetUpOtherwiseDiverges) {
    const std::string path = Temp(".pcapng");
    ASSERT_EQ(Record(path, 120).close_result, 1);
    // The ball moves otherwise from frame 70; a divergence does not end the replay.
    SReplay ball = Replay(path, kBlob, 70);
    EXPECT_EQ((Ints{ball.first >= 70 && ball.first <= 75,
                    !!(ball.what & CNetReplayDriver::kDivergedSends),
                    ball.stats.m_sends_differing > 0, ball.frames}),
              (Ints{1, 1, 1, 120}))
        << ball.first << " " << ball.what;
    SReplay own = Replay(path, kBlob + 8); // the players' states, larger
    EXPECT_EQ((Ints{own.first >= 0, !!(own.what & CNetReplayDriver::kDivergedHash),
                    own.stats.m_diverged_frames > 0}),
              (Ints{1, 1, 1}))
        << own.what;
    std::remove(path.c_str());
}

#ifndef _WIN32
// A host and two players as processes over UDP on 127.0.0.1; one is killed mid-session, the
// other leaves. The host's recording plays back with every frame and event as it was.
TEST(RecordSecond, UdpSessionWithAKilledPlayerReplaysFrameByFrame) {
    const std::string path = Temp(".pcapng");
    CNetUDP udp("[::]:0"); // dual-stack: the killed player joins over ::1, the other over IPv4
    CNetRecorder rec(&udp, path.c_str(), "udp session");
    ASSERT_TRUE(rec.IsReady());
    ASSERT_EQ(rec.Init(), 0);
    pid_t kids[2];
    for (int k = 0; k < 2; ++k) {
        if ((kids[k] = fork()) != 0) continue;
        CNetUDP pu(k == 0 ? "[::1]:0"
                          : "127.0.0.1:0"); // the first runs until killed, the second leaves
        SPlayer p;
        if (StartPlayer(p, pu, udp.GetLocalAddr().Port(), k == 0) != 1) _exit(2);
        for (int f = 0; f < 3000; ++f) {
            CNetTime::Update();
            p.Frame(f * (k + 1));
            if (k == 1 && f == 400) p.Leave();
            if (k == 1 && f == 405) _exit(BallSeen(p) > 100 ? 0 : 3);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        _exit(4);
    }
    SHost h;
    ASSERT_EQ(h.Start(&rec, true), 1);
    rec.Attach(&h);
    std::string log;
    int frames = 0, status = 0, joined = 0, left = 0, goodbyes = 0, f, t, slot, why, n;
    for (; frames < 1200 && h.GetNumPeers() + (frames < 100) > 0; ++frames) {
        CNetTime::Update();
        HostFrame(h, frames, &log);
        rec.EndFrame();
        if (frames == 150) kill(kids[0], SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    waitpid(kids[0], &status, 0);
    waitpid(kids[1], &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the second player";
    const SNetRecorderStats stats = rec.m_stats;
    h.Release();
    ASSERT_EQ(rec.Close(), 1);
    for (const char* at = log.c_str();
         std::sscanf(at, "%d:%d:%d:%d %n", &f, &t, &slot, &why, &n) == 4; at += n) {
        joined += t == SNetServerEvent::kJoined;
        left += t == SNetServerEvent::kLeft;
        goodbyes += t == SNetServerEvent::kLeft && why == kNetGoneLeft;
    }
    EXPECT_TRUE(joined == 2 && left == 2 && goodbyes == 1)
        << "the second left, the first was killed: " << log;

    SReplay r = Replay(path);
    ASSERT_TRUE(r.ready) << r.error;
    EXPECT_EQ(r.note, "udp session");
    EXPECT_EQ((Ints{r.frames, int(stats.m_frames), r.first,
                    r.stats.m_datagrams_in == stats.m_datagrams_in,
                    r.stats.m_datagrams_out == stats.m_datagrams_out,
                    int(r.stats.m_sends_missing + r.stats.m_sends_differing + r.stats.m_unread)}),
              (Ints{frames, frames, -1, 1, 1, 0}))
        << "what differed: " << r.what;
    EXPECT_EQ(r.log, log);
    std::remove(path.c_str());
}
#endif

} // namespace
