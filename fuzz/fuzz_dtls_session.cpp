// libFuzzer target: datagrams injected into one open secure session. Two managers, A
// (accepting) and B (connecting), each over a CNetDtls (pre-shared key) on the simulated
// network, open their session once per process; every input then sends, from one peer's own
// address and port to the other, datagrams made from that session's real records (altered,
// cut short, lengthened, re-typed, re-epoched, re-numbered, replayed) or from plain bytes.
// After each datagram both managers run a frame. The target stops (traps) when:
//   - a session ends, a client is destroyed, or a side loses its client;
//   - a chat line (reliable, one a frame each way) arrives lost, repeated or out of order;
//   - at the end of the input the two sides do not agree again within kSettleFrames frames:
//     every line said is heard, B's position is the one A sees;
//   - an injected datagram moves none of the receiver's counters (rejected, replayed, cookie
//     sent, handshake started): every dropped datagram is counted. Set
//     PORTNET_FUZZ_UNCOUNTED=1 to leave this check out.
// Between inputs nothing is rebuilt: the settled session is the next input's start.
//
// An input is a stream of operations on one scratch datagram (at most kMaxDatagram bytes):
//   (op & 15) % 10:
//              0  LOAD k      the scratch becomes real record k (k < 128: one B sent to A,
//                             else one A sent to B; the pool holds the handshake's datagrams
//                             and the last application records of the warm-up)
//              1  RAW n ...   the scratch becomes n plain bytes (n: one byte)
//              2  SET p p v   byte p (two bytes, little-endian, modulo the length) becomes v
//              3  CUT n n     the scratch is cut to n bytes (modulo length + 1); the first
//                             record's length field follows when a header remains
//              4  GROW n ...  n bytes appended; the first record's length field follows
//              5  TYPE t      content type
//              6  EPOCH e e   epoch (big-endian, as on the wire)
//              7  NUMBER 6b   record number (big-endian)
//              8  AHEAD a     record number plus a << 8 * (op >> 4 & 3) ... far ahead
//              9  SEND        from B to A (op & 0x10: from A to B), then one frame each
// At most kMaxSends datagrams per input.
//
// Built with PORTNET_FUZZ_STANDALONE it is a plain program (fuzz_dtls_session_replay);
// `--capture DIR` writes the seed corpus.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ReplicatedObjects.h"
#include "portnet/CNetDtls.h"
#include "portnet/CNetSim.h"
#include "portnet/portnet.h"
#include "FuzzShared.h"

namespace {

using portnet_examples::CChatStream;
using portnet_examples::CPositionState;

enum : int {
    kIdA = 1,
    kIdB = 2,
    kPorts = 3, // 1: B's position, A reads it; 2: chat both ways
    kFrameMs = 16,
    kMaxDatagram = 1500,
    kMaxSends = 8,
    kSettleFrames = 40,
    kPoolHandshake = 8, // first datagrams of each side kept (the handshake)
    kPoolRecords = 56,  // and the last application records of the warm-up
    kWarmUpFrames = 120
};

const unsigned char kKey[32] = {0x21, 0x17, 0x9c, 0x40, 0x05};

void Check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "fuzz_dtls_session: %s\n", what);
    std::abort();
}

sockaddr_in Endpoint(int id) {
    return portnet_fuzz::LocalEndpoint(id);
}

SNetDtlsConfig Config(int role) {
    SNetDtlsConfig c = portnet_fuzz::SmallDtls(role, kKey);
    c.m_retransmit_ms = 20;
    c.m_handshake_timeout_ms = 2000;
    c.m_idle_timeout_ms = 3000;
    return c;
}

