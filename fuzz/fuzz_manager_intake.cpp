// libFuzzer target: whole datagrams, on any channel, from a few senders into one manager that
// lives through the whole input. It runs on the simulated network, so the manager's own
// packets really travel and refusals come back as driver events. The manager starts with
// two peers it knows (one of them not on the network: its refusals remove it through
// DispatchEvent and DestroyClient) and a third read through its own buffer on a second
// endpoint (the side door); it enters unknown senders through CreateClient, drops peers
// after their fourth retransmission time-out, and reads other channels in ReadOutOfBand.
//
// An input is a stream of operations; the top three bits of each op byte name it:
//   0-3  a datagram from sender (op & 3), to the side door when op & 4: two bytes of length
//        (11 bits, little-endian), then the datagram itself, channel byte first
//   4    one frame of the manager, (op & 31)^2 * 4 ms after the last
//   5    sender (op & 3) sends back the newest datagram the manager sent it
//   6    sender (op & 3) leaves the network, or comes back
//   7    with op & 16, CreateClient starts or stops accepting; else the next byte sets the
//        impairments of everything sender (op & 3) sends
// After the last operation three more frames take in what is still on its way. An input runs
// at most kMaxFrames frames of its own: what follows the last of them is not read (each frame
// costs every client's write, and libFuzzer otherwise grows inputs towards thousands).
//
// Built with PORTNET_FUZZ_STANDALONE it is a plain program (fuzz_manager_intake_replay):
// `--capture DIR` writes the seed corpus from real sessions of three peer managers.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <new>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PORTNET_FUZZ_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(PORTNET_FUZZ_ASAN)
#include <sanitizer/asan_interface.h>
#endif

#include "ReplicatedObjects.h"
#include "portnet/CNetSim.h"
#include "portnet/portnet.h"
#include "FuzzShared.h"

namespace {

using portnet_examples::CBlobState;
using portnet_examples::CChatStream;
using portnet_examples::CPositionState;

enum : int {
    kTargetId = 1,      // the manager's endpoint
    kSideDoorId = 10,   // its second endpoint
    kGhostId = 9,       // a peer it knows that is not on the network
    kFirstSenderId = 2, // senders are 2..5; the side door's peer is the last of them
    kSenders = 4,
    kSideDoorPeer = kSenders - 1,
    kPorts = 9,
    kNotRead = 5,
    kTypedPort = 8,
    kMaxLength = CNetSimDriver::kMaxDatagram,
    kMaxFrames = 16,
};

void Check(bool ok) {
    if (!ok) __builtin_trap();
}

sockaddr_in Endpoint(int id) {
    return portnet_fuzz::LocalEndpoint(id);
}

template <class T> CNetDataHistory* History(int size, int port) {
    return portnet_fuzz::NotedHistory<T>(size, port);
}

// A reliable stream of typed fields: the reader takes a count and that many raw bytes, then
// every typed field in turn, again and again until one does not fit the message.
class CTypedStream : public CNetReliable {
public:
    int ReadingCompleted() override {
        unsigned char count = 0, byte;
        unsigned char raw[255];
        if (ReadByte(&count) < 0 || Read(raw, count) < 0) return 1;
        char c, text[SNetMsgBuf::kSize + 1];
        unsigned short word;
        short half;
        std::uint32_t dword;
        int whole;
        float real;
        for (int n = 0; n < 8; ++n) {
            if (ReadByte(&byte) < 0 || ReadChar(&c) < 0 || ReadWord(&word) < 0 ||
                ReadShort(&half) < 0 || ReadDword(&dword) < 0 || ReadInt(&whole) < 0 ||
                ReadFloat(&real) < 0 || ReadString(text) < 0)
                break;
        }
        return 1;
    }
    // The writer's side, for the capture: one message of every field.
    int Compose(int seed) {
        const unsigned char raw[3] = {1, 2, 3};
        return WriteByte(3) < 0 || Write(raw, 3) < 0 || WriteByte(7) < 0 || WriteChar('c') < 0 ||
                       WriteWord(0xBEEF) < 0 || WriteShort(-2) < 0 || WriteDword(0xC0FFEE) < 0 ||
                       WriteInt(seed) < 0 || WriteFloat(0.25f) < 0 || WriteString("typed") < 0
                   ? -1
                   : 1;
    }
};

// Reliable streams, states with histories of 16, 7 and 1 entries, an empty slot (6), a
// port that is neither read nor written (5), one without histories (7), one with a
// lifetime (3) and a stream of typed fields (8).
void Layout(CNetManager& m, CNetDriver* driver) {
    m.Init(driver, kPorts);
    m.SetPortA(1, new CPositionState);
    m.SetPortA(2, new CChatStream);
    m.SetPortA(3, new CBlobState<32>);
    m.SetPortA(4, new CNetReliable);
    m.SetPortA(5, new CPositionState);
    m.SetPortA(7, new CBlobState<8>);
    m.SetPortA(kTypedPort, new CTypedStream);
    for (int p = 1; p < kPorts; ++p)
        m.InitPort(p, p == 3 ? 3000 : -1);
    m.m_ports[1].m_reading_history = History<CPositionState>(16, 1);
    m.m_ports[1].m_writing_history = History<CPositionState>(16, 1);
    m.m_ports[3].m_reading_history = History<CBlobState<32>>(7, 3);
    m.m_ports[3].m_writing_history = History<CBlobState<32>>(7, 3);
    m.m_ports[5].m_reading_history = History<CPositionState>(1, 5);
    m.m_ports[5].m_writing_history = History<CPositionState>(1, 5);
}

// What a peer owns besides itself: its buffers and its own port.
struct Parts {
    CNetBuf* send = nullptr;
    CNetBuf* recv = nullptr;
    CNetDataPort* own = nullptr;
};

// Peers are made in storage of their own. Allocating a client of several kilobytes, its
// buffers and its own port's 32 history entries for each peer cost more under ASan (a fill
// of the bytes, fresh pages out of the quarantine) than the frames the peer took part in.
// A peer deleted is poisoned (with its buffers; the storage keeps them and its own port for
// the next peer made in it) and its storage goes to the back of a queue, so a stale pointer to
// it still faults while the storage queued before it is used up: with the table's 8 slots each
// holding a peer, for at least 23 later peers, as the quarantine would for an allocation.
class PeerStore {
public:
    enum : int { kStored = 32 };

