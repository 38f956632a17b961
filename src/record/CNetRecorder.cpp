// The recording driver: the frame copies each datagram as it came into a piece of a buffer made
// at construction; a writer thread makes the pcapng blocks from the pieces and writes the file
// (see docs/protocol.md, "Recording").
#include "portnet/CNetRecorder.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <type_traits>

#include "client/NetWrap.h"
#include "platform/PlatformCpu.h"
#include "portnet/CNetManager.h"
#include "portnet/CNetTime.h"
#include "record/RecordFormat.h"

using namespace portnet::record;

namespace {

const char kUserAppl[] = "portnet";
const char kIfName[] = "portnet";

// An option of pcapng: code, length, the value padded to 4 bytes. The bytes it took.
int PutOption(unsigned char* p, int code, const void* value, int len) {
    Put16(p, static_cast<std::uint32_t>(code));
    Put16(p + 2, static_cast<std::uint32_t>(len));
    std::memcpy(p + 4, value, static_cast<size_t>(len));
    std::memset(p + 4 + len, 0, static_cast<size_t>(Pad4(len) - len));
    return 4 + Pad4(len);
}

int TextLength(const char* text, int limit) {
    int n = 0;
    while (text != nullptr && text[n] != '\0' && n < limit)
        ++n;
    return n;
}

// What the frame leaves in a piece for each item, packed end to end (the writer reads it with
// memcpy; it never leaves the process):
//   u16 length of the bytes, u8 kEntry*, u8 kFlag*, i32 the library clock's reading,
//   a sent datagram: i32 the driver's result,
//   a datagram's peer: the family, port and address as the sockaddr_in held them (8 bytes),
//     or with kFlagWholePeer the CNetAddr (an IPv6 peer),
//   the bytes.
// The frame thread only copies: the time stamp is summed from the readings, and the peer made
// a CNetAddr, by the writer. A CNetAddr made on the frame's stack field by field and copied on
// whole stalled the store (the wide read cannot take the narrow writes still in flight).
enum : int { kEntryBlock = 0, kEntryIn = 1, kEntryOut = 2, kEntryClock = 3 };
enum : int { kFlagBroadcast = 1, kFlagWholePeer = 2, kFlagClock = 4 };
const int kHead = 8;
const int kShortPeer = 8;
const int kWholePeer = static_cast<int>(sizeof(CNetAddr));
static_assert(std::is_trivially_copyable<CNetAddr>::value, "copied as bytes");
static_assert(kMaxDatagram <= 0xffff, "a length fits the head's 16 bits");

void PutHead(unsigned char* p, int len, int type, int flags, int clock) {
    const auto len16 = static_cast<std::uint16_t>(len);
    std::memcpy(p, &len16, 2);
    p[2] = static_cast<unsigned char>(type);
    p[3] = static_cast<unsigned char>(flags);
    std::memcpy(p + 4, &clock, 4);
}

// The largest block the writer makes from one entry: an enhanced packet block around the
// pseudo headers and the datagram, with both options.
const int kMaxBlock = 28 + kMaxPseudo + kMaxDatagram + 3 + 8 + 4 + kPacketOption + 8;
const int kOutBytes = 1 << 18; // the writer's file buffer beyond one largest block
const int kPollMs = 1;
const int kPrefetchAhead = 256;
const int kLine = 64;

} // namespace

struct CNetRecorder::SWriter {
    // What the frame reads for every datagram, set at construction (m_own before the first
    // packet): a line of its own. When the writer's counters shared it, every datagram's copy
    // began by fetching the line back from the writer's core.
    unsigned char* m_raw = nullptr; // kPieces pieces of m_piece_bytes, each on lines of its own
    int m_piece_bytes = 0;          // a whole number of lines
    CNetAddr m_own; // set by the frame before it hands over any packet, then only read
    std::uint64_t m_start_us = 0; // set before the thread starts

    // The writer's own.
    alignas(64) std::FILE* m_file = nullptr;
    unsigned char* m_out = nullptr; // pcapng blocks on their way to the file
    int m_out_used = 0;
    std::uint64_t m_elapsed_ms = 0; // the readings summed from the first one
    int m_last_clock = 0;
    bool m_clock_seen = false;
    int m_next = 0; // the oldest piece handed over and not yet written