// Keeps what the CNetDtls above it sends: the pool of real records.
class Recorder : public CNetDriver {
public:
    explicit Recorder(CNetDriver* inner) : m_inner(inner) {}
    int SetBlockMode(bool b) override { return m_inner->SetBlockMode(b); }
    int MakeBroadcastCapable() override { return -1; }
    int Init() override { return m_inner->Init(); }
    int Shutdown() override { return m_inner->Shutdown(); }
    int Connected(sockaddr_in* p) override { return m_inner->Connected(p); }
    int Disconnected(sockaddr_in* p) override { return m_inner->Disconnected(p); }
    char* GetAddr() override { return m_inner->GetAddr(); }
    int SendTo(int len, void* data, sockaddr_in* to) override {
        if (m_keep) {
            auto* p = static_cast<unsigned char*>(data);
            m_sent.emplace_back(p, p + len);
        }
        return m_inner->SendTo(len, data, to);
    }
    int RecvFrom(int* len, void* buf, sockaddr_in* from) override {
        return m_inner->RecvFrom(len, buf, from);
    }
    int Broadcast(int, void*, sockaddr_in*) override { return -1; }
    CNetDriver* m_inner;
    bool m_keep = true;
    std::vector<std::vector<unsigned char>> m_sent;
};

class Manager : public CNetManager {
public:
    int DestroyClient(int) override {
        Check(false, "a client was destroyed");
        return -1;
    }
};

std::uint32_t Counted(const SNetDtlsStats& s) {
    return s.m_rejected + s.m_replayed + s.m_cookies_sent + s.m_handshakes_started;
}

// One side: simulator endpoint, recorder, CNetDtls, manager with one client for the other.
struct Side {
    Side(CNetSimNetwork* net, int id, int peer_id, int role)
        : sim(net, id), rec(&sim), dtls(&rec, Config(role)), peer(Endpoint(peer_id)) {
        Check(dtls.IsReady() && dtls.Init() == 0, "set-up");
        out = new CNetBuf(&dtls, &peer);
        Check(mgr.Init(&dtls, kPorts) == 1, "manager");
        mgr.SetPortA(1, new CPositionState);
        mgr.SetPortA(2, new CChatStream);
        for (int p = 1; p < kPorts; ++p)
            mgr.InitPort(p, -1);
        for (CNetDataHistory** h :
             {&mgr.m_ports[1].m_reading_history, &mgr.m_ports[1].m_writing_history})
            *h = new CNetDataHistory(32, new CPositionState, 1);
        client = new CNetClient;
        client->m_send_buf = out;
        client->m_own_port = new CNetDataPort;
        client->m_own_port->m_object = new CPositionState;
        Check(mgr.AddClient(client, -1) == 0, "client");
        const bool writes_position = id == kIdB;
        for (int p = 0; p < kPorts; ++p) {
            client->m_refs[p].m_read_enabled = p != 1 || !writes_position;
            client->m_refs[p].m_write_enabled = p != 1 || writes_position;
        }
    }
    ~Side() {
        mgr.Release();
        delete out;
    }
    Side(const Side&) = delete;
    Side& operator=(const Side&) = delete;

    void Frame() {
        mgr.BeginFrame();
        mgr.Read();
        mgr.Update(true);
        mgr.Write();
        mgr.EndFrame();
    }
    CChatStream* Chat() { return static_cast<CChatStream*>(mgr.m_ports[2].m_object); }
    CPositionState* Position() { return static_cast<CPositionState*>(mgr.m_ports[1].m_object); }

    CNetSimDriver sim;
    Recorder rec;
    CNetDtls dtls;
    sockaddr_in peer;
    CNetBuf* out = nullptr;
    Manager mgr;
    CNetClient* client = nullptr;
};

// Numbered lines one side says and the other checks on arrival.
struct Lines {
    int said = 0, heard = 0;
    static void Text(int i, char* out) { std::snprintf(out, 40, "line %d", i); }
    void Speak(Side& from) {
        char line[40];
        Text(said, line);
        said += from.Chat()->Say(line) == 1;
    }
    void Hear(Side& to) {
        CChatStream* c = to.Chat();
        Check(c->m_received - heard <= CChatStream::kRingLines, "chat ring overrun");
        for (; heard < c->m_received; ++heard) {
            char want[40];
            Text(heard, want);
            Check(std::strcmp(c->m_lines[heard % CChatStream::kRingLines], want) == 0,
                  "a chat line lost, repeated or out of order");
        }
        Check(heard <= said, "a line heard that was never said");
    }
};

struct Session {
    CNetSimNetwork net{1};
    Side a{&net, kIdA, kIdB, SNetDtlsConfig::kAccept};
    Side b{&net, kIdB, kIdA, SNetDtlsConfig::kConnect};
    Lines ab, ba;                                           // A to B, B to A
    std::vector<std::vector<unsigned char>> pool_b, pool_a; // sent by B (to A), by A (to B)
    bool check_counts = std::getenv("PORTNET_FUZZ_UNCOUNTED") == nullptr;
    int moves = 0;