    PeerStore();
    void* Take(std::size_t size);
    void Give(void* p);
    // The parts kept with the storage of `peer`, unpoisoned and no longer kept (none when the
    // storage is new or the peer lives elsewhere).
    Parts TakeParts(const void* peer);
    // Keeps the parts with the storage of `peer`, poisoned; false when it lives elsewhere.
    bool KeepParts(const void* peer, const Parts& parts);

private:
    int Index(const void* p) const;
    static void Poison(const void* p, std::size_t n, bool on) {
        if (!p) return;
#if defined(__SANITIZE_ADDRESS__) || defined(PORTNET_FUZZ_ASAN)
        if (on)
            __asan_poison_memory_region(p, n);
        else
            __asan_unpoison_memory_region(p, n);
#else
        (void)n;
        (void)on;
#endif
    }
    // The own port is left readable: LeakSanitizer finds its object and histories through it.
    static void Poison(const Parts& parts, bool on) {
        Poison(parts.send, sizeof(CNetBuf), on);
        Poison(parts.recv, sizeof(CNetBuf), on);
    }

    enum : std::size_t { kBytes = 20480 }; // at least sizeof(Peer), checked below
    alignas(std::max_align_t) unsigned char m_bytes[kStored][kBytes];
    Parts m_parts[kStored];
    int m_queue[kStored];
    int m_head = 0;
    int m_count = 0;
};

PeerStore& Store() {
    static PeerStore* store = new PeerStore; // never freed: peers may outlive static objects
    return *store;
}

// A peer: sends to one address, reads from its own buffer when given an inbox, and gives up
// after four time-outs in a row.
class Peer : public CNetClient {
public:
    // Made in the store, it takes over the parts its storage kept and brings them back to a
    // new one's state; anything missing is allocated.
    Peer(CNetDriver* out, const sockaddr_in& to, CNetDriver* inbox) {
        const Parts kept = Store().TakeParts(this);
        m_send_buf = Renew(kept.send, out, &to);
        // A receive buffer goes back with the storage even when this peer reads none: freed
        // here and made anew for the next side door's peer, it would be an allocation the
        // input does not free, which libFuzzer answers with a whole leak check.
        if (inbox)
            m_recv_buf = Renew(kept.recv, inbox, nullptr);
        else
            m_spare_recv = kept.recv;
        m_own_port = kept.own ? Renew(kept.own) : OwnPort();
        m_timeout = 250;
    }
    ~Peer() override {
        CNetBuf* recv = m_recv_buf ? m_recv_buf : m_spare_recv;
        if (Store().KeepParts(this, Parts{m_send_buf, recv, m_own_port})) {
            m_own_port = nullptr; // kept: the client's destructor would delete it
            return;
        }
        delete m_send_buf;
        delete recv;
    }
    static void* operator new(std::size_t size) { return Store().Take(size); }
    static void operator delete(void* p) { Store().Give(p); }

