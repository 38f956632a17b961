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

// What the frame leaves in a piece: this head, then its bytes, the whole a multiple of 8. It
// never leaves the process, so it is copied as it is.
enum : std::uint16_t { kEntryBlock = 0, kEntryIn = 1, kEntryOut = 2 };
struct SEntry {
    std::uint32_t m_size;  // head and bytes, padded
    std::uint16_t m_type;  // kEntry*
    std::uint16_t m_flags; // kPacketBroadcast
    std::int32_t m_result; // the driver's, of a sent datagram
    std::int32_t m_len;    // the bytes after the head
    std::uint64_t m_ts;    // microseconds
    CNetAddr m_peer;
};
static_assert(std::is_trivially_copyable<SEntry>::value, "copied as bytes");
const int kEntryHead = (static_cast<int>(sizeof(SEntry)) + 7) & ~7;

int EntrySize(int len) {
    return (kEntryHead + len + 7) & ~7;
}

// The largest block the writer makes from one entry: an enhanced packet block around the
// pseudo headers and the datagram, with both options.
const int kMaxBlock = 28 + kMaxPseudo + kMaxDatagram + 3 + 8 + 4 + kPacketOption + 8;
const int kOutBytes = 1 << 18; // the writer's file buffer beyond one largest block
const int kPollMs = 1;

} // namespace

struct CNetRecorder::SWriter {
    std::FILE* m_file = nullptr;
    unsigned char* m_raw = nullptr; // kPieces pieces of m_piece_bytes
    int m_piece_bytes = 0;
    int m_fill[kPieces] = {};       // bytes the frame left in each piece handed over
    unsigned char* m_out = nullptr; // pcapng blocks on their way to the file
    int m_out_used = 0;
    CNetAddr m_own; // set by the frame before it hands over any packet, then only read

    std::mutex m_lock;
    std::condition_variable m_work; // a piece handed over, or the end
    std::condition_variable m_room; // a piece written
    int m_pending = 0;              // pieces handed over and not yet written (locked)
    int m_next = 0;                 // the oldest of them (writer only)
    bool m_end = false;             // Close: write what is pending and stop (locked)
    std::thread m_thread;
    bool m_threaded = false;

    std::atomic<bool> m_failed{false};
    std::atomic<std::uint64_t> m_bytes{0};

    ~SWriter() {
        delete[] m_raw;
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
        for (int at = 0; at + kEntryHead <= fill && !m_failed.load(std::memory_order_relaxed);) {
            SEntry e;
            std::memcpy(&e, p + at, sizeof e);
            if (m_out_used > kOutBytes) Flush(); // room for a largest block remains
            m_out_used += e.m_type == kEntryBlock ? Copy(p + at + kEntryHead, e.m_len)
                                                  : Packet(e, p + at + kEntryHead);
            at += static_cast<int>(e.m_size);
        }
        Flush();
    }

    int Copy(const unsigned char* block, int len) {
        std::memcpy(m_out + m_out_used, block, static_cast<size_t>(len));
        return len;
    }

    // The enhanced packet block of a datagram: its bytes behind the pseudo headers, the
    // direction, and the portnet option where the pseudo headers cannot say all.
    int Packet(const SEntry& e, const unsigned char* bytes) {
        const bool inbound = e.m_type == kEntryIn;
        const bool broadcast = (e.m_flags & kPacketBroadcast) != 0;
        const int len = e.m_len;
        unsigned char pseudo[kMaxPseudo];
        bool option = false;
        const int head = inbound ? PseudoHeader(pseudo, e.m_peer, m_own, bytes, len, &option)
                                 : PseudoHeader(pseudo, m_own, e.m_peer, bytes, len, &option);
        option = option || e.m_result != 0 || broadcast;
        const int cap = head + len;
        const int total = 28 + Pad4(cap) + 8 + (option ? 4 + kPacketOption : 0) + 4 + 4;
        unsigned char* p = m_out + m_out_used;
        Put32(p, kEnhancedPacket);
        Put32(p + 4, static_cast<std::uint32_t>(total));
        Put32(p + 8, 0); // interface 0
        Put32(p + 12, static_cast<std::uint32_t>(e.m_ts >> 32));
        Put32(p + 16, static_cast<std::uint32_t>(e.m_ts));
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
            opt[4] = static_cast<unsigned char>(e.m_peer.IsLocal() ? kEndpointLocal : kEndpointIp);
            opt[5] = static_cast<unsigned char>(broadcast ? kPacketBroadcast : 0);
            Put16(opt + 6, 0);
            Put32(opt + 8, e.m_peer.ScopeId());
            Put32(opt + 12, static_cast<std::uint32_t>(e.m_result));
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
    w->m_piece_bytes = capacity / kPieces & ~7;
    w->m_raw = new (std::nothrow) unsigned char[static_cast<size_t>(w->m_piece_bytes) * kPieces];
    w->m_out = new (std::nothrow) unsigned char[static_cast<size_t>(kOutBytes + kMaxBlock)];
    if (w->m_raw != nullptr && w->m_out != nullptr) w->m_file = std::fopen(path, "wb");
    if (w->m_file == nullptr) {
        delete w;
        return;
    }
    // The writer's buffer is the only one: stdio's would copy every byte once more.
    std::setvbuf(w->m_file, nullptr, _IONBF, 0);
    try {
        w->m_thread = std::thread(&SWriter::Run, w);
        w->m_threaded = true;
    } catch (...) {
        w->m_threaded = false; // no thread to be had: the frame writes its pieces itself
    }
    m_writer = w;
    m_closed = false;
    m_start_us = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                                std::chrono::system_clock::now().time_since_epoch())
                                                .count());
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
    unsigned char* p = Block(shb_len);
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
    p = Block(idb_len);
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

