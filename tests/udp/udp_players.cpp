// One process of a game on loopback: the host (a CNetServer) or a player (a CNetConnection),
// for run_udp_players.sh, which starts several, kills some and reads what the host saw.
//
//   udp_players host --bind A:P [--seconds S] [--departures N] [--one-at-a-time]
//   udp_players player --connect A:P --name X [--seconds S] [--lines K] [--one-at-a-time]
//
// Each player writes numbered chat lines ("X 1" .. "X K") on its own port, spread over the
// first four fifths of its time, then says goodbye and exits at once; the host writes a ball
// to every player every frame, so a vanished player's port is sent to every frame. The host
// prints, one line each and flushed, with the wall clock in ms (comparable with `date`):
//   listening A:P
//   joined slot S A:P at MS
//   left slot S A:P reason R at MS
//   lines X N (after its end, for each player heard: N lines in order) and "disorder N"
// and ends after N departures (and 0.2 s more) or S seconds. A player prints
// "connected A:P at MS" with its own address, and exits 0 once it left, 2 when it never got in.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "ReplicatedObjects.h"
#include "portnet/portnet.h"

using portnet_examples::CChatStream;
using portnet_examples::CPositionState;

namespace {

enum : int { kChatPort = 0, kBallPort = 1, kNumPorts = 2, kHistory = 32, kFrameMs = 16 };

long long WallMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// What the host heard from each named player: lines in order, and lines out of order.
struct Tally {
    enum : int { kNames = 16, kNameSize = 16 };
    char names[kNames][kNameSize] = {};
    int lines[kNames] = {};
    int used = 0;
    int disorder = 0;

    void Take(const char* line) {
        char name[kNameSize] = {};
        int number = 0;
        if (std::sscanf(line, "%15s %d", name, &number) != 2) {
            ++disorder;
            return;
        }
        int i = 0;
        while (i < used && std::strcmp(names[i], name) != 0)
            ++i;
        if (i == used) {
            if (used == kNames) return;
            std::memcpy(names[used++], name, sizeof name);
        }
        if (number == lines[i] + 1)
            ++lines[i];
        else
            ++disorder; // a line lost, repeated or out of order
    }
};

Tally g_tally;

// A player's chat as the host reads it: every line is tallied as it completes.
class CHeardChat : public CChatStream {
public:
    int ReadingCompleted() override {
        const int r = CChatStream::ReadingCompleted();
        if (r == 1) g_tally.Take(m_lines[(m_received - 1) % kRingLines]);
        return r;
    }
};

void AddBall(CNetManager& m, bool host) {
    m.SetPortA(kBallPort, new CPositionState);
    m.m_ports[kBallPort].m_writing_history = new CNetDataHistory(kHistory, new CPositionState, 1);
    m.m_ports[kBallPort].m_reading_history = new CNetDataHistory(kHistory, new CPositionState, 1);
    if (host) m.InitPort(kBallPort, -1);
}

void Frame(CNetManager& m) {
    m.BeginFrame();
    m.Read();
    m.Update(true);
    m.Write();
    m.EndFrame();
}

class CHost : public CNetServer {
public:
    int MakeOwnPort(CNetDataPort* port) override {
        port->m_object = new CHeardChat;
        return 1;
    }
};

class CPlayer : public CNetConnection {
public:
    int MakeOwnPort(CNetDataPort* port) override {
        port->m_object = new CChatStream;
        return 1;
    }
};

struct Options {
    const char* bind = "127.0.0.1:0";
    const char* connect = nullptr;
    const char* name = "P";
    double seconds = 10.0;
    int departures = 0;
    int lines = 0;
    bool one_at_a_time = false;
};

sockaddr_in Parse(const char* text) {
    sockaddr_in a = {};
    a.sin_family = kNetFamilyInet;
    GetAddrFromString(text, &a);
    return a;
}

int RunHost(const Options& o) {
    CNetUDP udp(o.bind);
    udp.m_batch_send = udp.m_batch_receive = !o.one_at_a_time;
    CHost host;
    if (udp.Init() != 0 || host.Init(&udp, kNumPorts) != 1) return 1;
    AddBall(host, true);
    host.SetPeerPorts(kChatPort, true, true); // reads each player's chat (and acknowledges it)
    host.SetPeerPorts(kBallPort, false, true);
    std::printf("listening %s\n", udp.GetAddr());
    std::fflush(stdout);
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::milliseconds(static_cast<int>(o.seconds * 1000));
    auto end = deadline;
    int departures = 0;
    for (int frame = 0; frame < 100000 && std::chrono::steady_clock::now() < end; ++frame) {
        CNetTime::Update();
        static_cast<CPositionState*>(host.m_ports[kBallPort].m_object)->m_pos[0] = frame * 0.1f;
        Frame(host);
        SNetServerEvent e;
        while (host.PollEvent(&e)) {
            if (e.m_type == SNetServerEvent::kJoined) {
                std::printf("joined slot %d %s at %lld\n", e.m_slot, ToString(&e.m_addr), WallMs());
            } else if (e.m_type == SNetServerEvent::kLeft) {
                std::printf("left slot %d %s reason %d at %lld\n", e.m_slot, ToString(&e.m_addr),
                            e.m_reason, WallMs());
                if (++departures == o.departures)
                    end = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
            }
        }
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::milliseconds(kFrameMs));
    }
    host.Release();
    for (int i = 0; i < g_tally.used; ++i)
        std::printf("lines %s %d\n", g_tally.names[i], g_tally.lines[i]);
    std::printf("disorder %d\nsend failures %d\n", g_tally.disorder, udp.m_send_failures);
    return 0;
}