    int BeginFrame() override {
        if (m_write_acked) m_timeouts_in_row = 0;
        return CNetClient::BeginFrame();
    }
    int TimeOut() override {
        if (++m_timeouts_in_row >= 4 && m_manager) m_manager->DestroyClient(m_id);
        return 0;
    }
    int ReadInstant(CNetBuf* buf) override {
        char text[CNetBuf::kMaxDatagram];
        buf->ReadString(text);
        return 1;
    }

    int m_timeouts_in_row = 0;

private:
    CNetBuf* m_spare_recv = nullptr; // kept for the storage's next peer
    static CNetBuf* Renew(CNetBuf* kept, CNetDriver* driver, const sockaddr_in* to) {
        if (!kept) return new CNetBuf(driver, to);
        kept->~CNetBuf();
        return new (kept) CNetBuf(driver, to);
    }
    static CNetDataPort* Renew(CNetDataPort* own) {
        CNetData* object = own->m_object;
        CNetDataHistory* reading = own->m_reading_history;
        CNetDataHistory* writing = own->m_writing_history;
        own->m_object = nullptr;
        own->m_reading_history = own->m_writing_history = nullptr;
        own->~CNetDataPort();
        new (own) CNetDataPort;
        *static_cast<CPositionState*>(object) = CPositionState();
        CPositionState blank;
        portnet_fuzz::EmptyHistory(reading, blank);
        portnet_fuzz::EmptyHistory(writing, blank);
        own->m_object = object;
        own->m_reading_history = reading;
        own->m_writing_history = writing;
        return own;
    }
    static CNetDataPort* OwnPort() {
        CNetDataPort* own = new CNetDataPort;
        own->m_object = new CPositionState;
        own->m_reading_history = History<CPositionState>(16, 0);
        own->m_writing_history = History<CPositionState>(16, 0);
        return own;
    }
};

PeerStore::PeerStore() {
    static_assert(sizeof(Peer) <= kBytes && alignof(Peer) <= alignof(std::max_align_t),
                  "a peer must fit the store");
    for (int i = 0; i < kStored; ++i) {
        m_queue[i] = i;
        Poison(m_bytes[i], sizeof(Peer), true);
    }
    m_count = kStored;
}

int PeerStore::Index(const void* p) const {
    const auto* b = static_cast<const unsigned char*>(p);
    const unsigned char* first = &m_bytes[0][0];
    if (b < first || b >= first + sizeof m_bytes) return -1;
    return static_cast<int>((b - first) / kBytes);
}

void* PeerStore::Take(std::size_t size) {
    if (size != sizeof(Peer) || m_count == 0) return ::operator new(size);
    const int i = m_queue[m_head];
    m_head = (m_head + 1) % kStored;
    --m_count;
    Poison(m_bytes[i], sizeof(Peer), false);
    return m_bytes[i];
}

void PeerStore::Give(void* p) {
    const int i = Index(p);
    if (i == -1) return ::operator delete(p);
    Poison(m_bytes[i], sizeof(Peer), true);
    m_queue[(m_head + m_count) % kStored] = i;
    ++m_count;
}

Parts PeerStore::TakeParts(const void* peer) {
    const int i = Index(peer);
    if (i == -1) return Parts{};
    const Parts kept = m_parts[i];
    m_parts[i] = Parts{};
    Poison(kept, false);
    return kept;
}

bool PeerStore::KeepParts(const void* peer, const Parts& parts) {
    const int i = Index(peer);
    if (i == -1) return false;
    m_parts[i] = parts;
    Poison(parts, true);
    return true;
}

class Manager : public CNetManager {
public:
    explicit Manager(CNetDriver* driver) : m_driver(driver) {}
    ~Manager() override { Release(); } // the peers before the drivers they send through