    // Shared at a hand-over.
    alignas(64) int m_fill[kPieces] = {}; // bytes the frame left in each piece handed over
    std::mutex m_lock;
    std::condition_variable m_work; // a piece handed over, or the end
    std::condition_variable m_room; // a piece written
    int m_pending = 0;              // pieces handed over and not yet written (locked)
    bool m_end = false;             // Close: write what is pending and stop (locked)
    std::thread m_thread;
    bool m_threaded = false;

    std::atomic<bool> m_failed{false};
    std::atomic<std::uint64_t> m_bytes{0};

    unsigned char* m_raw_block = nullptr; // m_raw's allocation

    ~SWriter() {
        delete[] m_raw_block;
        delete[] m_out;
    }

    // The writer looks for pieces every kPollMs rather than being woken for each: a wake is a
    // system call the frame would pay. It is woken when the pieces run short, and at the end.
    void Run() {
        std::unique_lock<std::mutex> lock(m_lock);
        for (;;) {
            if (m_pending == 0 && !m_end) m_work.wait_for(lock, std::chrono::milliseconds(kPollMs));
            if (m_pending == 0 && m_end) return;
            if (m_pending == 0) continue;
            const int piece = m_next;
            lock.unlock();
            WritePiece(piece);
            lock.lock();
            m_next = (m_next + 1) % kPieces;
            --m_pending;
            m_room.notify_one();
        }
    }

    void WritePiece(int piece) {
        const unsigned char* p = m_raw + static_cast<size_t>(piece) * m_piece_bytes;
        const int fill = m_fill[piece];
        for (int at = 0; at + kHead <= fill && !m_failed.load(std::memory_order_relaxed);) {
            std::uint16_t len16;
            std::memcpy(&len16, p + at, 2);
            const int len = len16, type = p[at + 2], flags = p[at + 3];
            int clock;
            std::memcpy(&clock, p + at + 4, 4);
            const std::uint64_t ts = (flags & kFlagClock) != 0 ? Reading(clock) : 0;
            const unsigned char* q = p + at + kHead;
            if (m_out_used > kOutBytes) Flush(); // room for a largest block remains
            if (type == kEntryBlock) {
                m_out_used += Copy(q, len);
            } else if (type == kEntryIn || type == kEntryOut) {
                int result = 0;
                if (type == kEntryOut) {
                    std::memcpy(&result, q, 4);
                    q += 4;
                }
                CNetAddr peer;
                if ((flags & kFlagWholePeer) != 0) {
                    std::memcpy(&peer, q, sizeof peer);
                    q += kWholePeer;
                } else {
                    sockaddr_in in;
                    std::memset(&in, 0, sizeof in);
                    std::uint16_t family, port;
                    std::memcpy(&family, q, 2);
                    std::memcpy(&port, q + 2, 2);
                    in.sin_family = family;
                    in.sin_port = port;
                    std::memcpy(&in.sin_addr, q + 4, 4);
                    peer = CNetAddr::FromSockaddrIn(in);
                    q += kShortPeer;
                }
                m_out_used += Packet(type == kEntryIn, (flags & kFlagBroadcast) != 0, result, ts,
                                     peer, q, len);
            }
            at = static_cast<int>(q - p) + (type == kEntryClock ? 0 : len);
        }
        Flush();
    }

    // The time stamp of a reading: the readings summed from the first, forward steps only, as
    // the frame took them.
    std::uint64_t Reading(int clock) {
        if (!m_clock_seen)
            m_clock_seen = true;
        else if (portnet::WrapSub(clock, m_last_clock) > 0)
            m_elapsed_ms += static_cast<std::uint64_t>(portnet::WrapSub(clock, m_last_clock));
        m_last_clock = clock;
        return m_start_us + m_elapsed_ms * 1000;
    }

    int Copy(const unsigned char* block, int len) {
        std::memcpy(m_out + m_out_used, block, static_cast<size_t>(len));
        return len;
    }

