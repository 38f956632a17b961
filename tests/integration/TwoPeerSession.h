// Two managers, A and B, one client each for the other, driven frame by frame on a clock the
// test sets: over loopback endpoints, or over the simulated network when given impairments.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "ReplicatedObjects.h"
#include "portnet/portnet.h"

namespace twopeer {

using portnet_examples::CChatStream;
using Blob = portnet_examples::CBlobState<128>;

// Port 0 is each client's own port; the rest are the managers' shared ports.
enum : int {
    kOwnPort = 0,      // a position each way
    kPositionPort = 1, // A writes, B reads and interpolates
    kChatPort = 2,     // both ways
    kBlobPort = 3,     // A writes
    kTimedPort = 4,    // A writes while the object lives
    kBackPort = 5,     // a position B writes
    kNumPorts = 6
};
enum : int { kFrameMs = 16, kHistory = 32, kTimedLife = 100 };

inline sockaddr_in Addr(int id) {
    sockaddr_in a{};
    a.sin_family = kNetFamilyLocal;
    a.sin_port = static_cast<unsigned short>(id);
    return a;
}

// A position that notes, on the shared clock, when it was started and released, and in how
// many frames a record of it arrived.
struct Position : portnet_examples::CPositionState {
    int started_at = -1, released_at = -1, releases = 0, heard_frames = 0;
    CNetData* Clone() override { return new Position(*this); }
    int Created() override { return started_at = CNetTime::GetTime(), 1; }
    int Destroyed() override { return released_at = CNetTime::GetTime(), ++releases, 1; }
    int Update(bool) override { return heard_frames += m_received, 1; }
};

// A peer with an own position on port 0, sending through a buffer it owns, at an address of
// either IP family or a loopback endpoint.
class Peer : public CNetClient {
public:
    Peer(CNetDriver* driver, const sockaddr_in& addr)
        : Peer(driver, CNetAddr::FromSockaddrIn(addr)) {}
    Peer(CNetDriver* driver, const CNetAddr& addr) : m_out(driver, addr) {
        m_send_buf = &m_out;
        m_own_port = new CNetDataPort;
        m_own_port->m_object = new Position;
        for (CNetDataHistory** h : {&m_own_port->m_reading_history, &m_own_port->m_writing_history})
            *h = new CNetDataHistory(kHistory, new Position, -1);
    }
    Position* Own() { return static_cast<Position*>(m_own_port->m_object); }

    // The manager records only its shared ports; the own port's history is the host's job.
    int Write() override {
        CNetDataHistory* h = m_own_port->m_writing_history;
        h->m_entries[static_cast<unsigned>(m_manager->m_frame) % h->m_size]->CopyFrom(Own());
        return CNetClient::Write();
    }
    int ReadInstant(CNetBuf* buf) override { return buf->ReadString(m_instant), ++m_instants, 1; }
    // A timed object lives as long on the reading side as on the writing side.
    int NewPortID(int port) override {
        if (port != kTimedPort) return CNetClient::NewPortID(port);
        return m_manager->InitPort(port, kTimedLife), 1;
    }

    CNetBuf m_out;
    char m_instant[CNetBuf::kMaxDatagram] = {};
    int m_instants = 0;
};

// A manager with the six ports, a text out-of-band channel and, on request, a welcome for
// unknown senders (as side A).
class Host : public CNetManager {
public:
    void Open(CNetDriver* driver) {
        m_driver = driver;
        driver->Init();
        Init(driver, kNumPorts);
        for (int port = 1; port < kNumPorts; ++port) {
            CNetData* object = port == kChatPort   ? static_cast<CNetData*>(new CChatStream)
                               : port == kBlobPort ? static_cast<CNetData*>(new Blob)
                                                   : new Position;
            SetPortA(port, object);
            if (port != kTimedPort) InitPort(port, -1);
            if (port == kChatPort) continue;
            for (CNetDataHistory** h :
                 {&m_ports[port].m_reading_history, &m_ports[port].m_writing_history})
                *h = new CNetDataHistory(kHistory, static_cast<CNetUnreliable*>(object->Clone()),
                                         port);
        }
    }
    Peer* Connect(const sockaddr_in& addr, bool side_a) {
        return Connect(CNetAddr::FromSockaddrIn(addr), side_a);
    }
    Peer* Connect(const CNetAddr& addr, bool side_a) {
        auto* p = new Peer(m_driver, addr);
        if (AddClient(p, -1) == -1) return delete p, nullptr;
        for (int port = 0; port < kNumPorts; ++port) {
            const bool both = port == kOwnPort || port == kChatPort;
            const bool a_writes = port == kPositionPort || port == kBlobPort || port == kTimedPort;
            p->m_refs[port].m_write_enabled = both || a_writes == side_a;
            p->m_refs[port].m_read_enabled = both || a_writes != side_a;
        }
        return p;
    }
    template <class T = Position> T* Object(int port = kPositionPort) {
        return static_cast<T*>(m_ports[port].m_object);
    }
    CChatStream* Chat() { return Object<CChatStream>(kChatPort); }

