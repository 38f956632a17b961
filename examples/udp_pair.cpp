// udp_pair: one replicated session between two processes over UDP.
//
//   udp_pair server --bind 127.0.0.1:0
//   udp_pair client --bind 127.0.0.2:0 --connect 127.0.0.1:PORT
//   udp_pair server --bind [::]:0 / udp_pair client --bind [::1]:0 --connect [::1]:PORT
//
// Addresses are checked before anything is sent: --bind by CNetUDP::Init (its reason printed
// from GetError), --connect by CNetAddr::Resolve (a.b.c.d:port, [v6]:port or name:port) and
// CheckDest; a refused --connect exits 2 with the reason.
// The server prints "listening ADDR:port" once bound and accepts the first peer that
// writes to it. It owns a moving position (port 1) that the client plays back by
// interpolation; both sides send each other a fixed number of numbered chat lines (port 2);
// the client sends its frame number every frame (port 3), which keeps its packets, and with
// them the acknowledgements the server's deltas are based on, flowing.
//
// The client checks that every chat line arrives once and in order and that the played-back
// position stays on the server's path and ends on its end point; it exits 0 on success and 1
// on failure. With --expect-disconnect it instead succeeds only when the server vanishes
// (killed, or --die-after on the server) and the library reports it: event 10001 from the
// socket, then the manager's DestroyClient, within a bounded number of frames.
//
// Peers are told apart by IP address alone (ports are ignored), so the two processes must use
// different loopback addresses; Linux answers on all of 127.0.0.0/8 without setup.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "ReplicatedObjects.h"
#include "portnet/portnet.h"

namespace {

using portnet_examples::CChatStream;
using portnet_examples::CPositionState;
using Clock = std::chrono::steady_clock;

enum : int { kPositionPort = 1, kChatPort = 2, kTickPort = 3, kNumPorts = 4 };

constexpr int kHistorySize = 32;  // the same on both sides: a delta names its base by slot
constexpr int kFrameMs = 10;      // sleep per frame
constexpr int kMoveFrames = 150;  // frames the server's position moves after accepting
constexpr int kLingerFrames = 30; // frames to go on answering repetitions after finishing
constexpr int kAbruptExit = 3;    // status of a server leaving through --die-after
constexpr int kMaxReports = 5;    // failures printed per kind; the rest are only counted

// The path: three quarters of a circle of radius 10 rising by 5, eased into its end point so
// that the last steps are far below the end tolerance.
constexpr float kRadius = 10.0f;
constexpr float kRise = 5.0f;
constexpr float kTurn = 4.712389f;
// Played back positions lie on chords between two consecutive states; the longest chord of
// the path is 0.011 off the circle, so 0.05 allows a few missed states.
constexpr float kPathTolerance = 0.05f;
constexpr float kEndTolerance = 1e-3f;

struct Options {
    bool server = false;
    const char* bind = nullptr;
    const char* connect = nullptr;
    CNetAddr server_addr; // --connect, resolved and checked while parsing
    int lines = 50;
    int max_frames = 3000;
    int seconds = 30;
    int die_after = -1; // server: exit abruptly this many frames after accepting
    bool expect_disconnect = false;
    int disconnect_frames = 50; // client: bound on frames from the last packet to the event
};

void PathPoint(int frame, float out[3]) {
    const float u = static_cast<float>(frame < kMoveFrames ? frame : kMoveFrames) / kMoveFrames;
    const float s = 1.0f - (1.0f - u) * (1.0f - u) * (1.0f - u);
    out[0] = kRadius * std::cos(kTurn * s);
    out[1] = kRadius * std::sin(kTurn * s);
    out[2] = kRise * s;
}

void LineText(const char* who, int index, char* out, int size) {
    std::snprintf(out, static_cast<std::size_t>(size), "%s line %03d", who, index);
}

// The client's frame number, always sent whole (the base is not needed for four bytes).
class CTickState : public CNetUnreliable {
public:
    CTickState() : CNetUnreliable(false) {}
    CNetData* Clone() override { return new CTickState(*this); }
    int CopyFrom(CNetUnreliable* src) override {
        m_tick = static_cast<CTickState*>(src)->m_tick;
        return 1;
    }
    int Write(CNetBuf* buf, CNetUnreliable*, int room, CNetClient*) override {
        if (room < 4) return 4; // does not fit: the writer leaves the port out of this packet
        return buf->WriteInt(m_tick) < 0 ? -1 : 4;
    }
    int Read(CNetBuf* buf, CNetUnreliable*, CNetClient*) override {
        return buf->ReadInt(&m_tick) < 0 ? -1 : 4;
    }