    void Tick(bool speak) {
        // The session lives through every input, so its clock runs for weeks: it wraps, as the
        // library's does.
        CNetTime::m_time =
            static_cast<int>(static_cast<std::uint32_t>(CNetTime::m_time) + kFrameMs);
        net.SetTime(CNetTime::m_time);
        if (speak) {
            ab.Speak(a);
            ba.Speak(b);
            b.Position()->m_pos[0] = static_cast<float>(++moves % 100000);
        }
        a.Frame();
        b.Frame();
        ab.Hear(b);
        ba.Hear(a);
        Check(a.dtls.GetOpenSessions() == 1 && b.dtls.GetOpenSessions() == 1,
              "a session is not open");
        Check(a.dtls.m_stats.m_sessions_ended == 0 && b.dtls.m_stats.m_sessions_ended == 0,
              "a session ended");
        Check(a.mgr.GetNumClients() == 1 && b.mgr.GetNumClients() == 1, "a client is gone");
    }
    // Both sides agree: every line heard, the position A sees is B's.
    bool Settled() {
        return ab.heard == ab.said && ba.heard == ba.said &&
               a.Position()->m_pos[0] == b.Position()->m_pos[0];
    }
    void Settle() {
        for (int f = 0; f < kSettleFrames; ++f) {
            if (Settled()) return;
            Tick(false);
        }
        Check(Settled(), "the sides stopped converging");
    }

    Session() {
        CNetTime::m_time = 1000;
        net.SetTime(CNetTime::m_time);
        // The handshake runs on the system clock as well; without losses it needs none.
        for (int f = 0; f < 200 && (a.dtls.GetOpenSessions() == 0 ||
                                    b.dtls.GetOpenSessions() == 0 || ba.heard < 3);
             ++f) {
            CNetTime::m_time += kFrameMs;
            net.SetTime(CNetTime::m_time);
            ab.Speak(a);
            ba.Speak(b);
            a.Frame();
            b.Frame();
            ab.Hear(b);
            ba.Hear(a);
        }
        Check(a.dtls.GetOpenSessions() == 1 && b.dtls.GetOpenSessions() == 1, "handshake");
        for (int f = 0; f < kWarmUpFrames; ++f)
            Tick(true);
        Settle();
        Keep(b.rec.m_sent, pool_b);
        Keep(a.rec.m_sent, pool_a);
        a.rec.m_keep = b.rec.m_keep = false;
    }
    static void Keep(const std::vector<std::vector<unsigned char>>& sent,
                     std::vector<std::vector<unsigned char>>& pool) {
        for (std::size_t i = 0; i < sent.size() && i < kPoolHandshake; ++i)
            pool.push_back(sent[i]);
        const std::size_t from = sent.size() > kPoolRecords ? sent.size() - kPoolRecords : 0;
        for (std::size_t i = from > kPoolHandshake ? from : kPoolHandshake; i < sent.size(); ++i)
            pool.push_back(sent[i]);
    }

    // The forged datagram reaches its target in the next frame; the frame after lets the
    // target answer and the other side take the answer.
    void Inject(bool to_b, const unsigned char* d, int n) {
        Side& from = to_b ? a : b;
        Side& to = to_b ? b : a;
        const std::uint32_t before = Counted(to.dtls.m_stats);
        const bool half_open = to.dtls.GetHalfOpen() > 0;
        sockaddr_in dest = Endpoint(to_b ? kIdB : kIdA);
        from.sim.SendTo(n, const_cast<unsigned char*>(d), &dest);
        Tick(true);
        // A datagram a handshake in progress takes is the handshake's to judge.
        if (check_counts && !half_open && to.dtls.GetHalfOpen() == 0)
            Check(Counted(to.dtls.m_stats) > before, "a dropped datagram was not counted");
        Tick(true);
    }
};

Session* TheSession() {
    static Session* s = new Session; // once per process; never freed (the process ends)
    return s;
}

