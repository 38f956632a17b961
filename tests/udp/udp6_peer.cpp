// One end of the two-namespace IPv6 test (run_ipv6_netns.py): a host that admits players and
// names each as it saw them, or a player that connects to a host given as text. Real processes,
// real sockets: what a game's host and players do, over whatever family the text says.
//
//   udp6_peer host BIND PLAYERS MS      prints "listening PORT", then "joined ADDR" per player;
//                                       exits 0 once PLAYERS joined and left, 1 at MS
//   udp6_peer player BIND HOST MS       prints "connected SLOT" and "bound ADDR", leaves after
//                                       a second connected; exits 0, or 1 at MS
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "portnet/portnet.h"

namespace {

std::string Text(const CNetAddr& a) {
    char text[CNetAddr::kMaxText];
    return a.ToText(text, sizeof text) > 0 ? text : "(none)";
}

void Frame(CNetManager& m) {
    m.BeginFrame();
    m.Read();
    m.Update(false);
    m.Write();
    m.EndFrame();
}

int Host(const char* bind, int players, int ms) {
    CNetUDP udp(bind);
    if (udp.Init() != 0) {
        std::printf("bind failed: %s\n", udp.GetError());
        return 1;
    }
    CNetServer server;
    if (server.Init(&udp, 1) != 1) return 1;
    std::printf("listening %u\n", static_cast<unsigned>(udp.GetLocalAddr().Port()));
    std::fflush(stdout);
    int joined = 0, left = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (int frame = 0; frame < ms && std::chrono::steady_clock::now() < end; ++frame) {
        CNetTime::Update();
        Frame(server);
        SNetServerEvent e;
        while (server.PollEvent(&e) == 1) {
            if (e.m_type == SNetServerEvent::kJoined) {
                ++joined;
                std::printf("joined %s\n", Text(e.m_peer).c_str());
            } else if (e.m_type == SNetServerEvent::kLeft) {
                ++left;
                std::printf("left %s %s\n", Text(e.m_peer).c_str(), NetGoneText(e.m_reason));
            }
            std::fflush(stdout);
        }
        if (joined >= players && left >= players) return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::printf("timed out: %d joined, %d left\n", joined, left);
    return 1;
}

int Player(const char* bind, const char* host, int ms) {
    CNetUDP udp(bind);
    if (udp.Init() != 0) {
        std::printf("bind failed: %s\n", udp.GetError());
        return 1;
    }
    CNetConnection conn;
    char err[128] = "";
    if (conn.Init(&udp, 1) != 1 || conn.Connect(host, err, sizeof err) != 1) {
        std::printf("connect failed: %s\n", err);
        return 1;
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    int connected_frames = 0;
    for (int frame = 0; frame < ms && std::chrono::steady_clock::now() < end; ++frame) {
        CNetTime::Update();
        Frame(conn);
        if (conn.GetState() == CNetConnection::kConnected && connected_frames++ == 0) {
            std::printf("connected %d\nbound %s\n", conn.GetSlot(),
                        Text(udp.GetLocalAddr()).c_str());
            std::fflush(stdout);
        }
        if (connected_frames > 100) {
            conn.Leave();
            Frame(conn);
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::printf("timed out connecting to %s\n", host);
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "host") == 0)
        return Host(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
    if (argc == 5 && std::strcmp(argv[1], "player") == 0)
        return Player(argv[2], argv[3], std::atoi(argv[4]));
    std::fprintf(stderr, "usage: udp6_peer host BIND PLAYERS MS | player BIND HOST MS\n");
    return 2;
}