    int m_tick = 0;
};

// The other process. The library does not own a client's buffers, so this class keeps the
// one bound to the peer's address itself.
class PeerClient : public CNetClient {
public:
    PeerClient(CNetDriver* driver, const CNetAddr& peer) : m_peer_buf(driver, peer) {
        m_send_buf = &m_peer_buf;
        m_own_port = new CNetDataPort; // port 0 of this peer; nothing travels on it here
    }

private:
    CNetBuf m_peer_buf;
};

// The library never sets the per-port switches: each side enables what flows which way.
void EnablePorts(CNetClient* peer, bool server) {
    peer->m_refs[kPositionPort].m_write_enabled = server;
    peer->m_refs[kPositionPort].m_read_enabled = !server;
    peer->m_refs[kChatPort].m_write_enabled = true;
    peer->m_refs[kChatPort].m_read_enabled = true;
    peer->m_refs[kTickPort].m_write_enabled = !server;
    peer->m_refs[kTickPort].m_read_enabled = server;
}

class SessionManager : public CNetManager {
public:
    SessionManager(CNetDriver* driver, bool server) : m_driver(driver), m_accepting(server) {}

    // The server takes the first unknown sender as its one peer.
    int CreateClient(CNetBuf* buf) override {
        if (!m_accepting) return -1;
        const CNetAddr from = buf->Addr(); // m_addr alone holds no IPv6 peer
        auto* peer = new PeerClient(m_driver, from);
        const int slot = AddClient(peer, -1);
        if (slot == -1) {
            delete peer; // refused clients stay the caller's
            return -1;
        }
        EnablePorts(peer, true);
        m_accepting = false;
        m_peer_slot = slot;
        m_accept_frame = m_host_frame;
        char text[CNetAddr::kMaxText];
        from.ToText(text, sizeof text);
        std::printf("udp_pair server: accepted peer %s in slot %d\n", text, slot);
        std::fflush(stdout);
        return slot;
    }

    // Reached through CNetClient::Disconnected when the socket reports the peer gone.
    int DestroyClient(int slot) override {
        if (m_gone_slot == -1) {
            m_gone_slot = slot;
            m_gone_frame = m_host_frame;
        }
        RemoveClient(slot);
        return 1;
    }

    CNetDriver* m_driver;
    bool m_accepting;
    int m_host_frame = 0;
    int m_peer_slot = -1;
    int m_accept_frame = -1;
    int m_gone_slot = -1;
    int m_gone_frame = -1;
};

// Follows the lines arriving in a chat stream: each must be the next numbered line.
struct ChatCheck {
    const char* who = "";
    int checked = 0;
    int errors = 0;

    void Take(const CChatStream& chat) {
        if (chat.m_received - checked > CChatStream::kRingLines) {
            Report("more lines arrived in one frame than the ring holds");
            checked = chat.m_received - CChatStream::kRingLines;
        }
        for (; checked < chat.m_received; ++checked) {
            char want[CChatStream::kLineSize];
            LineText(who, checked, want, sizeof want);
            const char* got = chat.m_lines[checked % CChatStream::kRingLines];
            if (std::strcmp(got, want) != 0) Report(got, want);
        }
    }
    void Report(const char* got, const char* want = nullptr) {
        if (errors++ >= kMaxReports) return;
        if (want)
            std::printf("udp_pair: chat line \"%s\" where \"%s\" was due\n", got, want);
        else
            std::printf("udp_pair: chat %s\n", got);
    }
};

struct ChatSend {
    int queued = 0;
    void Fill(CChatStream& chat, const char* who, int total) {
        char line[CChatStream::kLineSize];
        for (; queued < total; ++queued) {
            LineText(who, queued, line, sizeof line);
            if (chat.Say(line) != 1) break; // queue full: the rest waits for acknowledgements
        }
    }
};

// Driver, manager and the three ports of one side.
class Session {
public:
    explicit Session(const Options& o)
        : m_driver(o.bind), m_manager(&m_driver, o.server), m_server(o.server) {}

