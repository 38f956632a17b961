// libFuzzer target: block records (CNetBlockStream, port 1) from one peer, taken in by a
// manager's client, where an honest sender's fragments are interleaved with hostile ones:
// fragments that overlap, lie outside their block, never complete it, announce totals that
// differ, that reach or pass the limit, or name blocks far ahead or behind; and raw records.
//
// Checked beyond memory faults: at no point, within a frame or after it, does the heap hold
// more than the receiver's limit (and a margin for bookkeeping) above what it held before the
// input; a block delivered is no larger than the limit, comes in order, and every byte of it
// is one a fragment of that block and size put there (exactly the honest block when no hostile
// fragment named its number); once the client is gone, all it held is freed. The heap is
// counted by this program's own operator new, which the library's allocations go through.
//
// Input: one byte of set-up (bits 0-1: the receiver's limit, 4 KiB, 64 KiB, 1 MiB or 16 MiB;
// bits 2-3: the honest fragment size, 48, 256, 512 or 960 bytes), then operations, an
// operation byte each (low 3 bits: the kind, below) followed by its operands; what follows the
// kMaxDatagrams-th datagram is not read. Every datagram is a whole packet with one block record
// and is followed by a frame of the receiver (it reads, then writes its acknowledgements).
// With bit 7 of the operation byte set, its datagrams come late: numbered 1 to 8 (bits 3-5,
// plus 1) behind the newest packet, as an overtaken packet whose block records still count.
//   0 honest: the next n (operand) fragments of the honest block, as many as fit a datagram
//   1 honest again: fragment i (operand) of the honest block, again or out of order
//   2 honest loss: the next fragment is skipped (sent later by 1 or 3)
//   3 honest rest: every fragment of the honest block, over as many datagrams as they take,
//     then the next honest block, of 1 + (2 operand bytes) % 24 KiB (at most the limit) bytes
//   4 hostile fragment: block, total, offset and length each chosen by a mode byte (near
//     the honest block, the honest total, the limit and past it, aligned and unaligned,
//     lengths that pass the datagram) and bytes from the input
//   5 raw record: n (operand) bytes of the input as the record
//   6 notice: a notice (reason operand) for the honest block or a raw number
//   7 time: the clock moves on by 4 ms times the operand, then a frame without a datagram
//
// Built with PORTNET_FUZZ_STANDALONE it is a plain program (fuzz_block_reassembly_replay);
// `--capture DIR` writes the seed corpus, made by hand for each kind of hostility.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>
#include <vector>

#include "portnet/portnet.h"
#include "FuzzShared.h"

// The heap as this program sees it: every operator new of the process, the library's
// included. Single-threaded, as the library is.
namespace {
std::size_t g_live = 0;              // bytes held
std::size_t g_peak = 0;              // the most held since the last reset of the peak
enum : std::size_t { kHeader = 16 }; // keeps malloc's alignment

void* Take(std::size_t n) {
    void* p = std::malloc(n + kHeader);
    if (!p) return nullptr;
    *static_cast<std::size_t*>(p) = n;
    g_live += n;
    if (g_live > g_peak) g_peak = g_live;
    return static_cast<char*>(p) + kHeader;
}
void Give(void* p) {
    if (!p) return;
    char* b = static_cast<char*>(p) - kHeader;
    g_live -= *reinterpret_cast<std::size_t*>(b);
    std::free(b);
}
} // namespace