    int CreateClient(CNetBuf* buf) override {
        if (!m_accept) return -1;
        return Enter(new Peer(m_driver, buf->m_addr, nullptr));
    }
    int DestroyClient(int slot) override { return RemoveClient(slot); }
    int ReadOutOfBand(CNetBuf* buf) override {
        char text[CNetBuf::kMaxDatagram];
        int value;
        buf->ReadString(text);
        buf->ReadInt(&value);
        return 1;
    }

    // Enters the peer with every port but kNotRead enabled both ways; -1 when refused.
    int Enter(Peer* peer) {
        const int slot = AddClient(peer, -1);
        if (slot == -1) {
            delete peer;
            return -1;
        }
        for (int p = 0; p < kPorts; ++p) {
            peer->m_refs[p].m_read_enabled = p != kNotRead;
            peer->m_refs[p].m_write_enabled = p != kNotRead;
        }
        return slot;
    }
    bool Frame() {
        return BeginFrame() == 1 && Read() == 1 && Update(true) == 1 && Write() == 1 &&
               EndFrame() == 1;
    }
    template <class T> T* Object(int port) { return static_cast<T*>(m_ports[port].m_object); }

    CNetDriver* m_driver;
    bool m_accept = true;
};

// The fuzzed manager, its two endpoints and the senders, all on one simulated network.
struct Harness {
    Harness() {
        door.m_report_refused = side.m_report_refused = true;
        door.Init();
        side.Init();
        for (int s = 0; s < kSenders; ++s) {
            senders[s] = new CNetSimDriver(&net, kFirstSenderId + s, 32);
            senders[s]->Init();
        }
        Layout(mgr, &door);
        Start();
    }
    ~Harness() {
        mgr.Release();
        for (CNetSimDriver* s : senders)
            delete s;
    }
    Harness(const Harness&) = delete;
    Harness& operator=(const Harness&) = delete;

    void Frame(int step_ms) {
        CNetTime::m_time = static_cast<int>(static_cast<std::uint32_t>(CNetTime::m_time) +
                                            static_cast<std::uint32_t>(step_ms));
        net.Advance(step_ms);
        // Every step runs whatever the one before answered: -1 (from an oversized datagram,
        // say) is an answer, not a fault.
        mgr.BeginFrame();
        mgr.Read();
        mgr.Update(true);
        mgr.Write();
        mgr.EndFrame();
        CheckTable();
        if (!capture) TakeReplies();
    }

    // Every used slot holds a client that knows its slot and manager.
    void CheckTable() const {
        for (int i = 0; i < CNetManager::kMaxClients; ++i) {
            const SNetClientSlot& s = mgr.m_clients[i];
            if (!s.m_used) continue;
            Check(s.m_client && s.m_client->m_id == i && s.m_client->m_manager == &mgr &&
                  s.m_client->m_num_ports == kPorts);
        }
    }

    // Empties the senders' queues, keeping the newest datagram for Echo. Whatever the
    // manager sends is a channel-0 packet of at most 999 bytes.
    void TakeReplies() {
        for (int s = 0; s < kSenders; ++s) {
            for (int n = 0; n < 64; ++n) {
                int len = kMaxLength;
                sockaddr_in from;
                if (senders[s]->RecvFrom(&len, last[s], &from) != 0 || len <= 0) break;
                Check(len <= CNetBuf::kMaxDatagram && last[s][0] == 0);
                last_len[s] = len;
                last_from[s] = from.sin_port;
            }
        }
    }

    void Datagram(int s, bool side_door, const std::uint8_t* bytes, int len) {
        sockaddr_in to = Endpoint(side_door ? kSideDoorId : kTargetId);
        senders[s]->SendTo(len, const_cast<std::uint8_t*>(bytes), &to);
    }
    void Echo(int s) {
        if (last_len[s] > 0) Datagram(s, last_from[s] == kSideDoorId, last[s], last_len[s]);
    }
    void Toggle(int s) {
        if (senders[s]->m_attached)
            senders[s]->Shutdown();
        else
            senders[s]->Init();
    }
    void Impair(int s, std::uint8_t b) {
        SNetImpairment& i = senders[s]->m_impairment;
        i.m_loss_percent = (b & 3) * 15.0;
        i.m_duplicate_percent = (b >> 2 & 3) * 15.0;
        i.m_jitter_ms = (b >> 4 & 3) * 20;
        i.m_reorder_percent = (b >> 6) * 15.0;
        i.m_reorder_delay_ms = 40;
    }