    // The enhanced packet block of a datagram: its bytes behind the pseudo headers, the
    // direction, and the portnet option where the pseudo headers cannot say all.
    int Packet(bool inbound, bool broadcast, int result, std::uint64_t ts, const CNetAddr& peer,
               const unsigned char* bytes, int len) {
        unsigned char pseudo[kMaxPseudo];
        bool option = false;
        const int head = inbound ? PseudoHeader(pseudo, peer, m_own, bytes, len, &option)
                                 : PseudoHeader(pseudo, m_own, peer, bytes, len, &option);
        option = option || result != 0 || broadcast;
        const int cap = head + len;
        const int total = 28 + Pad4(cap) + 8 + (option ? 4 + kPacketOption : 0) + 4 + 4;
        unsigned char* p = m_out + m_out_used;
        Put32(p, kEnhancedPacket);
        Put32(p + 4, static_cast<std::uint32_t>(total));
        Put32(p + 8, 0); // interface 0
        Put32(p + 12, static_cast<std::uint32_t>(ts >> 32));
        Put32(p + 16, static_cast<std::uint32_t>(ts));
        Put32(p + 20, static_cast<std::uint32_t>(cap));
        Put32(p + 24, static_cast<std::uint32_t>(cap));
        std::memcpy(p + 28, pseudo, static_cast<size_t>(head));
        if (len > 0) std::memcpy(p + 28 + head, bytes, static_cast<size_t>(len));
        int at = 28 + cap;
        while (at & 3)
            p[at++] = 0;
        unsigned char word[4];
        Put32(word, inbound ? 1 : 2);
        at += PutOption(p + at, kOptEpbFlags, word, 4);
        if (option) {
            unsigned char opt[kPacketOption];
            Put32(opt, kEnterprise);
            opt[4] = static_cast<unsigned char>(peer.IsLocal() ? kEndpointLocal : kEndpointIp);
            opt[5] = static_cast<unsigned char>(broadcast ? kPacketBroadcast : 0);
            Put16(opt + 6, 0);
            Put32(opt + 8, peer.ScopeId());
            Put32(opt + 12, static_cast<std::uint32_t>(result));
            at += PutOption(p + at, kOptCustomBinary, opt, kPacketOption);
        }
        Put32(p + at, 0);
        Put32(p + at + 4, static_cast<std::uint32_t>(total));
        return total;
    }

    void Flush() {
        const size_t n = static_cast<size_t>(m_out_used);
        m_out_used = 0;
        if (n == 0 || m_failed.load(std::memory_order_relaxed)) return;
        if (std::fwrite(m_out, 1, n, m_file) != n) {
            // A disk that refuses now is no better later: the recording ends here.
            m_failed.store(true, std::memory_order_relaxed);
            return;
        }
        m_bytes.fetch_add(n, std::memory_order_relaxed);
    }
};

CNetRecorder::CNetRecorder(CNetDriver* inner, const char* path, const char* note, int buffer_bytes)
    : m_inner(inner) {
    if (inner == nullptr || path == nullptr) return;
    const int capacity = buffer_bytes < kMinBufferBytes ? +kMinBufferBytes : buffer_bytes;
    auto* w = new (std::nothrow) SWriter;
    if (w == nullptr) return;
    // Pieces of whole lines from a line's start: the line where one piece ends and the next
    // begins would otherwise go back and forth between the writer reading the one and the
    // frame writing the other. A line more at the end takes the fetches ahead past the last.
    w->m_piece_bytes = capacity / kPieces & ~(kLine - 1);
    w->m_raw_block = new (
        std::nothrow) unsigned char[static_cast<size_t>(w->m_piece_bytes) * kPieces + 2 * kLine];
    if (w->m_raw_block != nullptr)
        w->m_raw = w->m_raw_block +
                   (kLine - reinterpret_cast<std::uintptr_t>(w->m_raw_block) % kLine) % kLine;
    w->m_out = new (std::nothrow) unsigned char[static_cast<size_t>(kOutBytes + kMaxBlock)];
    if (w->m_raw != nullptr && w->m_out != nullptr) w->m_file = std::fopen(path, "wb");
    if (w->m_file == nullptr) {
        delete w;
        return;
    }
    // The writer's buffer is the only one: stdio's would copy every byte once more.
    std::setvbuf(w->m_file, nullptr, _IONBF, 0);
    m_start_us = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                                std::chrono::system_clock::now().time_since_epoch())
                                                .count());
    w->m_start_us = m_start_us;
    try {
        w->m_thread = std::thread(&SWriter::Run, w);
        w->m_threaded = true;
    } catch (...) {
        w->m_threaded = false; // no thread to be had: the frame writes its pieces itself
    }
    m_writer = w;
    m_closed = false;
    m_fetch_owned = portnet::platform::CanPrefetchForWrite();
    Open(0);
    Header(note);
}