    bool Start() {
        if (m_driver.Init() != 0) {
            std::printf("udp_pair: cannot bind: %s\n", m_driver.GetError());
            return false;
        }
        if (m_manager.Init(&m_driver, kNumPorts) != 1) return false;
        m_position = new CPositionState;
        m_chat = new CChatStream;
        m_tick = new CTickState;
        m_manager.SetPortA(kPositionPort, m_position);
        m_manager.SetPortA(kChatPort, m_chat);
        m_manager.SetPortA(kTickPort, m_tick);
        // The writer of a state keeps a writing history, its reader a reading history.
        CNetDataPort& position = m_manager.m_ports[kPositionPort];
        CNetDataPort& tick = m_manager.m_ports[kTickPort];
        auto history = [](CNetUnreliable* prototype, int port) {
            return new CNetDataHistory(kHistorySize, prototype, port);
        };
        if (m_server) {
            position.m_writing_history = history(new CPositionState, kPositionPort);
            tick.m_reading_history = history(new CTickState, kTickPort);
        } else {
            position.m_reading_history = history(new CPositionState, kPositionPort);
            tick.m_writing_history = history(new CTickState, kTickPort);
        }
        for (int port = 1; port < kNumPorts; ++port)
            m_manager.InitPort(port, -1);
        return true;
    }

    // One frame; a failing step is reported and the frame goes on, as a datagram the
    // library refuses (an oversize one, say) fails Read for that frame only.
    void Frame() {
        CNetTime::Update();
        const int results[5] = {m_manager.BeginFrame(), m_manager.Read(), m_manager.Update(true),
                                m_manager.Write(), m_manager.EndFrame()};
        static const char* const names[5] = {"BeginFrame", "Read", "Update", "Write", "EndFrame"};
        for (int i = 0; i < 5; ++i) {
            if (results[i] != -1) continue;
            if (m_step_failures++ < kMaxReports)
                std::printf("udp_pair: %s failed in frame %d\n", names[i], m_manager.m_host_frame);
        }
        ++m_manager.m_host_frame;
        std::this_thread::sleep_for(std::chrono::milliseconds(kFrameMs));
    }

    CNetClient* Peer() {
        const int slot = m_manager.m_peer_slot;
        if (slot < 0 || !m_manager.m_clients[slot].m_used) return nullptr;
        return m_manager.m_clients[slot].m_client;
    }

