// libFuzzer target: arbitrary bytes as channel-0 datagrams from a known peer, taken in by a
// whole manager whose ports hold reliable streams and unreliable states with histories of
// 64, 17 and 1 entries, an empty slot, a port that is not read and one without histories.
//
// An input is a run of records: [length, low 8 bits] [length, high 2 bits | time step << 2]
// and the body. Each body arrives as one datagram from the peer; then the manager runs the
// rest of its frame, so acknowledgements, delta bases, interpolation and lifetimes follow
// from what came in. The manager starts with a chat line awaiting acknowledgement. Only the
// first kMaxRecords records are read: every frame costs the manager's whole write, and a
// longer input would only repeat what these already reach (histories are addressed by
// sequence numbers the records carry, not by how many arrived).
//
// Built with PORTNET_FUZZ_STANDALONE it is a plain program (fuzz_client_read_replay): given
// files or folders it replays every input; `--capture DIR` writes the seed corpus from a real
// two-manager session over the same layout.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <new>

#include "ReplicatedObjects.h"
#include "portnet/portnet.h"
#include "FuzzShared.h"

namespace {

using portnet_examples::CChatStream;
using portnet_examples::CPositionState;

enum : int {
    kTargetId = 41,
    kPeerId = 42,
    kPorts = 8,
    kNotRead = 5,
    kTimeStepMs = 4,
    kMaxRecords = 16
};

sockaddr_in Local(int id) {
    return portnet_fuzz::LocalEndpoint(id);
}

template <class T> void Histories(CNetDataPort& port, int size, int port_id) {
    port.m_reading_history = portnet_fuzz::NotedHistory<T>(size, port_id);
    port.m_writing_history = portnet_fuzz::NotedHistory<T>(size, port_id);
}

// One side: a manager with the fuzzed layout and a client for the other endpoint.
struct Side {
    Side(int id, int peer_id) : driver(GetSystemNetDriver(kNetDriverLocal, id)) {
        driver->Init();
        const sockaddr_in peer = Local(peer_id);
        out = new CNetBuf(driver, &peer);
        mgr.Init(driver, kPorts);
        mgr.SetPortA(1, new CPositionState);
        mgr.SetPortA(2, new CChatStream);
        mgr.SetPortA(3, new portnet_examples::CBlobState<32>);
        mgr.SetPortA(4, new CNetReliable); // the base hooks only
        mgr.SetPortA(5, new CPositionState);
        mgr.SetPortA(7, new portnet_examples::CBlobState<8>); // no histories
        for (int p = 1; p < kPorts; ++p)
            mgr.InitPort(p, p == 3 ? 5000 : -1); // port 3 runs out of life while fuzzed
        Histories<CPositionState>(mgr.m_ports[1], 64, 1);
        Histories<portnet_examples::CBlobState<32>>(mgr.m_ports[3], 17, 3);
        Histories<CPositionState>(mgr.m_ports[5], 1, 5);

        client = new CNetClient;
        client->m_send_buf = out;
        client->m_own_port = new CNetDataPort;
        client->m_own_port->m_object = new CPositionState;
        Histories<CPositionState>(*client->m_own_port, 64, 0);
        mgr.AddClient(client, -1);
        for (int p = 0; p < kPorts; ++p) {
            client->m_refs[p].m_read_enabled = p != kNotRead;
            client->m_refs[p].m_write_enabled = true;
        }
    }
    ~Side() {
        mgr.Release(); // the client before the buffer it sends through
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
    template <class T> T* Object(int port) { return static_cast<T*>(mgr.m_ports[port].m_object); }

    CNetDriver* driver;
    CNetBuf* out;
    CNetManager mgr;
    CNetClient* client;
};

// The fuzzed manager, already a frame into its session with a chat line in flight.
void Start(Side& target) {
    target.Object<CChatStream>(2)->Say("waiting for an acknowledgement");
    target.Frame();
}

// One input's run: the clock starts at 1000; the drivers go when every manager is gone.
struct RunScope {
    RunScope() { CNetTime::m_time = 1000; }
    ~RunScope() { ReleaseSystemNetDriver(); }
};

// The fuzzed side lives for the whole process; an input starts from it as a fresh one would
// be: a new client (made anew in the old one's storage, the own port and its histories kept,
// emptied), every port restarted, every history emptied, nothing left in either mailbox, the
// clock at 1000. Allocating a client of several kilobytes per input cost more under ASan
// (fresh pages, quarantine) than the rest of the reset.
struct Fuzzed {
    Side target{kTargetId, kPeerId};
    CNetDriver* peer = GetSystemNetDriver(kNetDriverLocal, kPeerId);
    CPositionState blank_position;