CNetRecorder::~CNetRecorder() {
    Close();
    delete m_writer;
}

void CNetRecorder::Header(const char* note) {
    // Section header: the byte-order magic written little-endian says how everything reads.
    const int note_len = TextLength(note, 4000);
    const int shb_len =
        24 + 4 + Pad4(sizeof kUserAppl - 1) + (note_len ? 4 + Pad4(note_len) : 0) + 4 + 4;
    unsigned char* p = Block(shb_len, 0, 0);
    if (p == nullptr) return;
    Put32(p, kSectionHeader);
    Put32(p + 4, static_cast<std::uint32_t>(shb_len));
    Put32(p + 8, kByteOrderMagic);
    Put16(p + 12, 1);
    Put16(p + 14, 0);
    Put64(p + 16, ~0ull); // section length not given
    int at = 24;
    at += PutOption(p + at, kOptShbUserAppl, kUserAppl, sizeof kUserAppl - 1);
    if (note_len) at += PutOption(p + at, kOptComment, note, note_len);
    Put32(p + at, 0); // end of options
    Put32(p + at + 4, static_cast<std::uint32_t>(shb_len));

    // One interface of raw IP, time stamps in microseconds.
    const int idb_len = 16 + 4 + Pad4(sizeof kIfName - 1) + 8 + 4 + 4;
    p = Block(idb_len, 0, 0);
    if (p == nullptr) return;
    Put32(p, kInterfaceDescription);
    Put32(p + 4, static_cast<std::uint32_t>(idb_len));
    Put16(p + 8, kLinkTypeRaw);
    Put16(p + 10, 0);
    Put32(p + 12, 0); // no snapshot limit
    at = 16;
    at += PutOption(p + at, kOptIfName, kIfName, sizeof kIfName - 1);
    const unsigned char resolution = 6; // 10^-6 s
    at += PutOption(p + at, kOptIfTsresol, &resolution, 1);
    Put32(p + at, 0);
    Put32(p + at + 4, static_cast<std::uint32_t>(idb_len));
}

void CNetRecorder::Open(int piece) {
    m_piece = piece;
    m_at = m_writer->m_raw + static_cast<size_t>(piece) * m_writer->m_piece_bytes;
    m_limit = m_at + m_writer->m_piece_bytes;
    m_fetch = m_at;
}

// Every datagram passes here: one comparison, and nothing read from the writer's lines.
inline unsigned char* CNetRecorder::Room(int n) {
    if (m_limit - m_at < n) return RoomSlow(n);
    unsigned char* const p = m_at;
    m_at += n;
    // Every line a few datagrams on is fetched for writing now, each once: the writer's core
    // read it last, and a copy that waits for each line, or fetches it to read and then again
    // to write, costs more than the copying.
    unsigned char* const ahead = m_limit - m_at > kPrefetchAhead ? m_at + kPrefetchAhead : m_limit;
    for (; m_fetch < ahead; m_fetch += kLine)
        portnet::platform::PrefetchLineForWrite(m_fetch, m_fetch_owned);
    return p;
}

unsigned char* CNetRecorder::RoomSlow(int n) {
    if (m_closed || m_stopped || n > m_writer->m_piece_bytes) return nullptr;
    ++m_stats.m_full_flushes;
    if (!HandOver()) return nullptr;
    return Room(n); // a fresh piece: n fits
}

unsigned char* CNetRecorder::Block(int len, int flags, int clock) {
    unsigned char* p = Room(kHead + len);
    if (p == nullptr) return nullptr;
    PutHead(p, len, kEntryBlock, flags, clock);
    return p + kHead;
}