void FitLength(std::vector<unsigned char>& d) {
    if (d.size() < 13) return;
    const std::size_t body = d.size() - 13;
    d[11] = static_cast<unsigned char>(body >> 8);
    d[12] = static_cast<unsigned char>(body);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Session& s = *TheSession();
    std::vector<unsigned char> d = s.pool_b.back();
    std::size_t at = 0;
    int sends = 0;
    auto next = [&]() -> unsigned { return at < size ? data[at++] : 0u; };
    while (at < size && sends < kMaxSends) {
        const unsigned op = data[at++];
        switch ((op & 15) % 10) {
        case 0: {
            const unsigned k = next();
            const auto& pool = k < 128 ? s.pool_b : s.pool_a;
            d = pool[(k & 127) % pool.size()];
            break;
        }
        case 1: {
            std::size_t n = next();
            if (n > size - at) n = size - at;
            d.assign(data + at, data + at + n);
            at += n;
            break;
        }
        case 2: {
            const unsigned p = next() | next() << 8;
            const unsigned char v = static_cast<unsigned char>(next());
            if (!d.empty()) d[p % d.size()] = v;
            break;
        }
        case 3: {
            const unsigned n = next() | next() << 8;
            d.resize(n % (d.size() + 1));
            FitLength(d);
            break;
        }
        case 4: {
            std::size_t n = next();
            if (n > size - at) n = size - at;
            if (d.size() + n > kMaxDatagram) n = kMaxDatagram - d.size();
            d.insert(d.end(), data + at, data + at + n);
            at += n;
            FitLength(d);
            break;
        }
        case 5:
            if (!d.empty()) d[0] = static_cast<unsigned char>(next());
            break;
        case 6:
            if (d.size() >= 5) d[3] = static_cast<unsigned char>(next()), d[4] = next() & 0xFF;
            break;
        case 7:
            for (std::size_t i = 5; i < 11; ++i)
                if (d.size() > i) d[i] = static_cast<unsigned char>(next());
            break;
        case 8: {
            if (d.size() < 11) break;
            std::uint64_t v = 0;
            for (int i = 5; i < 11; ++i)
                v = v << 8 | d[i];
            v += static_cast<std::uint64_t>(next()) << (8 * (op >> 4 & 3));
            for (int i = 10; i >= 5; --i, v >>= 8)
                d[i] = static_cast<unsigned char>(v);
            break;
        }
        default:
            if (!d.empty()) s.Inject(op & 0x10, d.data(), static_cast<int>(d.size()));
            ++sends;
            break;
        }
    }
    s.Settle();
    return 0;
}

#ifdef PORTNET_FUZZ_STANDALONE

#include "FuzzReplay.h"

namespace {

// Seeds, one mutation each: a replayed record each way, a record with a byte flipped, one
// cut short, one lengthened, one re-typed, one re-epoched, one re-numbered far ahead, the
// handshake's first datagram again, and plain text.
int Capture(const std::filesystem::path& dir) {
    using portnet_fuzz::Bytes;
    const unsigned char last_b = 127, last_a = 255;
    const std::vector<std::pair<const char*, Bytes>> seeds = {
        {"replayed", {0, last_b, 9}},
        {"replayed_to_b", {0, last_a, 9 | 0x10}},
        {"old_record", {0, 20, 9}},
        {"byte_flipped", {0, last_b, 2, 40, 0, 0x5a, 9}},
        {"cut_short", {0, last_b, 3, 40, 0, 9}},
        {"lengthened", {0, last_b, 4, 4, 1, 2, 3, 4, 9}},
        {"retyped", {0, last_b, 5, 22, 9}},
        {"re_epoched", {0, last_b, 6, 0, 2, 9}},
        {"renumbered_ahead", {0, last_b, 8 | 0x30, 1, 9}},
        {"first_flight_again", {0, 0, 9, 0, 1, 9}},
        {"plain_text", {1, 9, 0, 0, 0, 0xff, 0xff, 0x7f, 0, 0, 0, 9}},
        {"plain_alert", {1, 15, 21, 0xfe, 0xfd, 0, 0, 0, 0, 0, 0, 0, 9, 0, 2, 2, 40, 9}},
    };
    for (const auto& s : seeds)
        portnet_fuzz::Save(dir / s.first, s.second);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    return portnet_fuzz::ReplayMain(argc, argv, Capture);
}

#endif