    // The failed steps of one frame; every step runs, as a host that keeps going would do.
    int Frame() {
        return 5 - (BeginFrame() == 1) - (Read() == 1) - (Update(true) == 1) - (Write() == 1) -
               (EndFrame() == 1);
    }
    int CreateClient(CNetBuf* buf) override {
        Peer* p = m_welcome ? Connect(buf->Addr(), true) : nullptr; // m_addr names no IPv6 peer
        return p ? p->m_id : -1;
    }
    int ReadOutOfBand(CNetBuf* buf) override {
        m_oob_channel = buf->GetChannel();
        return buf->ReadString(m_oob), ++m_oob_count, 1;
    }

    CNetDriver* m_driver = nullptr;
    bool m_welcome = false;
    char m_oob[CNetBuf::kMaxDatagram] = {};
    int m_oob_channel = -1, m_oob_count = 0;
};

// Numbered chat lines of varying length, checked on arrival against the same numbering: a
// line lost, repeated or out of order makes every later one differ.
struct ChatLine {
    const char* tag;
    int said = 0, heard = 0, wrong = 0;

    void Text(int i, char* out) const {
        std::snprintf(out, CChatStream::kLineSize, "%s%05d:%*d", tag, i, (i * 13) % 80, i);
    }
    void Speak(CChatStream* from) {
        char line[CChatStream::kLineSize];
        Text(said, line);
        said += from->Say(line) == 1;
    }
    void Hear(const CChatStream* to) {
        char want[CChatStream::kLineSize];
        for (; heard < to->m_received; ++heard) {
            Text(heard, want);
            wrong += std::strcmp(to->m_lines[heard % CChatStream::kRingLines], want) != 0;
        }
    }
    // Every line said arrived whole, once and in order, and its acknowledgement came back.
    void ExpectWhole(const CChatStream* from) const {
        EXPECT_EQ((std::vector<int>{heard, wrong, from->m_delivered}),
                  (std::vector<int>{said, 0, said}))
            << tag;
    }
};

// A on endpoint 1, B on endpoint 2. The loopback mailbox holds one datagram, so each side's
// frame runs while the other's packet waits for it. `wrap`, if given, makes the driver each
// manager uses (side 0 is A) over its endpoint.
struct Session {
    using Wrap = CNetDriver* (*)(CNetDriver* endpoint, int side);
    explicit Session(int drop_rate, const SNetImpairment* sim = nullptr, std::uint64_t seed = 1,
                     Wrap wrap = nullptr) {
        CNetTime::m_time = 1000;
        if (sim) net.reset(new CNetSimNetwork(seed));
        for (int i = 0; i < 2; ++i) {
            if (sim)
                (sims[i] = std::make_unique<CNetSimDriver>(net.get(), i + 1))->m_impairment = *sim;
            CNetDriver* d = sim ? sims[i].get() : GetSystemNetDriver(kNetDriverLocal, i + 1);
            if (wrap) wrapped[i].reset(d = wrap(d, i));
            (i ? b : a).Open(d);
        }
        to_b = a.Connect(Addr(2), true);
        to_a = b.Connect(Addr(1), false);
        a.m_drop_rate = b.m_drop_rate = drop_rate;
        std::srand(2024); // the managers seeded it from the calendar: make the loss repeatable
    }
    ~Session() {
        a.Release();
        b.Release();
        if (!net) ReleaseSystemNetDriver();
    }

    // The failed frame steps of both sides in this tick.
    int Tick(int ms = kFrameMs) {
        CNetTime::m_time += ms;
        if (net) net->SetTime(CNetTime::m_time);
        return a.Frame() + b.Frame();
    }
    // A tick in which each side that is asked to says a line, and each hears what arrived.
    int Talk(bool a_says, bool b_says, int ms = kFrameMs) {
        if (a_says) ab.Speak(a.Chat());
        if (b_says) ba.Speak(b.Chat());
        const int failed = Tick(ms);
        ab.Hear(b.Chat());
        ba.Hear(a.Chat());
        return failed;
    }

    std::unique_ptr<CNetSimNetwork> net; // with the drivers, outlives the managers
    std::unique_ptr<CNetSimDriver> sims[2];
    std::unique_ptr<CNetDriver> wrapped[2];
    Host a, b;
    Peer* to_b = nullptr; // A's client for B
    Peer* to_a = nullptr; // B's client for A
    ChatLine ab{"a"}, ba{"b"};
};

} // namespace twopeer
