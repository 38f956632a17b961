// Two managers on loopback endpoints in one process, driven frame by frame on a clock the
// test sets: the rig of the integration tests.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ReplicatedObjects.h"
#include "portnet/portnet.h"

namespace integration {

using portnet_examples::CChatStream;
using portnet_examples::CPositionState;
using Blob = portnet_examples::CBlobState<128>;

// Port 0 is each client's own port; the rest are the managers' shared ports.
enum : int {
    kOwnPort = 0,
    kPositionPort = 1, // A writes, B reads and interpolates
    kChatPort = 2,     // both ways
    kBlobPort = 3,     // A writes, B reads
    kTimedPort = 4,    // A writes while the object lives, B reads
    kNumPorts = 5
};
enum : int { kFrameMs = 16, kHistory = 32, kTimedLife = 100 };
enum class ERole { kWriter, kReader };

inline sockaddr_in LocalAddr(int id) {
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = kNetFamilyLocal;
    a.sin_port = static_cast<unsigned short>(id);
    return a;
}

inline CNetDataHistory* History() {
    return new CNetDataHistory(kHistory, new CPositionState, -1);
}

// A position that notes, on the shared clock, when it was started and released.
struct TimedState : CPositionState {
    int started_at = -1, released_at = -1, releases = 0;
    CNetData* Clone() override { return new TimedState(*this); }
    int Created() override { return started_at = CNetTime::GetTime(), 1; }
    int Destroyed() override { return released_at = CNetTime::GetTime(), ++releases, 1; }
};

// A peer with an own position on port 0, sending through a buffer it owns.
class Peer : public CNetClient {
public:
    Peer(CNetDriver* driver, const sockaddr_in& addr) : m_out(driver, &addr) {
        m_send_buf = &m_out;
        m_own_port = new CNetDataPort;
        m_own_port->m_object = new CPositionState;
        m_own_port->m_reading_history = History();
        m_own_port->m_writing_history = History();
    }
    CPositionState* Own() { return static_cast<CPositionState*>(m_own_port->m_object); }

    // The manager records only its shared ports; the own port's history is the host's job.
    int Write() override {
        CNetDataHistory* h = m_own_port->m_writing_history;
        h->m_entries[static_cast<unsigned>(m_manager->m_frame) % h->m_size]->CopyFrom(Own());
        return CNetClient::Write();
    }
    // Our instant messages are zero-terminated texts.
    int ReadInstant(CNetBuf* buf) override {
        buf->ReadString(m_instant);
        return ++m_instants, 1;
    }
    // A timed object lives as long on the reading side as on the writing side.
    int NewPortID(int port) override {
        if (port != kTimedPort) return CNetClient::NewPortID(port);
        m_manager->InitPort(port, kTimedLife);
        return 1;
    }

    CNetBuf m_out;
    char m_instant[CNetBuf::kMaxDatagram] = {};
    int m_instants = 0;
};

// A manager with the five ports, a text out-of-band channel and, on request, a welcome for
// unknown senders (as the writing side).
class Host : public CNetManager {
public:
    void Open(int endpoint) {
        m_driver = GetSystemNetDriver(kNetDriverLocal, endpoint);
        m_driver->Init();
        Init(m_driver, kNumPorts);
        Place(kPositionPort, new CPositionState, true);
        Place(kChatPort, new CChatStream, false);
        Place(kBlobPort, new Blob, true);
        Place(kTimedPort, new TimedState, false);
        m_ports[kTimedPort].m_reading_history = History();
        m_ports[kTimedPort].m_writing_history = History();
    }
    Peer* Connect(const sockaddr_in& addr, ERole role) {
        auto* p = new Peer(m_driver, addr);
        if (AddClient(p, -1) == -1) return delete p, nullptr;
        const bool writer = role == ERole::kWriter;
        for (int port = 0; port < kNumPorts; ++port) {
            const bool both = port == kOwnPort || port == kChatPort;
            p->m_refs[port].m_write_enabled = both || writer;
            p->m_refs[port].m_read_enabled = both || !writer;
        }
        return p;
    }
    Peer* Client(int slot) { return static_cast<Peer*>(m_clients[slot].m_client); }
    template <class T> T* Object(int port) { return static_cast<T*>(m_ports[port].m_object); }