void* operator new(std::size_t n) {
    if (void* p = Take(n)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
    if (void* p = Take(n)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    return Take(n);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    return Take(n);
}
void operator delete(void* p) noexcept {
    Give(p);
}
void operator delete[](void* p) noexcept {
    Give(p);
}
void operator delete(void* p, std::size_t) noexcept {
    Give(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    Give(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    Give(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    Give(p);
}

namespace {

enum : int {
    kTargetId = 51,
    kPeerId = 52,
    kPorts = 2,
    kBlockPort = 1,
    kMaxDatagrams = 48,
    kMaxOps = 96, // operations that send nothing count too: a frame each at most
    kHonestMax = 24 * 1024,
    kFrameMs = 16,
    // A packet without timing: header, sequence, acknowledged sequence; then the port byte,
    // the record's sections byte and, at the end, the terminator.
    kPacketHead = 7,
    kRoom = CNetBuf::kMaxPayload - kPacketHead - 1 - 1 - 1,
    kFragmentHead = 12,
};

const std::uint32_t kLimits[4] = {4096, 65536, 1u << 20, 1u << 24};
const int kFragmentSizes[4] = {48, 256, 512, 960};

[[noreturn]] void Fail(const char* what, unsigned long long a, unsigned long long b) {
    std::fprintf(stderr, "fuzz_block_reassembly: %s (%llu, %llu)\n", what, a, b);
    std::abort();
}

// The honest block's bytes: a function of its number and the offset, so a byte tells where
// it belongs.
unsigned char HonestByte(std::uint32_t block, std::uint32_t offset) {
    const std::uint32_t x = (block * 0x9e3779b1u) ^ (offset * 0x85ebca6bu) ^ (offset >> 7);
    return static_cast<unsigned char>(x ^ x >> 13 ^ x >> 24);
}

void Put16(std::vector<unsigned char>& v, std::uint32_t x) {
    v.push_back(static_cast<unsigned char>(x));
    v.push_back(static_cast<unsigned char>(x >> 8));
}
void Put32(std::vector<unsigned char>& v, std::uint32_t x) {
    Put16(v, x & 0xffff);
    Put16(v, x >> 16);
}

// A hostile fragment as sent: its bytes are those the datagram holds after its header, up to
// its length. A length past the record takes the packet's terminator too: records are taken
// as they are read, so a block may complete from a packet refused afterwards for its end.
struct SHostile {
    std::uint16_t m_block;
    std::uint32_t m_total, m_offset, m_len;
    const unsigned char* m_bytes;
};

class CCheckedStream;

// One input's world: the fuzzed manager with its client for the peer, the honest sender's
// progress and what was sent, for the checks.
struct World {
    World(CNetDriver* target, CNetDriver* peer) : target_driver(target), peer_driver(peer) {}
    CNetDriver* target_driver;
    CNetDriver* peer_driver;
    CNetBuf* out = nullptr;
    CNetManager mgr;
    CNetClient* client = nullptr;
    CCheckedStream* stream = nullptr;
    std::uint32_t limit = 0;
    int fragment = 48;
    // The honest sender: its block, that block's size and the next fragment.
    std::uint32_t honest = 1;
    std::uint32_t honest_total = 0;
    std::uint32_t next = 0;
    std::vector<std::uint32_t> honest_totals; // by block number, 0 none
    std::vector<SHostile> hostile;
    std::vector<unsigned char> hostile_bytes; // their copies, reserved: pointers stay valid
    std::uint32_t last_delivered = 0;
    int seq = 0;
    int late = 0; // the operation's datagrams go this far behind the newest; 0 in order
    int datagrams = 0;
    std::size_t baseline = 0;
    std::size_t bound = 0;

    int Fragments() const {
        return static_cast<int>((honest_total + static_cast<std::uint32_t>(fragment) - 1) /
                                static_cast<std::uint32_t>(fragment));
    }
    bool Full() const { return datagrams >= kMaxDatagrams; }
    void Send(const std::vector<unsigned char>& record);
    void Frame();
    void Honest(std::vector<unsigned char>& rec, int i) const;
    int HonestDatagram(int first, int count);
    void NextBlock(std::uint32_t total);
    void Check();
};

class CCheckedStream : public CNetBlockStream {
public:
    explicit CCheckedStream(World* w) : m_world(w) {}
    int BlockReceived(CNetClient*, std::uint32_t id, const unsigned char* data,
                      std::uint32_t len) override;
    World* m_world;
};

int CCheckedStream::BlockReceived(CNetClient*, std::uint32_t id, const unsigned char* data,
                                  std::uint32_t len) {
    World& w = *m_world;
    if (len == 0 || len > w.limit) Fail("a block outside 1..limit was delivered", len, w.limit);
    if (id <= w.last_delivered) Fail("a block was delivered out of order", id, w.last_delivered);
    w.last_delivered = id;
    // By the number on the wire: hostile fragments may move the receiver's count of blocks
    // (a block named far ahead), so the number it hands over can differ from the sender's.
    const std::uint16_t wire = static_cast<std::uint16_t>(id);
    const bool honest_size = wire < w.honest_totals.size() && w.honest_totals[wire] == len;
    bool touched = false;
    for (const SHostile& h : w.hostile)
        touched = touched || h.m_block == wire;
    if (!touched && !honest_size) Fail("an honest block arrived with a size never sent", id, len);
    for (std::uint32_t o = 0; o < len; ++o) {
        if (honest_size && data[o] == HonestByte(wire, o)) continue;
        bool found = false;
        for (const SHostile& h : w.hostile)
            if (h.m_block == wire && h.m_total == len && o >= h.m_offset &&
                o - h.m_offset < h.m_len && h.m_bytes[o - h.m_offset] == data[o]) {
                found = true;
                break;
            }
        if (!found) Fail("a delivered byte no fragment of that block and size sent", id, o);
    }
    return 1;
}

sockaddr_in Local(int id) {
    return portnet_fuzz::LocalEndpoint(id);
}

void World::Check() {
    if (g_peak > baseline + bound) Fail("the heap grew past the limit", g_peak - baseline, bound);
}

void World::Frame() {
    g_peak = g_live;
    mgr.BeginFrame();
    mgr.Read();
    mgr.Update(false);
    mgr.Write();
    mgr.EndFrame();
    Check();
    // The acknowledgements go nowhere: the peer's mailbox is emptied.
    unsigned char d[CNetBuf::kDataSize];
    int n = sizeof d;
    sockaddr_in from;
    peer_driver->RecvFrom(&n, d, &from);
}

void World::Send(const std::vector<unsigned char>& record) {
    if (Full()) return;
    ++datagrams;
    int number = seq - late;
    if (late == 0 || number < 1) number = ++seq;
    unsigned char d[CNetBuf::kMaxDatagram];
    int n = 0;
    d[n++] = 0;                                             // channel 0: a packet
    d[n++] = static_cast<unsigned char>((number & 7) << 4); // no reliable records, no timing
    for (int k = 0; k < 3; ++k)
        d[n++] = static_cast<unsigned char>(number >> (8 * k));
    for (int k = 0; k < 3; ++k)
        d[n++] = 0; // nothing of the receiver's accepted
    d[n++] = kBlockPort;
    const std::size_t room = sizeof d - static_cast<std::size_t>(n) - 1;
    const std::size_t len = record.size() < room ? record.size() : room;
    if (len > 0) std::memcpy(d + n, record.data(), len);
    n += static_cast<int>(len);
    d[n++] = 0xff;
    sockaddr_in to = Local(kTargetId);
    peer_driver->SendTo(n, d, &to);
    CNetTime::m_time += kFrameMs;
    Frame();
}

// Fragment i of the honest block appended to rec (header and bytes).
void World::Honest(std::vector<unsigned char>& rec, int i) const {
    const std::uint32_t offset = static_cast<std::uint32_t>(i * fragment);
    const std::uint32_t len = honest_total - offset < static_cast<std::uint32_t>(fragment)
                                  ? honest_total - offset
                                  : static_cast<std::uint32_t>(fragment);
    Put16(rec, honest & 0xffff);
    Put32(rec, honest_total);
    Put32(rec, offset);
    Put16(rec, len);
    for (std::uint32_t k = 0; k < len; ++k)
        rec.push_back(HonestByte(honest, offset + k));
}

// Honest fragments first .. first + count - 1 (those that exist), as many as fit one datagram;
// how many went.
int World::HonestDatagram(int first, int count) {
    std::vector<unsigned char> rec(1, 0);
    int n = 0;
    for (int i = first; i < first + count && i < Fragments() && n < 63; ++i) {
        const int len = static_cast<int>(honest_total) - i * fragment < fragment
                            ? static_cast<int>(honest_total) - i * fragment
                            : fragment;
        if (static_cast<int>(rec.size()) - 1 + kFragmentHead + len > kRoom) break;
        Honest(rec, i);
        ++n;
    }
    if (n == 0) return 0;
    rec[0] = static_cast<unsigned char>(n << 2);
    Send(rec);
    return n;
}

void World::NextBlock(std::uint32_t total) {
    ++honest;
    honest_total = total;
    next = 0;
    if (honest_totals.size() <= honest) honest_totals.resize(honest + 1, 0);
    honest_totals[honest] = total;
}

// Reads the input as it goes; an operand past the end reads as 0.
struct Reader {
    const std::uint8_t* data;
    std::size_t size, pos = 0;
    bool More() const { return pos < size; }
    unsigned Byte() { return pos < size ? data[pos++] : 0u; }
    unsigned Word() { return Byte() | Byte() << 8; }
    std::uint32_t Long() { return Word() | static_cast<std::uint32_t>(Word()) << 16; }
    const unsigned char* Bytes(std::size_t* n) {
        if (*n > size - pos) *n = size - pos;
        const unsigned char* p = data + pos;
        pos += *n;
        return p;
    }
};

void Hostile(World& w, Reader& in) {
    const unsigned modes = in.Byte(), modes2 = in.Byte();
    std::uint32_t block;
    switch (modes & 3) {
    case 0:
        block = w.honest;
        break;
    case 1: // near, either way
        block = w.honest + static_cast<std::int8_t>(in.Byte());
        break;
    case 2: // half the space away
        block = w.honest + 0x8000u + (in.Byte() & 1);
        break;
    default:
        block = in.Word();
        break;
    }
    std::uint32_t total;
    switch (modes >> 2 & 7) {
    case 0:
        total = w.honest_total;
        break;
    case 1:
        total = w.limit;
        break;
    case 2:
        total = w.limit + 1;
        break;
    case 3:
        total = CNetBlockStream::kMaxLimit;
        break;
    case 4:
        total = CNetBlockStream::kMaxLimit + 1u;
        break;
    case 5:
        total = 0;
        break;
    case 6:
        total = 1 + in.Word();
        break;
    default:
        total = in.Long();
        break;
    }
    const std::uint32_t raw = in.Long();
    std::uint32_t offset;
    switch (modes >> 5 & 7) {
    case 0: // inside, aligned
        offset = total ? (raw % total) & ~15u : 0;
        break;
    case 1: // inside, any alignment
        offset = total ? raw % total : 0;
        break;
    case 2: // at the end, or past it
        offset = total - (raw & 31);
        break;
    case 3:
        offset = total;
        break;
    case 4: // on honest seams
        offset = (raw % 64) * static_cast<std::uint32_t>(w.fragment);
        break;
    case 5:
        offset = 0;
        break;
    default:
        offset = raw;
        break;
    }
    std::uint32_t len;
    switch (modes2 & 3) {
    case 0:
        len = 16 * (1 + (modes2 >> 2));
        break;
    case 1: // the rest of the block
        len = total > offset ? total - offset : 1;
        break;
    case 2: // whatever it says
        len = in.Word();
        break;
    default: // short, unaligned
        len = 1 + (modes2 >> 2);
        break;
    }
    // The bytes that follow: the length may claim more than the datagram or the input holds.
    std::size_t have = len;
    const std::size_t room = kRoom - kFragmentHead;
    if (have > room) have = room;
    const unsigned char* bytes = in.Bytes(&have);
    std::vector<unsigned char> rec(1, 1 << 2);
    Put16(rec, block & 0xffff);
    Put32(rec, total);
    Put32(rec, offset);
    Put16(rec, len & 0xffff);
    rec.insert(rec.end(), bytes, bytes + have);
    const std::size_t at = w.hostile_bytes.size();
    w.hostile_bytes.insert(w.hostile_bytes.end(), bytes, bytes + have);
    if (have < len) w.hostile_bytes.push_back(0xff), ++have; // the terminator
    w.hostile.push_back({static_cast<std::uint16_t>(block), total, offset,
                         static_cast<std::uint32_t>(have), w.hostile_bytes.data() + at});
    w.Send(rec);
}

void Run(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return;
    static CNetDriver* target_driver = nullptr;
    static CNetDriver* peer_driver = nullptr;
    if (!target_driver) { // once per process: the local endpoints and their registry
        target_driver = GetSystemNetDriver(kNetDriverLocal, kTargetId);
        peer_driver = GetSystemNetDriver(kNetDriverLocal, kPeerId);
        target_driver->Init();
        peer_driver->Init();
    }
    CNetTime::m_time = 1000;
    Reader in{data, size};
    const unsigned setup = in.Byte();
    const std::size_t before = g_live;
    {
        World w(target_driver, peer_driver);
        w.limit = kLimits[setup & 3];
        w.fragment = kFragmentSizes[setup >> 2 & 3];
        // Reassembly holds the block and its bookkeeping: a bit per 16 bytes is a 128th; an
        // eighth and a page or sixteen cover any sensible layout.
        w.bound = w.limit + w.limit / 8 + 65536;
        const sockaddr_in peer = Local(kPeerId);
        w.out = new CNetBuf(target_driver, &peer);
        if (w.mgr.Init(target_driver, kPorts) != 1) Fail("Init", 0, 0);
        w.stream = new CCheckedStream(&w);
        w.mgr.SetPortA(kBlockPort, w.stream);
        w.mgr.InitPort(kBlockPort, -1);
        w.client = new CNetClient;
        w.client->m_send_buf = w.out;
        w.client->m_own_port = new CNetDataPort;
        w.client->m_own_port->m_object = new CNetReliable;
        if (w.mgr.AddClient(w.client, -1) < 0) Fail("AddClient", 0, 0);
        for (int p = 0; p < kPorts; ++p)
            w.client->m_refs[p].m_read_enabled = w.client->m_refs[p].m_write_enabled = true;
        if (w.stream->SetLimit(w.client, w.limit) != 1) Fail("SetLimit", w.limit, 0);
        // Nothing the harness keeps grows while the heap is watched.
        w.honest_totals.reserve(kMaxOps + 2);
        w.hostile.reserve(kMaxOps);
        w.hostile_bytes.reserve(kMaxOps * (kRoom + 1));
        w.honest = 0;
        w.NextBlock(1 + (setup >> 4) * 997 % (w.limit < kHonestMax ? w.limit : +kHonestMax));
        w.baseline = g_live;

        for (int ops = 0; ops < kMaxOps && in.More() && !w.Full(); ++ops) {
            const unsigned op = in.Byte();
            w.late = op & 0x80 ? 1 + static_cast<int>(op >> 3 & 7) : 0;
            switch (op & 7) {
            case 0: {
                const int n = 1 + static_cast<int>(in.Byte() % 64);
                w.HonestDatagram(static_cast<int>(w.next), n);
                w.next += static_cast<std::uint32_t>(n); // what did not fit counts as lost
                break;
            }
            case 1:
                w.HonestDatagram(static_cast<int>(in.Byte()) % w.Fragments(), 1);
                break;
            case 2:
                ++w.next;
                break;
            case 3: {
                const std::uint32_t total =
                    1 + in.Word() % (w.limit < kHonestMax ? w.limit : +kHonestMax);
                for (int i = 0, sent = 1; i < w.Fragments() && !w.Full() && sent > 0; i += sent)
                    sent = w.HonestDatagram(i, 63);
                w.NextBlock(total);
                break;
            }
            case 4:
                Hostile(w, in);
                break;
            case 5: {
                std::size_t n = in.Byte() % 128;
                const unsigned char* raw = in.Bytes(&n);
                w.Send(std::vector<unsigned char>(raw, raw + n));
                break;
            }
            case 6: {
                const unsigned reason = in.Byte();
                const std::uint32_t block = reason & 0x80 ? in.Word() : w.honest;
                std::vector<unsigned char> rec(1, 2); // a notice alone
                Put16(rec, block & 0xffff);
                rec.push_back(static_cast<unsigned char>(reason & 0x7f));
                w.Send(rec);
                break;
            }
            default:
                CNetTime::m_time += 4 * static_cast<int>(in.Byte());
                w.Frame();
                break;
            }
        }
        // The peer leaves: its client, and with it whatever it held in reassembly, goes.
        w.mgr.Release();
        delete w.out;
    }
    if (g_live != before) Fail("the heap kept bytes after the client went", g_live, before);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Run(data, size);
    return 0;
}

#ifdef PORTNET_FUZZ_STANDALONE

#include "FuzzReplay.h"

namespace {

using portnet_fuzz::Bytes;

// Seeds made by hand, one per kind of hostility, each around honest transfers.
int Capture(const std::filesystem::path& dir) {
    auto op = [](Bytes& b, std::initializer_list<unsigned> v) {
        for (unsigned x : v)
            b.push_back(static_cast<unsigned char>(x));
    };
    auto hostile = [&](Bytes& b, unsigned modes, unsigned modes2,
                       std::initializer_list<unsigned> operands, int payload) {
        op(b, {4, modes, modes2});
        op(b, operands);
        for (int i = 0; i < payload; ++i)
            b.push_back(static_cast<unsigned char>(0xa5 ^ i));
    };
    // Set-up 0x11: 64 KiB limit, 48-byte fragments, first block of 998 bytes.
    Bytes honest = {0x11};
    op(honest, {0, 10, 2, 0, 30, 1, 3, 3, 0x00, 0x10, 3, 0x34, 0x12, 7, 20});
    portnet_fuzz::Save(dir / "honest", honest);

    Bytes reordered = {0x15}; // 256-byte fragments
    op(reordered, {2, 0, 2, 1, 0, 7, 10, 1, 0, 0, 8, 3, 0x20, 0x00});
    portnet_fuzz::Save(dir / "reordered_and_lost", reordered);

    Bytes overlapping = {0x11};
    // Inside, unaligned, 32 bytes (mode2 0 with 1 << 2: two sixteens), then the honest rest.
    hostile(overlapping, 0 | 0 << 2 | 1 << 5, 1 << 2, {0x35, 0, 0, 0}, 32);
    hostile(overlapping, 0 | 0 << 2 | 4 << 5, 3 | 5 << 2, {3, 0, 0, 0}, 6);
    op(overlapping, {0, 63, 3, 0x00, 0x02});
    portnet_fuzz::Save(dir / "overlapping", overlapping);

    Bytes out_of_range = {0x11};
    hostile(out_of_range, 0 | 0 << 2 | 2 << 5, 0 | 3 << 2, {4, 0, 0, 0}, 64); // past the end
    hostile(out_of_range, 0 | 0 << 2 | 3 << 5, 0, {0, 0, 0, 0}, 16);          // at the end
    hostile(out_of_range, 0 | 0 << 2 | 6 << 5, 2, {0xf0, 0xff, 0xff, 0xff, 0x40, 0}, 64);
    op(out_of_range, {3, 0x10, 0x00});
    portnet_fuzz::Save(dir / "out_of_range", out_of_range);

    Bytes lying = {0x11};
    hostile(lying, 0 | 6 << 2 | 0 << 5, 0, {0x00, 0x01, 0, 0, 0, 0}, 16); // another total
    hostile(lying, 0 | 5 << 2 | 5 << 5, 0, {0, 0, 0, 0}, 16);             // total 0
    hostile(lying, 0 | 7 << 2 | 5 << 5, 0, {0xff, 0xff, 0xff, 0xff, 0, 0, 0, 0}, 16);
    op(lying, {0, 20, 3, 0x00, 0x04});
    portnet_fuzz::Save(dir / "totals_that_lie", lying);

    Bytes at_limit = {0x10};                                            // 4 KiB limit
    hostile(at_limit, 0 | 1 << 2 | 5 << 5, 59 << 2, {0, 0, 0, 0}, 960); // the limit, unfinished
    hostile(at_limit, 1 | 2 << 2 | 5 << 5, 0, {1, 0, 0, 0, 0}, 16);     // one past it, next block
    hostile(at_limit, 1 | 4 << 2 | 5 << 5, 0, {1, 0, 0, 0, 0}, 16);     // past the largest limit
    op(at_limit, {3, 0x00, 0x01, 7, 60});
    portnet_fuzz::Save(dir / "limit_sized_totals", at_limit);

    Bytes huge = {0x13}; // 16 MiB limit: one block of the largest size, a fragment of it
    hostile(huge, 0 | 1 << 2 | 0 << 5, 0 | 7 << 2, {0, 0, 0x80, 0}, 128);
    hostile(huge, 0 | 3 << 2 | 2 << 5, 3, {1, 0, 0, 0}, 4);
    op(huge, {0, 4, 7, 200});
    portnet_fuzz::Save(dir / "largest_limit", huge);

    Bytes far = {0x11};
    hostile(far, 1, 0, {100, 0, 0, 0, 0}, 16);  // far ahead
    hostile(far, 1, 0, {0x9c, 0, 0, 0, 0}, 16); // behind
    hostile(far, 2, 0, {0, 0, 0, 0, 0}, 16);    // half the number space away
    hostile(far, 3, 0, {0xff, 0xff, 0, 0, 0, 0}, 16);
    op(far, {0, 63, 3, 0x00, 0x01, 0, 63});
    portnet_fuzz::Save(dir / "numbers_far_off", far);

    Bytes cancel = {0x15};
    op(cancel, {0, 2, 6, 1, 0, 2, 6, 0x83, 0x07, 0x00, 3, 0x00, 0x08});
    portnet_fuzz::Save(dir / "cancelled_midway", cancel);

    Bytes late = {0x11}; // a lost fragment sent again in overtaken packets
    op(late, {0, 4, 2, 0, 4, 0x81, 5, 0x89, 4, 0x84, 0, 0, 0, 0, 0, 16, 0x80, 0, 5, 3, 0x00, 0x01});
    portnet_fuzz::Save(dir / "late_packets", late);

    Bytes raw = {0x11};
    op(raw, {5, 6, 0xff, 0x01, 0x02, 0x03, 0x04, 0x05}); // every section, cut short
    op(raw, {5, 9, 1, 1, 0, 0x10, 0, 0, 0, 0x81, 0});    // an acknowledgement claiming ranges
    op(raw, {0, 30});
    portnet_fuzz::Save(dir / "raw_records", raw);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    return portnet_fuzz::ReplayMain(argc, argv, Capture);
}

#endif