unsigned char* CNetRecorder::Room(int n) {
    if (m_closed || m_stopped || n > m_writer->m_piece_bytes) return nullptr;
    if (m_used + n > m_writer->m_piece_bytes) {
        ++m_stats.m_full_flushes;
        if (!HandOver()) return nullptr;
    }
    unsigned char* p =
        m_writer->m_raw + static_cast<size_t>(m_piece) * m_writer->m_piece_bytes + m_used;
    m_used += n;
    return p;
}

unsigned char* CNetRecorder::Block(int len) {
    unsigned char* p = Room(EntrySize(len));
    if (p == nullptr) return nullptr;
    SEntry e{};
    e.m_size = static_cast<std::uint32_t>(EntrySize(len));
    e.m_type = kEntryBlock;
    e.m_len = len;
    std::memcpy(p, &e, sizeof e);
    return p + kEntryHead;
}

bool CNetRecorder::HandOver() {
    SWriter& w = *m_writer;
    if (m_used > 0) {
        ++m_stats.m_flushes;
        w.m_fill[m_piece] = m_used;
        m_used = 0;
        if (!w.m_threaded) {
            w.WritePiece(m_piece);
        } else {
            std::unique_lock<std::mutex> lock(w.m_lock);
            if (++w.m_pending >= kPieces - 1) w.m_work.notify_one();
            m_piece = (m_piece + 1) % kPieces;
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
    return !m_stopped;
}

void CNetRecorder::TakeCounts() {
    m_stats.m_bytes = m_writer->m_bytes.load(std::memory_order_relaxed);
    if (m_writer->m_failed.load(std::memory_order_relaxed)) {
        m_stats.m_write_failures = 1;
        m_stopped = true;
    }
}

std::uint64_t CNetRecorder::Stamp() {
    const int now = CNetTime::GetTime();
    if (!m_clock_seen) {
        m_clock_seen = true;
        // The session block goes first, once this side's address is known (after Init).
        CNetAddr own;
        char err[8];
        const char* text = m_inner ? m_inner->GetAddr() : nullptr;
        if (text == nullptr || CNetAddr::Parse(text, &own, err, sizeof err) != 1) own = CNetAddr();
        if (m_writer != nullptr) m_writer->m_own = own; // before any packet is handed over
        const int len = 12 + kSessionData + 4;
        if (unsigned char* p = Block(len)) {
            Put32(p, kCustomCopyable);
            Put32(p + 4, len);
            Put32(p + 8, kEnterprise);
            Put16(p + 12, kBlockSession);
            Put16(p + 14, 1); // format version
            PutEndpoint(p + 16, own);
            Put64(p + 40, m_start_us);
            Put32(p + 48, static_cast<std::uint32_t>(len));
        }
    } else if (portnet::WrapSub(now, m_last_clock) > 0) {
        m_elapsed_ms += static_cast<std::uint64_t>(portnet::WrapSub(now, m_last_clock));
    }
    m_last_clock = now;
    return m_start_us + m_elapsed_ms * 1000;
}

void CNetRecorder::Packet(bool inbound, const CNetAddr& peer, const void* data, int len, int result,
                          bool broadcast) {
    if (m_closed || m_stopped || len < 0 || len > kMaxDatagram || (len > 0 && data == nullptr))
        return;
    const std::uint64_t ts = Stamp();
    const int size = EntrySize(len);
    if (size > m_writer->m_piece_bytes) {
        ++m_stats.m_too_large;
        return;
    }
    unsigned char* p = Room(size);
    if (p == nullptr) return;
    // Field by field into the piece: a head put together on the stack and copied whole is
    // read back wider than it was written, which stalls the store.
    const auto size32 = static_cast<std::uint32_t>(size);
    const std::uint16_t type = inbound ? kEntryIn : kEntryOut;
    const std::uint16_t flags = broadcast ? kPacketBroadcast : 0;
    std::memcpy(p + offsetof(SEntry, m_size), &size32, sizeof size32);
    std::memcpy(p + offsetof(SEntry, m_type), &type, sizeof type);
    std::memcpy(p + offsetof(SEntry, m_flags), &flags, sizeof flags);
    std::memcpy(p + offsetof(SEntry, m_result), &result, sizeof result);
    std::memcpy(p + offsetof(SEntry, m_len), &len, sizeof len);
    std::memcpy(p + offsetof(SEntry, m_ts), &ts, sizeof ts);
    std::memcpy(p + offsetof(SEntry, m_peer), &peer, sizeof peer);
    if (len > 0) std::memcpy(p + kEntryHead, data, static_cast<size_t>(len));
    if (inbound) {
        ++m_stats.m_datagrams_in;
        ++m_frame_in;
    } else {
        ++m_stats.m_datagrams_out;
        ++m_frame_out;
    }
}

void CNetRecorder::Report(int kind, int result, const CNetAddr& peer) {
    if (m_closed || m_stopped) return;
    Stamp();
    const int len = 12 + kReportData + 4;
    unsigned char* p = Block(len);
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
    Stamp();
    const int len = 12 + kFrameData + 4;
    unsigned char* p = Block(len);
    if (p == nullptr) return -1;
    Put32(p, kCustomCopyable);
    Put32(p + 4, len);
    Put32(p + 8, kEnterprise);
    Put16(p + 12, kBlockFrame);
    Put16(p + 14, 0);
    Put32(p + 16, m_stats.m_frames);
    Put32(p + 20, static_cast<std::uint32_t>(CNetTime::GetTime()));
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
    if (m_used > m_writer->m_piece_bytes / 2 && !HandOver()) return -1;
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
    Packet(false, CNetAddr::FromSockaddrIn(*to), data, len, result, false);
    return result;
}

int CNetRecorder::Broadcast(int len, void* data, sockaddr_in* to) {
    if (m_inner == nullptr || to == nullptr) return -1;
    const int result = m_inner->Broadcast(len, data, to);
    Packet(false, CNetAddr::FromSockaddrIn(*to), data, len, result, true);
    return result;
}

int CNetRecorder::SendToAddr(int len, void* data, const CNetAddr& to) {
    if (m_inner == nullptr) return -1;
    if (!to.IsInet6()) return CNetDriver::SendToAddr(len, data, to); // through SendTo
    const int result = m_inner->SendToAddr(len, data, to);
    Packet(false, to, data, len, result, false);
    return result;
}

int CNetRecorder::BroadcastAddr(int len, void* data, const CNetAddr& to) {
    if (m_inner == nullptr) return -1;
    if (!to.IsInet6()) return CNetDriver::BroadcastAddr(len, data, to);
    const int result = m_inner->BroadcastAddr(len, data, to);
    Packet(false, to, data, len, result, true);
    return result;
}

int CNetRecorder::RecvFrom(int* len, void* buf, sockaddr_in* from) {
    if (m_inner == nullptr) return -1;
    const int result = m_inner->RecvFrom(len, buf, from);
    const bool datagram = result == 0 && len != nullptr && *len > 0;
    if (m_closed || m_stopped || (result == 0 && !datagram)) return result; // nothing to keep
    CNetAddr peer;
    if (from != nullptr && result != -1)
        peer = from->sin_family == kNetFamilyInet6 ? m_inner->LastSender()
                                                   : CNetAddr::FromSockaddrIn(*from);
    if (datagram)
        Packet(true, peer, buf, *len, 0, false);
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