    // Every step runs even after one failed, as a host that keeps going would do.
    int Frame() {
        const int ok = (BeginFrame() == 1) + (Read() == 1) + (Update(true) == 1) + (Write() == 1) +
                       (EndFrame() == 1);
        return 5 - ok;
    }

    int CreateClient(CNetBuf* buf) override {
        if (!m_welcome) return -1;
        Peer* p = Connect(buf->m_addr, ERole::kWriter);
        return p ? p->m_id : -1;
    }
    int ReadOutOfBand(CNetBuf* buf) override {
        m_oob_channel = buf->GetChannel();
        buf->ReadString(m_oob);
        return ++m_oob_count, 1;
    }

    CNetDriver* m_driver = nullptr;
    bool m_welcome = false;
    char m_oob[CNetBuf::kMaxDatagram] = {};
    int m_oob_channel = -1, m_oob_count = 0;

private:
    void Place(int port, CNetData* object, bool histories) {
        SetPortA(port, object);
        if (port != kTimedPort) InitPort(port, -1);
        if (!histories) return;
        auto* proto = static_cast<CNetUnreliable*>(object->Clone());
        m_ports[port].m_reading_history = new CNetDataHistory(kHistory, proto, port);
        proto = static_cast<CNetUnreliable*>(object->Clone());
        m_ports[port].m_writing_history = new CNetDataHistory(kHistory, proto, port);
    }
};

// Numbered chat lines of varying length, checked on arrival against the same numbering.
struct ChatLine {
    const char* tag;
    int said = 0, heard = 0, wrong = 0;

    void Text(int i, char* out) const {
        static const char kFill[] = "the quick brown fox jumps over the lazy dog again and again "
                                    "until the line is full";
        std::snprintf(out, CChatStream::kLineSize, "%s%05d:%.*s", tag, i, (i * 13) % 80, kFill);
    }
    void Speak(CChatStream* from) {
        char line[CChatStream::kLineSize];
        Text(said, line);
        if (from->Say(line) == 1) ++said;
    }
    void Hear(const CChatStream* to) {
        char want[CChatStream::kLineSize];
        for (; heard < to->m_received; ++heard) {
            Text(heard, want);
            if (std::strcmp(to->m_lines[heard % CChatStream::kRingLines], want) != 0) ++wrong;
        }
    }
};

// A on endpoint 1 writes, B on endpoint 2 reads; both chat. The loopback mailbox holds one
// datagram, so each side's frame runs while the other's packet waits for it.
struct Session {
    // With `a_welcomes`, A starts without a client and takes B in through CreateClient.
    explicit Session(int drop_rate, bool a_welcomes = false) {
        CNetTime::m_time = 1000;
        a.Open(1);
        b.Open(2);
        a.m_welcome = a_welcomes;
        if (!a_welcomes) to_b = a.Connect(LocalAddr(2), ERole::kWriter);
        to_a = b.Connect(LocalAddr(1), ERole::kReader);
        a.m_drop_rate = drop_rate;
        b.m_drop_rate = drop_rate;
        std::srand(2024); // the managers seeded it from the calendar: make the loss repeatable
    }
    ~Session() {
        a.Release();
        b.Release();
        ReleaseSystemNetDriver();
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // The failed frame steps of both sides in this tick.
    int Tick() {
        CNetTime::m_time += kFrameMs;
        return a.Frame() + b.Frame();
    }

    Host a, b;
    Peer* to_b = nullptr; // A's client for B (null while A waits to welcome B)
    Peer* to_a = nullptr; // B's client for A
};

} // namespace integration