    // The state a new harness starts in, without making anything the process already has
    // (the network and its queues, the manager and its histories): every sender back on the
    // network without impairments, every queue empty (what is still on its way arrives and
    // is dropped), the clients entered anew, every port restarted and every history emptied.
    void Reset() {
        for (CNetSimDriver* d : senders) {
            if (!d->m_attached) d->Init();
            d->m_impairment = SNetImpairment{};
        }
        net.Advance(1000);
        CNetTime::m_time = static_cast<int>(static_cast<std::uint32_t>(CNetTime::m_time) + 1000u);
        unsigned char d[kMaxLength];
        for (CNetSimDriver* e : {&door, &side, senders[0], senders[1], senders[2], senders[3]})
            for (int guard = 0; guard < 1024 && e->GetQueued() > 0; ++guard) {
                int len = sizeof d;
                sockaddr_in from;
                e->RecvFrom(&len, d, &from);
            }
        DropClients();
        portnet_fuzz::RestartPorts<CBlobState<32>, CPositionState>(mgr, kPorts, 3, 3000);
        mgr.m_accept = true;
        std::memset(last_len, 0, sizeof last_len);
        Start();
    }
    // Every client the input entered is destroyed within the input: libFuzzer takes an input
    // that frees less than it allocated for a possible leak and runs a whole leak check on it
    // (a fifth of the target's time when the clients lived on until the next input's reset).
    void DropClients() {
        for (int i = 0; i < CNetManager::kMaxClients; ++i) {
            mgr.RemoveClient(i);
            delete mgr.m_clients[i].m_client;
            mgr.m_clients[i].m_client = nullptr;
        }
    }
    void Start() {
        mgr.Enter(new Peer(&door, Endpoint(kFirstSenderId), nullptr));
        mgr.Enter(new Peer(&door, Endpoint(kGhostId), nullptr));
        mgr.Enter(new Peer(&side, Endpoint(kFirstSenderId + kSideDoorPeer), &side));
        mgr.Object<CChatStream>(2)->Say("waiting for an acknowledgement");
        Frame(16);
    }