bool CNetRecorder::HandOver() {
    SWriter& w = *m_writer;
    const int used =
        static_cast<int>(m_at - (w.m_raw + static_cast<size_t>(m_piece) * w.m_piece_bytes));
    if (used > 0) {
        ++m_stats.m_flushes;
        w.m_fill[m_piece] = used;
        if (!w.m_threaded) {
            w.WritePiece(m_piece);
            Open(m_piece);
        } else {
            std::unique_lock<std::mutex> lock(w.m_lock);
            if (++w.m_pending >= kPieces - 1) w.m_work.notify_one();
            Open((m_piece + 1) % kPieces);
            if (w.m_pending == kPieces) {
                // Every piece waits for the disk: this frame waits for one of them.
                const auto start = std::chrono::steady_clock::now();
                while (w.m_pending == kPieces)
                    w.m_room.wait(lock);
                ++m_stats.m_stalls;
                m_stats.m_stall_us += static_cast<std::uint64_t>(
                    std::chrono::duration_cast<std::chrono::microseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count());
            }
        }
    }
    if (w.m_failed.load(std::memory_order_relaxed)) m_stopped = true;
    if (m_stopped) m_limit = m_at;
    return !m_stopped;
}

void CNetRecorder::TakeCounts() {
    m_stats.m_bytes = m_writer->m_bytes.load(std::memory_order_relaxed);
    if (m_writer->m_failed.load(std::memory_order_relaxed)) {
        m_stats.m_write_failures = 1;
        m_stopped = true;
        m_limit = m_at;
    }
}

inline int CNetRecorder::Clock() {
    return m_clock_seen ? CNetTime::m_time : FirstClock(); // GetTime's reading, without a call
}

int CNetRecorder::FirstClock() {
    const int now = CNetTime::GetTime();
    m_clock_seen = true;
    // The session block goes first, once this side's address is known (after Init).
    CNetAddr own;
    char err[8];
    const char* text = m_inner ? m_inner->GetAddr() : nullptr;
    if (text == nullptr || CNetAddr::Parse(text, &own, err, sizeof err) != 1) own = CNetAddr();
    if (m_writer != nullptr) m_writer->m_own = own; // before any packet is handed over
    const int len = 12 + kSessionData + 4;
    if (unsigned char* p = Block(len, kFlagClock, now)) {
        Put32(p, kCustomCopyable);
        Put32(p + 4, len);
        Put32(p + 8, kEnterprise);
        Put16(p + 12, kBlockSession);
        Put16(p + 14, 1); // format version
        PutEndpoint(p + 16, own);
        Put64(p + 40, m_start_us);
        Put32(p + 48, static_cast<std::uint32_t>(len));
    }
    return now;
}

void CNetRecorder::Packet(int type, int flags, const sockaddr_in* in, const CNetAddr* whole,
                          const void* data, int len, int result) {
    if (m_closed || m_stopped || len < 0 || len > kMaxDatagram || (len > 0 && data == nullptr))
        return;
    const int clock = Clock();
    if (in == nullptr) flags |= kFlagWholePeer;
    const int size =
        kHead + (type == kEntryOut ? 4 : 0) + (in != nullptr ? kShortPeer : kWholePeer) + len;
    if (size > m_writer->m_piece_bytes) {
        ++m_stats.m_too_large;
        // Its reading still counts towards the time stamps, as if it had been recorded.
        if (unsigned char* p = Room(kHead)) PutHead(p, 0, kEntryClock, kFlagClock, clock);
        return;
    }
    unsigned char* p = Room(size);
    if (p == nullptr) return;
    PutHead(p, len, type, flags | kFlagClock, clock);
    p += kHead;
    if (type == kEntryOut) {
        std::memcpy(p, &result, 4);
        p += 4;
    }
    if (in != nullptr) {
        // Field by field, as the driver wrote them: no wider read of what it just stored.
        const std::uint16_t family = in->sin_family, port = in->sin_port;
        std::memcpy(p, &family, 2);
        std::memcpy(p + 2, &port, 2);
        std::memcpy(p + 4, &in->sin_addr, 4);
        p += kShortPeer;
    } else {
        std::memcpy(p, whole, sizeof *whole);
        p += kWholePeer;
    }
    if (len > 0) std::memcpy(p, data, static_cast<size_t>(len));
    if (type == kEntryIn) {
        ++m_stats.m_datagrams_in;
        ++m_frame_in;
    } else {
        ++m_stats.m_datagrams_out;
        ++m_frame_out;
    }
}

