// Two hosts in one process, on loopback endpoints 1 (A) and 2 (B), with a fifth of all
// datagrams dropped on arrival. A moves a position that B plays back; both chat; A sends an
// instant message and an out-of-band status line. B knows nobody at the start: it takes A
// in through CreateClient when A's first packet arrives. Exit status 0 when all arrived.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ReplicatedObjects.h"
#include "portnet/portnet.h"

using namespace portnet_examples;

enum : int { kPositionPort = 1, kChatPort = 2, kPorts = 3, kHistory = 32, kFrameMs = 16 };

sockaddr_in Endpoint(int id) {
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = kNetFamilyLocal;
    a.sin_port = static_cast<unsigned short>(id);
    return a;
}

class Peer : public CNetClient {
public:
    Peer(CNetDriver* driver, const sockaddr_in& to) : m_out(driver, &to) {
        m_send_buf = &m_out;
        m_own_port = new CNetDataPort; // port 0: unused here, but every client has one
        m_timeout = 100;               // repeat a lost reliable packet after 100 ms
    }
    int ReadInstant(CNetBuf* buf) override {
        char text[CNetBuf::kMaxDatagram];
        buf->ReadString(text);
        std::printf("  instant message: \"%s\"\n", text);
        return ++m_instants, 1;
    }
    CNetBuf m_out;
    int m_instants = 0;
};

class Host : public CNetManager {
public:
    Host(int id, bool writes) : m_writes(writes) {
        m_driver = GetSystemNetDriver(kNetDriverLocal, id);
        m_driver->Init();
        Init(m_driver, kPorts);
        SetPortA(kPositionPort, new CPositionState);
        SetPortA(kChatPort, new CChatStream);
        InitPort(kPositionPort, -1);
        InitPort(kChatPort, -1);
        m_ports[kPositionPort].m_reading_history =
            new CNetDataHistory(kHistory, new CPositionState, kPositionPort);
        m_ports[kPositionPort].m_writing_history =
            new CNetDataHistory(kHistory, new CPositionState, kPositionPort);
        m_drop_rate = 20;
    }
    Peer* Connect(const sockaddr_in& to) {
        auto* p = new Peer(m_driver, to);
        if (AddClient(p, -1) == -1) return delete p, nullptr;
        p->m_refs[kChatPort].m_read_enabled = p->m_refs[kChatPort].m_write_enabled = true;
        p->m_refs[kPositionPort].m_write_enabled = m_writes;
        p->m_refs[kPositionPort].m_read_enabled = !m_writes;
        return p;
    }
    int CreateClient(CNetBuf* buf) override {
        std::printf("  %s: welcomes a new peer at %s\n", Name(), ToString(&buf->m_addr));
        Peer* p = Connect(buf->m_addr);
        return p ? p->m_id : -1;
    }
    int ReadOutOfBand(CNetBuf* buf) override {
        char text[CNetBuf::kMaxDatagram];
        buf->ReadString(text);
        std::printf("  %s: out of band on channel %d: \"%s\"\n", Name(), buf->GetChannel(), text);
        return ++m_out_of_band, 1;
    }
    bool Frame() {
        return BeginFrame() == 1 && Read() == 1 && Update(true) == 1 && Write() == 1 &&
               EndFrame() == 1;
    }
    const char* Name() const { return m_writes ? "A" : "B"; }
    CPositionState* Position() {
        return static_cast<CPositionState*>(m_ports[kPositionPort].m_object);
    }
    CChatStream* Chat() { return static_cast<CChatStream*>(m_ports[kChatPort].m_object); }
    Peer* First() {
        return m_clients[0].m_used ? static_cast<Peer*>(m_clients[0].m_client) : nullptr;
    }

    CNetDriver* m_driver;
    bool m_writes;
    int m_out_of_band = 0;
};

// Says the next numbered line when the queue has room; checks what the other side heard.
struct Chat {
    const char* from;
    int said = 0, heard = 0, wrong = 0;
    void Speak(CChatStream* s) {
        char line[CChatStream::kLineSize];
        std::snprintf(line, sizeof line, "%s says line %d", from, said);
        if (s->Say(line) == 1) ++said;
    }
    void Hear(const CChatStream* s) {
        char want[CChatStream::kLineSize];
        for (; heard < s->m_received; ++heard) {
            std::snprintf(want, sizeof want, "%s says line %d", from, heard);
            wrong += std::strcmp(s->m_lines[heard % CChatStream::kRingLines], want) != 0;
        }
    }
};

int main() {
    CNetTime::m_time = 0; // simulated frames of 16 ms: a real host calls CNetTime::Update
    Host a(1, true), b(2, false);
    Peer* to_b = a.Connect(Endpoint(2));
    std::srand(1); // the drop simulation, repeatable
    Chat ab{"A"}, ba{"B"};
    float worst = 0.0f;
    int failed = 0;

    for (int f = 0; f < 800; ++f) {
        const bool talking = f < 600; // then quiet frames let the last lines through
        CPositionState* pos = a.Position();
        pos->m_pos[0] = 0.5f * static_cast<float>(f); // 0.5 units a frame
        pos->m_pos[1] = 20.0f;
        if (talking) ab.Speak(a.Chat());
        if (talking && b.First()) ba.Speak(b.Chat());
        if (f == 600) a.m_drop_rate = b.m_drop_rate = 0;
        CNetTime::m_time += kFrameMs;
        failed += !a.Frame() + !b.Frame();
        ab.Hear(b.Chat());
        ba.Hear(a.Chat());
        if (f == 650) { // B's mailbox is empty now: B takes each extra datagram in at once
            to_b->WriteInstant("hello from A", 13);
            b.Read();
            CNetBuf status(a.m_driver, &to_b->m_out.m_addr);
            status.SetChannel(3);
            status.WriteString("A is at frame 650");
            status.Send();
            b.Read();
        }
        const float* got = b.Position()->m_pos;
        if (f >= 20)
            worst = std::fmax(worst, std::hypot(got[0] - pos->m_pos[0], got[1] - pos->m_pos[1]));
        if (f % 100 == 99)
            std::printf(
                "frame %3d: A at %6.1f, B sees %6.1f; lines A->B %3d, B->A %3d; packets lost %d\n",
                f + 1, pos->m_pos[0], got[0], ab.heard, ba.heard, to_b->m_lost_packets);
    }

    Peer* to_a = b.First();
    const bool ok = failed == 0 && to_a && ab.said > 50 && ab.heard == ab.said &&
                    ba.heard == ba.said && ab.wrong + ba.wrong == 0 && worst <= 0.5f * 8 &&
                    to_a->m_instants == 1 && b.m_out_of_band == 1;
    std::printf(
        "%s: %d+%d lines exactly once and in order, B within %.1f units of A (allowed 4.0), "
        "%d instant message(s), %d out-of-band line(s), %d failed steps\n",
        ok ? "ok" : "FAILED", ab.heard, ba.heard, worst, to_a ? to_a->m_instants : 0,
        b.m_out_of_band, failed);
    a.Release();
    b.Release();
    ReleaseSystemNetDriver();
    return ok ? 0 : 1;
}