    CNetSimNetwork net{1, 16, 8};
    CNetSimDriver door{&net, kTargetId, 64};
    CNetSimDriver side{&net, kSideDoorId, 64};
    CNetSimDriver* senders[kSenders] = {};
    Manager mgr{&door};
    bool capture = false; // the capture's peer managers read their queues themselves
    std::uint8_t last[kSenders][kMaxLength] = {};
    int last_len[kSenders] = {};
    int last_from[kSenders] = {};
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Made once per process (never freed: the process ends), reset for every input.
    static Harness* harness = nullptr;
    if (harness == nullptr) {
        CNetTime::m_time = 1000;
        harness = new Harness;
    } else {
        harness->Reset();
    }
    Harness& h = *harness;
    std::size_t pos = 0;
    int frames = 0;
    while (pos < size && frames < kMaxFrames) {
        const std::uint8_t op = data[pos++];
        const int s = op & 3;
        switch (op >> 5) {
        case 4:
            h.Frame((op & 31) * (op & 31) * 4);
            ++frames;
            break;
        case 5:
            h.Echo(s);
            break;
        case 6:
            h.Toggle(s);
            break;
        case 7:
            if (op & 16)
                h.mgr.m_accept = !h.mgr.m_accept;
            else if (pos < size)
                h.Impair(s, data[pos++]);
            break;
        default: { // 0-3: a datagram
            if (size - pos < 2) return 0;
            std::size_t len = (data[pos] | data[pos + 1] << 8) & 0x7FFu;
            pos += 2;
            if (len > size - pos) len = size - pos;
            if (len > kMaxLength) len = kMaxLength;
            h.Datagram(s, op & 4, data + pos, static_cast<int>(len));
            pos += len;
        }
        }
    }
    for (int i = 0; i < 3; ++i)
        h.Frame(16);
    h.DropClients();
    return 0;
}

#ifdef PORTNET_FUZZ_STANDALONE

#include <vector>

#include "FuzzReplay.h"

namespace {

using portnet_fuzz::Bytes;

// A peer host of the same layout with one client, for the manager's main endpoint or its
// side door.
struct PeerHost {
    PeerHost(CNetDriver* driver, int to_id) : mgr(driver) {
        Layout(mgr, driver);
        mgr.Enter(new Peer(driver, Endpoint(to_id), nullptr));
    }
    Manager mgr;
};

enum : std::uint8_t { kOpFrame16 = 0x82, kOpLongWait = 0x94, kOpToggle = 0xC0 };

// Runs three peer managers against the fuzzed one and records, frame by frame, what they send
// it as inputs: a known peer, a stranger that CreateClient enters, and the side door's peer;
// with chat lines, a reliable int, an instant message, an out-of-band datagram, and the
// stranger leaving (its client goes on the refusals) and coming back (entered anew).
int Capture(const std::filesystem::path& dir) {
    std::vector<Bytes> frames;
    {
        CNetTime::m_time = 1000;
        Harness h;
        h.capture = true;
        PeerHost known(h.senders[0], kTargetId), stranger(h.senders[1], kTargetId),
            side(h.senders[kSideDoorPeer], kSideDoorId);
        PeerHost* peers[] = {&known, &stranger, &side};
        unsigned char datagram[kMaxLength];
        // Takes what the peers sent out of the manager's queues, records it and sends it again.
        // Refusal notices (the manager's own, which replay makes again) are put back as they
        // were made: by sending to the missing endpoint.
        auto relay = [&](Bytes& record, CNetSimDriver& endpoint) {
            std::vector<std::pair<int, Bytes>> taken;
            for (;;) {
                int len = sizeof datagram;
                sockaddr_in from;
                const int r = endpoint.RecvFrom(&len, datagram, &from);
                if (r == kNetEventDisconnect)
                    taken.emplace_back(-from.sin_port, Bytes());
                else if (r != 0 || len <= 0)
                    break;
                else
                    taken.emplace_back(from.sin_port - kFirstSenderId,
                                       Bytes(datagram, datagram + len));
            }
            for (auto& [s, d] : taken) {
                if (s < 0) {
                    sockaddr_in missing = Endpoint(-s);
                    endpoint.SendTo(0, nullptr, &missing);
                    continue;
                }
                record.push_back(static_cast<std::uint8_t>(s | (&endpoint == &h.side ? 4 : 0)));
                record.push_back(static_cast<std::uint8_t>(d.size()));
                record.push_back(static_cast<std::uint8_t>(d.size() >> 8));
                record.insert(record.end(), d.begin(), d.end());
                h.Datagram(s, &endpoint == &h.side, d.data(), static_cast<int>(d.size()));
            }
        };
        for (int f = 1; f <= 34; ++f) {
            Bytes record;
            if (f == 20 || f == 26) { // the stranger leaves, then comes back
                record.push_back(kOpToggle | 1);
                h.Toggle(1);
            }
            for (int p = 0; p < 3; ++p) {
                Manager& m = peers[p]->mgr;
                m.Object<CPositionState>(1)->m_pos[(f + p) % 3] = static_cast<float>(f);
                m.Object<CBlobState<32>>(3)->m_bytes[(f * 7 + p) % 32] ^= 0x21;
                if (f % 6 == p + 1) m.Object<CChatStream>(2)->Say(p ? "hello" : "a longer line");
            }
            if (f == 7) known.mgr.Object<CNetReliable>(4)->WriteInt(f);
            if (f % 8 == 5) stranger.mgr.Object<CTypedStream>(kTypedPort)->Compose(f);
            if (f == 9) known.mgr.m_clients[0].m_client->WriteInstant("instant", 8);
            if (f == 11) { // out of band on channel 3
                CNetBuf oob(h.senders[1], nullptr);
                oob.m_addr = Endpoint(kTargetId);
                oob.SetChannel(3);
                oob.WriteString("status");
                oob.WriteInt(f);
                oob.Send();
            }
            for (PeerHost* p : peers) // the stranger cannot send while away
                Check(p->mgr.Frame() || (p == &stranger && f >= 20 && f < 26));
            relay(record, h.door);
            relay(record, h.side);
            const bool wait = f == 30; // long enough for time-outs and rate counts
            record.push_back(wait ? kOpLongWait : kOpFrame16);
            h.Frame(wait ? 20 * 20 * 4 : 16);
            frames.push_back(record);
        }
    }
    auto save = [&](const char* name, std::size_t first, std::size_t last) {
        Bytes input;
        for (std::size_t i = first; i < last && i < frames.size(); ++i)
            input.insert(input.end(), frames[i].begin(), frames[i].end());
        portnet_fuzz::Save(dir / name, input);
    };
    save("contact", 0, 4);
    save("session", 0, 16);
    save("away_and_back", 16, 28);
    save("late_start", 28, 34);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    return portnet_fuzz::ReplayMain(argc, argv, Capture);
}

#endif