void CNetRecorder::Report(int kind, int result, const CNetAddr& peer) {
    if (m_closed || m_stopped) return;
    const int clock = Clock();
    const int len = 12 + kReportData + 4;
    unsigned char* p = Block(len, kFlagClock, clock);
    if (p == nullptr) return;
    Put32(p, kCustomCopyable);
    Put32(p + 4, len);
    Put32(p + 8, kEnterprise);
    Put16(p + 12, static_cast<std::uint32_t>(kind));
    Put16(p + 14, 0);
    Put32(p + 16, static_cast<std::uint32_t>(result));
    PutEndpoint(p + 20, peer);
    Put32(p + 44, static_cast<std::uint32_t>(len));
    ++m_stats.m_reports;
}

void CNetRecorder::Attach(CNetManager* manager) {
    if (m_manager != nullptr && m_manager->m_frame_hash == &m_hash)
        m_manager->m_frame_hash = nullptr;
    m_manager = manager;
    m_hash.Reset();
    if (manager != nullptr) manager->m_frame_hash = &m_hash;
}

int CNetRecorder::EndFrame() {
    if (m_closed || m_stopped) return -1;
    const int clock = Clock();
    const int len = 12 + kFrameData + 4;
    unsigned char* p = Block(len, kFlagClock, clock);
    if (p == nullptr) return -1;
    Put32(p, kCustomCopyable);
    Put32(p + 4, len);
    Put32(p + 8, kEnterprise);
    Put16(p + 12, kBlockFrame);
    Put16(p + 14, 0);
    Put32(p + 16, m_stats.m_frames);
    Put32(p + 20, static_cast<std::uint32_t>(clock));
    Put32(p + 24, m_hash.Items());
    Put64(p + 28, m_hash.Value());
    Put32(p + 36, m_frame_in);
    Put32(p + 40, m_frame_out);
    Put32(p + 44, 0);
    Put32(p + 48, static_cast<std::uint32_t>(len));
    ++m_stats.m_frames;
    m_frame_in = m_frame_out = 0;
    m_hash.Reset();
    // Whole frames to the writer where they fit: a piece more than half full goes now.
    if (m_limit - m_at < m_writer->m_piece_bytes / 2 && !HandOver()) return -1;
    TakeCounts();
    return m_stopped ? -1 : 1;
}

int CNetRecorder::Close() {
    if (m_closed) return m_stats.m_write_failures ? -1 : 1;
    SWriter& w = *m_writer;
    if (!m_stopped) HandOver();
    if (w.m_threaded) {
        {
            std::lock_guard<std::mutex> lock(w.m_lock);
            w.m_end = true;
        }
        w.m_work.notify_one();
        w.m_thread.join();
        w.m_threaded = false;
    }
    m_closed = true;
    m_limit = m_at;
    if (std::fclose(w.m_file) != 0) w.m_failed.store(true, std::memory_order_relaxed);
    w.m_file = nullptr;
    TakeCounts();
    return m_stats.m_write_failures ? -1 : 1;
}

int CNetRecorder::SetBlockMode(bool non_blocking) {
    return m_inner ? m_inner->SetBlockMode(non_blocking) : -1;
}
int CNetRecorder::MakeBroadcastCapable() {
    if (m_inner == nullptr || m_inner->MakeBroadcastCapable() == -1) return -1;
    m_broadcast_capable = true;
    return 0;
}
int CNetRecorder::Init() {
    return m_inner ? m_inner->Init() : -1;
}
int CNetRecorder::Shutdown() {
    return m_inner ? m_inner->Shutdown() : -1;
}
int CNetRecorder::Connected(sockaddr_in* peer) {
    return m_inner ? m_inner->Connected(peer) : 0;
}
int CNetRecorder::Disconnected(sockaddr_in* peer) {
    return m_inner ? m_inner->Disconnected(peer) : kNetEventDisconnect;
}
char* CNetRecorder::GetAddr() {
    return m_inner ? m_inner->GetAddr() : nullptr;
}

