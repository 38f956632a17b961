// One program that plays a host or a player over CNetUDP on loopback, for run_lifecycle.py to drive
// as real processes. Every line it prints starts with the wall clock ("t=SECONDS") so the driver
// can set events of several processes against the moments it killed or started them.
// Addresses are of either family ("127.0.0.1:0", "[::1]:0", a dual-stack host on "[::]:0").
//
//   host   --bind A --slots N --ms MS [--idle MS] [--keepalive MS] [--tick 0|1] [--batch 0|1]
//   player --host A --bind A --tag T --ms MS [--chat N] [--reconnect-at F]
//          [--goodbye-at-end 0|1] [--goodbye-at F] [--idle MS]
#include <malloc.h>
#include <signal.h>
#include <sys/time.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>

#include "portnet/portnet.h"

namespace {

enum { kOwnPort = 0, kTickPort = 1, kNumPorts = 2, kHistory = 32, kFrameMs = 16 };

volatile sig_atomic_t g_term = 0;
int g_frame = 0;

void Say(const char* format, ...) {
    timeval tv;
    gettimeofday(&tv, nullptr);
    std::printf("t=%ld.%03ld F%d ", static_cast<long>(tv.tv_sec),
                static_cast<long>(tv.tv_usec / 1000), g_frame);
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
}

long HeapInUse() {
    return static_cast<long>(mallinfo2().uordblks);
}

// A chat line is the sender's tag and its number.
class CChat : public CNetReliable {
public:
    int ReadingCompleted() override {
        int n = 0;
        char tag[801] = {};
        if (ReadInt(&n) < 0 || ReadString(tag) < 0) return -1;
        Say("chat %s %d", tag, n);
        return 1;
    }
    int WritingCompleted() override {
        if (m_count > 0) {
            Say("ack %d", m_unacked[m_head]);
            m_head = (m_head + 1) % kRing, --m_count;
        }
        return 1;
    }
    int Send(const char* tag, int n) {
        if (m_count >= 8) return 0; // keep one of the ten free, as the guide says
        if (m_write_bufs[m_write_index].m_len > 0 && Begin() < 0) return 0;
        if (WriteInt(n) < 0 || WriteString(tag) < 0) return -1;
        Begin();
        m_unacked[(m_head + m_count++) % kRing] = n;
        return 1;
    }
    // The numbers sent and not yet acknowledged, oldest first: a fixed ring, so that the
    // heap measured is the library's.
    enum { kRing = 16 };
    int m_unacked[kRing] = {};
    int m_head = 0, m_count = 0;
};

// The host's frame counter, written to every player every frame so that a killed player's
// port draws its ICMP report at once.
class CTick : public CNetUnreliable {
public:
    int m_value = 0;
    CNetData* Clone() override { return new CTick(*this); }
    int CopyFrom(CNetUnreliable* src) override {
        m_value = static_cast<CTick*>(src)->m_value;
        return 1;
    }
    int Write(CNetBuf* buf, CNetUnreliable*, int room, CNetClient*) override {
        if (room < 4) return 0;
        return buf->WriteInt(m_value) < 0 ? -1 : 4;
    }
    int Read(CNetBuf* buf, CNetUnreliable*, CNetClient*) override {
        return buf->ReadInt(&m_value) < 0 ? -1 : 4;
    }
    int Interp(float, CNetUnreliable*, CNetUnreliable* to, CNetDataPort*) override {
        return CopyFrom(to);
    }
};

void AddTickPort(CNetManager& m) {
    m.SetPortA(kTickPort, new CTick);
    m.m_ports[kTickPort].m_writing_history = new CNetDataHistory(kHistory, new CTick, kTickPort);
    m.m_ports[kTickPort].m_reading_history = new CNetDataHistory(kHistory, new CTick, kTickPort);
}

void Frame(CNetManager& m) {
    m.BeginFrame();
    m.Read();
    m.Update(false);
    m.Write();
    m.EndFrame();
}

void Sleep() {
    std::this_thread::sleep_for(std::chrono::milliseconds(kFrameMs));
}

class CHost : public CNetServer {
public:
    int MakeOwnPort(CNetDataPort* port) override { return port->m_object = new CChat, 1; }
    void OnEvent(const SNetServerEvent& e) override {
        // m_peer, not m_addr: the sockaddr_in form of an IPv6 sender holds its family alone.
        char addr[CNetAddr::kMaxText];
        e.m_peer.ToText(addr, sizeof addr);
        if (e.m_type == SNetServerEvent::kJoined)
            Say("joined slot %d addr %s", e.m_slot, addr);
        else if (e.m_type == SNetServerEvent::kLeft)
            Say("left slot %d reason %d (%s) addr %s", e.m_slot, e.m_reason,
                NetGoneText(e.m_reason), addr);
        else
            Say("refused reason %d (%s) addr %s", e.m_reason, RefusalText(e.m_reason), addr);
        CNetServer::OnEvent(e);
    }
};

class CPlayer : public CNetConnection {
public:
    int MakeOwnPort(CNetDataPort* port) override { return port->m_object = new CChat, 1; }
    CChat* Chat() const {
        CNetPeer* peer = GetPeer();
        return peer && peer->m_own_port ? static_cast<CChat*>(peer->m_own_port->m_object) : nullptr;
    }
};

int StartHost(CHost& host, CNetUDP& udp, int slots, bool tick) {
    if (udp.Init() != 0) {
        std::printf("bind failed: %s\n", udp.GetError());
        return -1;
    }
    host.m_max_clients = slots;
    if (host.Init(&udp, kNumPorts) != 1) return -1;
    AddTickPort(host);
    host.InitPort(kTickPort, -1);
    host.SetPeerPorts(kOwnPort, true, false);
    host.SetPeerPorts(kTickPort, false, tick);
    return 1;
}

int StartPlayer(CPlayer& player, CNetUDP& udp) {
    if (udp.Init() != 0) {
        std::printf("bind failed: %s\n", udp.GetError());
        return -1;
    }
    if (player.Init(&udp, kNumPorts) != 1) return -1;
    AddTickPort(player);
    player.SetPeerPorts(kOwnPort, false, true);
    player.SetPeerPorts(kTickPort, true, false);
    return 1;
}

struct Options {
    std::map<std::string, std::string> values;
    const char* Text(const char* name, const char* fallback) const {
        auto it = values.find(name);
        return it == values.end() ? fallback : it->second.c_str();
    }
    int Int(const char* name, int fallback) const {
        auto it = values.find(name);
        return it == values.end() ? fallback : std::atoi(it->second.c_str());
    }
};

void OnTerm(int) {
    g_term = 1;
}

int RunHost(const Options& o) {
    CNetUDP udp(o.Text("bind", "127.0.0.1:0"));
    udp.m_batch_receive = udp.m_batch_send = o.Int("batch", 1) != 0;
    CHost host;
    host.m_idle_limit_ms = o.Int("idle", 10000);
    host.m_keep_alive_ms = o.Int("keepalive", 1000);
    if (StartHost(host, udp, o.Int("slots", 8), o.Int("tick", 1) != 0) != 1) return 2;
    const int frames = o.Int("ms", 10000) / kFrameMs;
    // The empty table's heap, once the first frames made whatever they make once.
    for (; g_frame < 10; ++g_frame)
        CNetTime::Update(), Frame(host), Sleep();
    Say("started"); // stdout's buffer is made by the first line, before the measure
    const long empty = HeapInUse();
    Say("heap empty %ld", empty);
    Say("listening %s", udp.GetAddr());
    std::fflush(stdout);
    CTick* tick = static_cast<CTick*>(host.m_ports[kTickPort].m_object);
    for (; g_frame < frames && !g_term; ++g_frame) {
        CNetTime::Update();
        tick->m_value = g_frame;
        Frame(host);
        SNetServerEvent e;
        while (host.PollEvent(&e)) {
        }
        Sleep();
    }
    Say("heap end %ld peers %d", HeapInUse(), host.GetNumPeers());
    unsigned refused = 0;
    for (unsigned r : host.m_refused)
        refused += r;
    Say("stats refused %u full %u unreported %u after_leave %u events_dropped %u", refused,
        host.m_refused[CNetServer::kRefusedFull], host.m_refusals_unreported, host.m_after_leave,
        host.m_events_dropped);
    host.Leave();
    host.Release();
    return 0;
}

int RunPlayer(const Options& o) {
    char err[128] = {};
    CNetAddr host_addr;
    if (CNetAddr::Resolve(o.Text("host", ""), &host_addr, err, sizeof err) != 1 ||
        host_addr.CheckDest(err, sizeof err) != 1) {
        std::printf("bad host address: %s\n", err);
        return 2;
    }
    CNetUDP udp(o.Text("bind", "127.0.0.1:0"));
    CPlayer player;
    player.m_idle_limit_ms = o.Int("idle", 10000);
    if (StartPlayer(player, udp) != 1) return 2;
    const std::string tag = o.Text("tag", "p");
    const int chat_every = o.Int("chat", 0), reconnect_at = o.Int("reconnect-at", -1);
    const int goodbye_at = o.Int("goodbye-at", -1);
    const int frames = o.Int("ms", 5000) / kFrameMs;
    Say("bound %s", udp.GetAddr());
    if (player.Connect(host_addr) != 1) return 2;
    int line = 0;
    for (g_frame = 0; g_frame < frames && !g_term; ++g_frame) {
        CNetTime::Update();
        if (g_frame == reconnect_at) Say("reconnect %d", player.Reconnect());
        // A goodbye behind the connection's back: the host ends the peer while this side
        // goes on sending as though nothing happened, as packets in flight would.
        if (g_frame == goodbye_at && player.GetPeer())
            Say("sent goodbye %d", player.GetPeer()->SendGoodbye());
        if (chat_every > 0 && g_frame % chat_every == 0 &&
            player.GetState() == CNetConnection::kConnected) {
            CChat* chat = player.Chat();
            if (chat && chat->Send(tag.c_str(), line + 1) == 1) ++line;
        }
        Frame(player);
        SNetConnectionEvent e;
        while (player.PollEvent(&e)) {
            if (e.m_type == SNetConnectionEvent::kConnected)
                Say("connected slot %d", player.GetSlot());
            else if (e.m_type == SNetConnectionEvent::kLost)
                Say("lost reason %d (%s) refusal %d", e.m_reason, NetGoneText(e.m_reason),
                    e.m_refusal);
            else
                Say("failed reason %d (%s) refusal %d", e.m_reason, NetGoneText(e.m_reason),
                    e.m_refusal);
        }
        Sleep();
    }
    if (g_term || o.Int("goodbye-at-end", 0) != 0) {
        // The goodbye goes out at once; one more frame reads nothing that matters.
        Say("leaving %d", player.Leave());
        CNetTime::Update();
        Frame(player);
    }
    Say("exit");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 2) {
        std::fprintf(stderr, "usage: lifecycle_peer host|player [--name value]...\n");
        return 2;
    }
    Options o;
    for (int i = 2; i + 1 < argc; i += 2)
        if (std::strncmp(argv[i], "--", 2) == 0) o.values[argv[i] + 2] = argv[i + 1];
    struct sigaction sa {};
    sa.sa_handler = OnTerm;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    CNetTime::Init();
    const std::string mode = argv[1];
    int rc = 2;
    if (mode == "host")
        rc = RunHost(o);
    else if (mode == "player")
        rc = RunPlayer(o);
    return rc;
}