    CNetUDP m_driver;
    SessionManager m_manager;
    bool m_server;
    CPositionState* m_position = nullptr; // owned by their ports
    CChatStream* m_chat = nullptr;
    CTickState* m_tick = nullptr;
    int m_step_failures = 0;
};

void PrintStats(const char* who, const CNetClient* peer) {
    std::printf("udp_pair %s: packets in %d out %d, lost %d, old %d, ping %d ms\n", who,
                peer->m_packets_in, peer->m_packets_out, peer->m_lost_packets, peer->m_old_packets,
                peer->m_ping);
}

int RunServer(const Options& o) {
    Session s(o);
    if (!s.Start()) return 1;
    std::printf("listening %s\n", s.m_driver.GetAddr());
    std::fflush(stdout);

    SessionManager& m = s.m_manager;
    ChatSend send;
    ChatCheck check;
    check.who = "client";
    int last_tick = -1, tick_errors = 0;
    int done_frame = -1;
    PathPoint(0, s.m_position->m_pos); // the accepting frame already sends the start point
    const auto deadline = Clock::now() + std::chrono::seconds(o.seconds);

    for (int frame = 0; frame < o.max_frames && Clock::now() < deadline; ++frame) {
        if (m.m_accept_frame >= 0) {
            const int moved = m.m_host_frame - m.m_accept_frame;
            if (o.die_after >= 0 && moved >= o.die_after) {
                std::printf("udp_pair server: leaving abruptly after %d frames\n", moved);
                std::fflush(stdout);
                std::_Exit(kAbruptExit); // no destructors, no goodbye: like a killed process
            }
            PathPoint(moved, s.m_position->m_pos);
            send.Fill(*s.m_chat, "server", o.lines);
        }
        s.Frame();
        check.Take(*s.m_chat);
        if (s.m_tick->m_tick < last_tick) ++tick_errors;
        last_tick = s.m_tick->m_tick;

        if (m.m_gone_slot != -1) break;
        const bool finished = m.m_accept_frame >= 0 &&
                              m.m_host_frame - m.m_accept_frame > kMoveFrames &&
                              s.m_chat->m_received >= o.lines && s.m_chat->m_delivered >= o.lines;
        if (finished && done_frame == -1) done_frame = frame;
        if (done_frame != -1 && frame - done_frame >= kLingerFrames) break;
    }

    const bool done = done_frame != -1;
    const bool ok =
        done && check.errors == 0 && s.m_chat->m_received == o.lines && tick_errors == 0;
    std::printf("udp_pair server: chat %d/%d client lines in order, %d/%d own lines acknowledged, "
                "%d ordering errors\n",
                s.m_chat->m_received, o.lines, s.m_chat->m_delivered, o.lines, check.errors);
    std::printf("udp_pair server: last client tick %d, %d ticks ran backwards\n", last_tick,
                tick_errors);
    if (m.m_gone_slot != -1)
        std::printf("udp_pair server: peer gone (event 10001) in frame %d\n", m.m_gone_frame);
    if (m.m_peer_slot != -1) PrintStats("server", m.m_clients[m.m_peer_slot].m_client);
    std::printf("udp_pair server: %s\n", ok ? "OK" : done ? "FAILED" : "FAILED (unfinished)");
    return ok ? 0 : 1;
}

int RunClient(const Options& o) {
    Session s(o);
    if (!s.Start()) return 1;
    const CNetAddr server_addr = o.server_addr;
    SessionManager& m = s.m_manager;
    auto* server = new PeerClient(&s.m_driver, server_addr);
    m.m_peer_slot = m.AddClient(server, -1);
    if (m.m_peer_slot == -1) {
        delete server;
        return 1;
    }
    EnablePorts(server, false);
    char text[CNetAddr::kMaxText];
    server_addr.ToText(text, sizeof text);
    std::printf("udp_pair client: bound to %s, talking to %s\n", s.m_driver.GetAddr(), text);
    std::fflush(stdout);

    ChatSend send;
    ChatCheck check;
    check.who = "server";
    float end[3];
    PathPoint(kMoveFrames, end);
    int off_path = 0, backwards = 0;
    float last_z = -1.0f, end_error = 1e9f;
    int last_packets = 0, last_read_frame = -1;
    int done_frame = -1;
    const auto deadline = Clock::now() + std::chrono::seconds(o.seconds);

    for (int frame = 0; frame < o.max_frames && Clock::now() < deadline; ++frame) {
        s.m_tick->m_tick = frame;
        send.Fill(*s.m_chat, "client", o.lines);
        s.Frame();
        check.Take(*s.m_chat);
        if (server->m_packets_in != last_packets) {
            last_packets = server->m_packets_in;
            last_read_frame = frame;
        }
        if (m.m_gone_slot != -1) break;

        // Played back positions: on the path, never running backwards, finally at its end.
        const CNetDataPort& port = m.m_ports[kPositionPort];
        if (port.m_reading_history->m_newest != CNetDataHistory::kNoLink) {
            const float* p = s.m_position->m_pos;
            const float r = std::sqrt(p[0] * p[0] + p[1] * p[1]);
            if (std::fabs(r - kRadius) > kPathTolerance && off_path++ < kMaxReports)
                std::printf("udp_pair client: (%g, %g, %g) is off the path\n", p[0], p[1], p[2]);
            if (p[2] < last_z - 1e-4f && backwards++ < kMaxReports)
                std::printf("udp_pair client: position ran backwards to z %g\n", p[2]);
            last_z = p[2];
            end_error = 0.0f;
            for (int i = 0; i < 3; ++i)
                end_error = std::fmax(end_error, std::fabs(p[i] - end[i]));
        }

        const bool finished = s.m_chat->m_received >= o.lines && s.m_chat->m_delivered >= o.lines &&
                              end_error <= kEndTolerance;
        if (finished && done_frame == -1) done_frame = frame;
        // Waiting for a disconnect, the client goes on sending ticks until it comes.
        if (!o.expect_disconnect && done_frame != -1 && frame - done_frame >= kLingerFrames) break;
    }

    const float* p = s.m_position->m_pos;
    std::printf("udp_pair client: chat %d/%d server lines in order, exactly once; %d/%d own lines "
                "acknowledged; %d ordering errors\n",
                s.m_chat->m_received, o.lines, s.m_chat->m_delivered, o.lines, check.errors);
    std::printf("udp_pair client: position (%.5f, %.5f, %.5f), path end (%.5f, %.5f, %.5f), "
                "error %.2g (tolerance %g); %d off the path (tolerance %g), %d backwards\n",
                p[0], p[1], p[2], end[0], end[1], end[2], end_error, kEndTolerance, off_path,
                kPathTolerance, backwards);
    PrintStats("client", server);
    const bool clean = check.errors == 0 && off_path == 0 && backwards == 0;

    if (o.expect_disconnect) {
        const int silence = m.m_gone_frame - last_read_frame;
        const bool seen = m.m_gone_slot == m.m_peer_slot && last_read_frame >= 0 &&
                          !m.m_clients[m.m_peer_slot].m_used && silence <= o.disconnect_frames;
        if (m.m_gone_slot != -1)
            std::printf("udp_pair client: event 10001, DestroyClient(%d) ran %d frames after the "
                        "last packet from the server (bound %d)\n",
                        m.m_gone_slot, silence, o.disconnect_frames);
        else
            std::printf("udp_pair client: no disconnect seen\n");
        const bool ok = seen && clean;
        std::printf("udp_pair client: %s\n", ok ? "OK" : "FAILED");
        return ok ? 0 : 1;
    }
    if (m.m_gone_slot != -1 && done_frame == -1)
        std::printf("udp_pair client: the server went away in frame %d\n", m.m_gone_frame);
    const bool ok = done_frame != -1 && clean && s.m_chat->m_received == o.lines;
    std::printf("udp_pair client: %s\n", ok ? "OK" : "FAILED");
    return ok ? 0 : 1;
}

int Usage() {
    std::fprintf(stderr, "usage: udp_pair server --bind ADDR:PORT [--die-after FRAMES]\n"
                         "       udp_pair client --bind ADDR:PORT --connect HOST:PORT\n"
                         "                       [--expect-disconnect] [--disconnect-frames N]\n"
                         "  common: [--lines N] [--frames N] [--seconds N]\n");
    return 2;
}

// The server's address: a.b.c.d:port, [v6]:port or name:port, and somewhere a datagram can go.
bool ParseServer(const char* text, CNetAddr* out) {
    char err[128];
    if (CNetAddr::Resolve(text, out, err, sizeof err) != 1 ||
        out->CheckDest(err, sizeof err) != 1) {
        std::fprintf(stderr, "udp_pair: --connect %s\n", err);
        return false;
    }
    return true;
}

bool ParseInt(const char* text, int lo, int hi, int* out) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < lo || v > hi) return false;
    *out = static_cast<int>(v);
    return true;
}