int CNetRecorder::SendTo(int len, void* data, sockaddr_in* to) {
    if (m_inner == nullptr || to == nullptr) return -1;
    const int result = m_inner->SendTo(len, data, to);
    Packet(kEntryOut, 0, to, nullptr, data, len, result);
    return result;
}

int CNetRecorder::Broadcast(int len, void* data, sockaddr_in* to) {
    if (m_inner == nullptr || to == nullptr) return -1;
    const int result = m_inner->Broadcast(len, data, to);
    Packet(kEntryOut, kFlagBroadcast, to, nullptr, data, len, result);
    return result;
}

int CNetRecorder::SendToAddr(int len, void* data, const CNetAddr& to) {
    if (m_inner == nullptr) return -1;
    if (!to.IsInet6()) return CNetDriver::SendToAddr(len, data, to); // through SendTo
    const int result = m_inner->SendToAddr(len, data, to);
    Packet(kEntryOut, 0, nullptr, &to, data, len, result);
    return result;
}

int CNetRecorder::BroadcastAddr(int len, void* data, const CNetAddr& to) {
    if (m_inner == nullptr) return -1;
    if (!to.IsInet6()) return CNetDriver::BroadcastAddr(len, data, to);
    const int result = m_inner->BroadcastAddr(len, data, to);
    Packet(kEntryOut, kFlagBroadcast, nullptr, &to, data, len, result);
    return result;
}

int CNetRecorder::RecvFrom(int* len, void* buf, sockaddr_in* from) {
    if (m_inner == nullptr) return -1;
    const int result = m_inner->RecvFrom(len, buf, from);
    const bool datagram = result == 0 && len != nullptr && *len > 0;
    if (m_closed || m_stopped || (result == 0 && !datagram)) return result; // nothing to keep
    const bool v4 = from != nullptr && from->sin_family != kNetFamilyInet6;
    if (datagram && v4) {
        Packet(kEntryIn, 0, from, nullptr, buf, *len, 0); // the common case: no CNetAddr made
        return result;
    }
    CNetAddr peer;
    if (from != nullptr && result != -1)
        peer = v4 ? CNetAddr::FromSockaddrIn(*from) : m_inner->LastSender();
    if (datagram)
        Packet(kEntryIn, 0, nullptr, &peer, buf, *len, 0);
    else
        Report(kBlockReceiveReport, result, peer);
    return result;
}

int CNetRecorder::HoldSends() {
    return m_inner ? m_inner->HoldSends() : 0;
}

int CNetRecorder::FlushSends() {
    const int result = m_inner ? m_inner->FlushSends() : 0;
    if (result != 0) Report(kBlockFlushRefused, result, CNetAddr());
    return result;
}

int CNetRecorder::GetPeerIdentity(const sockaddr_in* peer, SNetPeerIdentity* out) {
    return m_inner ? m_inner->GetPeerIdentity(peer, out) : CNetDriver::GetPeerIdentity(peer, out);
}
int CNetRecorder::GetGoneReason(const sockaddr_in* peer) {
    return m_inner ? m_inner->GetGoneReason(peer) : CNetDriver::GetGoneReason(peer);
}
int CNetRecorder::ExpectPeers(int peers) {
    return m_inner ? m_inner->ExpectPeers(peers) : 0;
}
int CNetRecorder::ConnectedAddr(const CNetAddr& peer) {
    return m_inner ? m_inner->ConnectedAddr(peer) : 0;
}
int CNetRecorder::DisconnectedAddr(const CNetAddr& peer) {
    return m_inner ? m_inner->DisconnectedAddr(peer) : kNetEventDisconnect;
}
int CNetRecorder::GetPeerIdentityAddr(const CNetAddr& peer, SNetPeerIdentity* out) {
    return m_inner ? m_inner->GetPeerIdentityAddr(peer, out)
                   : CNetDriver::GetPeerIdentityAddr(peer, out);
}
int CNetRecorder::GetGoneReasonAddr(const CNetAddr& peer) {
    return m_inner ? m_inner->GetGoneReasonAddr(peer) : CNetDriver::GetGoneReasonAddr(peer);
}
CNetAddr CNetRecorder::LastSender() const {
    return m_inner ? m_inner->LastSender() : CNetAddr();
}
