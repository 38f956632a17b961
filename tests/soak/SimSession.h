// Two managers talking over the simulated network: side A and side B, one client each for
// the other. Every client's own port carries a chat stream (both directions); ports 1 to 3
// carry positions, written by the side that owns them and read by the other.
#pragma once

#include <cstdio>
#include <cstring>

#include "ReplicatedObjects.h"
#include "portnet/portnet.h"

namespace soak {

using portnet_examples::CChatStream;
using portnet_examples::CPositionState;

enum : int { kPositionPorts = 3, kNumPorts = 1 + kPositionPorts, kHistory = 64 };

// A client that notes the frame time of every retransmission it is asked for.
class CSoakClient : public CNetClient {
public:
    enum : int { kMaxNoted = 64 };

    int TimeOut() override {
        if (m_noted < kMaxNoted) m_timeout_times[m_noted++] = m_manager->m_time;
        return 0;
    }

    int m_timeout_times[kMaxNoted] = {};
    int m_noted = 0;
};

inline sockaddr_in SimAddr(int id) {
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = kNetFamilyLocal;
    a.sin_port = static_cast<unsigned short>(id);
    return a;
}

// One side: its endpoint, its manager and its client for the other side. Members are
// declared so that the manager (and with it the client) goes before the buffer and driver.
struct SSide {
    SSide(CNetSimNetwork* net, int id, int peer_id, int queue_depth)
        : m_driver(net, id, queue_depth), m_peer_addr(SimAddr(peer_id)),
          m_send_buf(&m_driver, &m_peer_addr) {}

    // owned_ports: bit p set when this side moves the position of port p.
    bool Start(unsigned owned_ports, int timeout_ms) {
        if (m_driver.Init() != 0 || m_manager.Init(&m_driver, kNumPorts) != 1) return false;
        for (int p = 1; p < kNumPorts; ++p) {
            m_manager.SetPortA(p, new CPositionState);
            m_manager.InitPort(p, -1);
            m_manager.m_ports[p].m_writing_history =
                new CNetDataHistory(kHistory, new CPositionState, p);
            m_manager.m_ports[p].m_reading_history =
                new CNetDataHistory(kHistory, new CPositionState, p);
        }
        m_chat = new CChatStream;
        m_client = new CSoakClient;
        m_client->m_own_port = new CNetDataPort;
        m_client->m_own_port->m_object = m_chat;
        m_client->m_send_buf = &m_send_buf;
        m_client->m_timeout = timeout_ms;
        if (m_manager.AddClient(m_client, 0) != 0) return false;
        for (int p = 0; p < kNumPorts; ++p) {
            const bool mine = p == 0 || (owned_ports >> p & 1u);
            const bool theirs = p == 0 || !(owned_ports >> p & 1u);
            m_client->m_refs[p].m_write_enabled = mine;
            m_client->m_refs[p].m_read_enabled = theirs;
        }
        return true;
    }

    CPositionState* Position(int port) {
        return static_cast<CPositionState*>(m_manager.m_ports[port].m_object);
    }

    // The five steps; false when any of them failed.
    bool Frame() {
        const int r = m_manager.BeginFrame() + m_manager.Read() + m_manager.Update(true) +
                      m_manager.Write() + m_manager.EndFrame();
        return r == 5;
    }

    CNetSimDriver m_driver;
    sockaddr_in m_peer_addr;
    CNetBuf m_send_buf;
    CNetManager m_manager;
    CSoakClient* m_client = nullptr; // owned by the manager's slot
    CChatStream* m_chat = nullptr;   // owned by the client's own port
};

// Chat lines carry a running number so the receiver can tell loss, duplication and
// reordering apart from a clean stream.
struct SLineCheck {
    int m_expected = 0; // number of the next line due
    int m_seen = 0;     // lines of the ring already checked
    int m_bad = 0;      // lines that were not the one due

    // Checks every line that arrived since the last call.
    void Take(const CChatStream& chat, char tag) {
        for (; m_seen < chat.m_received; ++m_seen) {
            const char* line = chat.m_lines[m_seen % CChatStream::kRingLines];
            int n = -1;
            char t = 0;
            if (std::sscanf(line, "%c%d", &t, &n) != 2 || t != tag || n != m_expected) ++m_bad;
            m_expected = n + 1; // resynchronise, so one fault is counted once
        }
    }
};

inline int SayNumbered(CChatStream* chat, char tag, int n) {
    char line[32];
    std::snprintf(line, sizeof line, "%c%d and some words of chat", tag, n);
    return chat->Say(line);
}

// A and B on one network. Each Frame moves the network clock, makes it the library's frame
// time, and runs A's frame and then B's.
struct SSession {
    SSession(std::uint64_t seed, const SNetImpairment& impairment, int queue_depth = 256)
        : m_net(seed), m_a(&m_net, 1, 2, queue_depth), m_b(&m_net, 2, 1, queue_depth) {
        m_a.m_driver.m_impairment = impairment;
        m_b.m_driver.m_impairment = impairment;
    }

    bool Start(int timeout_ms) {
        CNetTime::m_time = m_net.GetTime();
        return m_a.Start(0x6u, timeout_ms) && m_b.Start(0x8u, timeout_ms);
    }

    void Tick(int frame_ms) {
        m_net.Advance(frame_ms);
        CNetTime::m_time = m_net.GetTime();
    }

    CNetSimNetwork m_net;
    SSide m_a;
    SSide m_b;
};

} // namespace soak