int RunPlayer(const Options& o) {
    if (o.connect == nullptr) return 1;
    CNetUDP udp("127.0.0.1:0");
    udp.m_batch_send = udp.m_batch_receive = !o.one_at_a_time;
    CPlayer player;
    const sockaddr_in host = Parse(o.connect);
    if (udp.Init() != 0 || player.Init(&udp, kNumPorts) != 1) return 1;
    AddBall(player, false);
    player.SetPeerPorts(kChatPort, true, true);
    player.SetPeerPorts(kBallPort, true, false);
    if (player.Connect(&host) != 1) return 1;
    const int frames = static_cast<int>(o.seconds * 1000 / kFrameMs);
    const int talk_frames = frames * 4 / 5;
    int said = 0;
    bool connected = false;
    for (int frame = 0; frame < frames; ++frame) {
        CNetTime::Update();
        if (CNetPeer* peer = connected ? player.GetPeer() : nullptr) {
            auto* chat = static_cast<CChatStream*>(peer->m_own_port->m_object);
            // Line k is due at frame k * talk_frames / lines.
            if (said < o.lines && frame * o.lines >= said * talk_frames) {
                char line[CChatStream::kLineSize];
                std::snprintf(line, sizeof line, "%s %d", o.name, said + 1);
                if (chat->Say(line) == 1) ++said;
            }
        }
        Frame(player);
        SNetConnectionEvent e;
        while (player.PollEvent(&e)) {
            if (e.m_type == SNetConnectionEvent::kConnected) {
                connected = true;
                std::printf("connected %s at %lld\n", udp.GetAddr(), WallMs());
            } else {
                std::printf("connection event %d reason %d\n", e.m_type, e.m_reason);
                return 3;
            }
        }
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::milliseconds(kFrameMs));
    }
    if (!connected) return 2;
    std::printf("said %d, leaving\n", said);
    player.Leave(); // a goodbye, and the process ends at once
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 1;
    Options o;
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        const char* next = i + 1 < argc ? argv[i + 1] : "";
        if (a == "--one-at-a-time") {
            o.one_at_a_time = true;
            continue;
        }
        if (a == "--bind")
            o.bind = next;
        else if (a == "--connect")
            o.connect = next;
        else if (a == "--name")
            o.name = next;
        else if (a == "--seconds")
            o.seconds = std::atof(next);
        else if (a == "--departures")
            o.departures = std::atoi(next);
        else if (a == "--lines")
            o.lines = std::atoi(next);
        else
            return 1;
        ++i;
    }
    if (std::strcmp(argv[1], "host") == 0) return RunHost(o);
    if (std::strcmp(argv[1], "player") == 0) return RunPlayer(o);
    return 1;
}