    Fuzzed() { peer->Init(); }
    void Reset() {
        CNetTime::m_time = 1000;
        CNetManager& mgr = target.mgr;
        CNetClient* old = target.client;
        mgr.RemoveClient(old->m_id);
        CNetDataPort* own = old->m_own_port;
        old->m_own_port = nullptr; // kept: the destructor would delete it
        // The same storage, so the slot still holds it and deletes nothing when it enters.
        old->~CNetClient();
        CNetClient* fresh = new (old) CNetClient;
        portnet_fuzz::RestartPorts<portnet_examples::CBlobState<32>, CPositionState>(mgr, kPorts, 3,
                                                                                     5000);
        static_cast<CPositionState*>(own->m_object)->CopyFrom(&blank_position);
        portnet_fuzz::EmptyHistory(own->m_reading_history, blank_position);
        portnet_fuzz::EmptyHistory(own->m_writing_history, blank_position);
        target.client = fresh;
        target.client->m_send_buf = target.out;
        target.client->m_own_port = own;
        mgr.AddClient(target.client, -1);
        for (int p = 0; p < kPorts; ++p) {
            target.client->m_refs[p].m_read_enabled = p != kNotRead;
            target.client->m_refs[p].m_write_enabled = true;
        }
        unsigned char d[CNetBuf::kDataSize];
        for (CNetDriver* e : {target.driver, peer})
            for (int guard = 0; guard < 1024; ++guard) {
                int n = sizeof d;
                sockaddr_in from;
                if (e->RecvFrom(&n, d, &from) != 0 || n <= 0) break;
            }
        Start(target);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Fuzzed* fuzzed = new Fuzzed; // never freed: the process ends
    fuzzed->Reset();
    Side& target = fuzzed->target;
    CNetDriver* peer = fuzzed->peer;
    sockaddr_in to_target = Local(kTargetId);
    unsigned char datagram[CNetBuf::kMaxDatagram];
    std::size_t pos = 0;
    for (int records = 0; records < kMaxRecords && pos + 2 <= size; ++records) {
        std::size_t len = data[pos] | (data[pos + 1] & 3u) << 8;
        const int step = data[pos + 1] >> 2;
        pos += 2;
        if (len > size - pos) len = size - pos;
        if (len > CNetBuf::kMaxPayload) len = CNetBuf::kMaxPayload;
        datagram[0] = 0; // channel 0: a client packet or instant message
        if (len > 0) std::memcpy(datagram + 1, data + pos, len);
        pos += len;
        peer->SendTo(static_cast<int>(len) + 1, datagram, &to_target);
        CNetTime::m_time += step * kTimeStepMs;
        target.Frame();
    }
    return 0;
}

#ifdef PORTNET_FUZZ_STANDALONE

#include "FuzzReplay.h"

namespace {

using portnet_fuzz::Bytes;

// Runs the fuzzed side against a peer manager of the same layout and records, as inputs, the
// datagrams the peer sends: first contact, states against acknowledged bases, a chat line
// repeated after its acknowledgement was lost, and an instant message.
int Capture(const std::filesystem::path& dir) {
    std::vector<Bytes> records;
    {
        RunScope scope;
        Side target(kTargetId, kPeerId);
        Side peer(kPeerId, kTargetId);
        peer.client->m_refs[kNotRead].m_write_enabled = false; // the target would refuse it
        peer.client->m_timeout = 100;
        Start(target);
        sockaddr_in to_target = Local(kTargetId);
        unsigned char datagram[CNetBuf::kDataSize];
        // Takes what the peer sent out of the target's mailbox, records it and puts it back.
        auto relay = [&](int step) {
            int len = sizeof datagram;
            sockaddr_in from;
            if (target.driver->RecvFrom(&len, datagram, &from) != 0 || len < 1) return;
            Bytes r = {static_cast<unsigned char>(len - 1),
                       static_cast<unsigned char>((len - 1) >> 8 | step << 2)};
            r.insert(r.end(), datagram + 1, datagram + len);
            records.push_back(r);
            peer.driver->SendTo(len, datagram, &to_target);
        };
        for (int f = 1; f <= 45; ++f) {
            CNetTime::m_time += 4 * kTimeStepMs;
            peer.Object<CPositionState>(1)->m_pos[f % 3] = static_cast<float>(f);
            peer.Object<portnet_examples::CBlobState<32>>(3)->m_bytes[f % 32] ^= 0x11;
            static_cast<CPositionState*>(peer.client->m_own_port->m_object)->m_pos[0] += 0.5f;
            if (f % 5 == 1) peer.Object<CChatStream>(2)->Say(f % 10 == 1 ? "hi" : "a longer line");
            if (f == 7) peer.Object<CNetReliable>(4)->WriteInt(f);
            if (f == 10) { // the mailbox holds one datagram: the target takes it in at once
                peer.client->WriteInstant("instant", 8);
                relay(0);
                target.mgr.Read();
            }
            peer.Frame();
            relay(4);
            target.Frame();
            if (f == 12) { // the target's acknowledgement of the peer's chat line is lost
                int len = sizeof datagram;
                sockaddr_in from;
                peer.driver->RecvFrom(&len, datagram, &from);
            }
        }
    }
    auto save = [&](const char* name, std::size_t first, std::size_t last) {
        Bytes input;
        for (std::size_t i = first; i < last && i < records.size(); ++i)
            input.insert(input.end(), records[i].begin(), records[i].end());
        portnet_fuzz::Save(dir / name, input);
    };
    // No input longer than the kMaxRecords records an input may run.
    save("contact", 0, 3);
    save("session", 0, kMaxRecords);
    save("mid_session", kMaxRecords, 30);
    save("late_start", 30, 45);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    return portnet_fuzz::ReplayMain(argc, argv, Capture);
}

#endif