bool Parse(int argc, char** argv, Options* o) {
    if (argc < 2) return false;
    if (std::strcmp(argv[1], "server") == 0)
        o->server = true;
    else if (std::strcmp(argv[1], "client") != 0)
        return false;
    for (int i = 2; i < argc; ++i) {
        const char* arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        auto number = [&](int lo, int hi, int* out) {
            ++i;
            return value && ParseInt(value, lo, hi, out);
        };
        bool good = true;
        if (std::strcmp(arg, "--bind") == 0 || std::strcmp(arg, "--connect") == 0) {
            (arg[2] == 'b' ? o->bind : o->connect) = value;
            good = value != nullptr;
            ++i;
        } else if (std::strcmp(arg, "--lines") == 0)
            good = number(0, 10000, &o->lines);
        else if (std::strcmp(arg, "--frames") == 0)
            good = number(1, 1000000, &o->max_frames);
        else if (std::strcmp(arg, "--seconds") == 0)
            good = number(1, 3600, &o->seconds);
        else if (std::strcmp(arg, "--die-after") == 0)
            good = number(0, 1000000, &o->die_after);
        else if (std::strcmp(arg, "--disconnect-frames") == 0)
            good = number(1, 1000000, &o->disconnect_frames);
        else if (std::strcmp(arg, "--expect-disconnect") == 0)
            o->expect_disconnect = true;
        else
            good = false;
        if (!good) return false;
    }
    if (o->bind == nullptr || (!o->server && o->connect == nullptr)) return false;
    return o->server || ParseServer(o->connect, &o->server_addr);
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    if (!Parse(argc, argv, &o)) return Usage();
    return o.server ? RunServer(o) : RunClient(o);
}
