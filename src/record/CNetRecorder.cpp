// The recording driver: pcapng blocks written into a buffer made at construction, and the file
// written from it in large pieces (see docs/protocol.md, "Recording").
#include "portnet/CNetRecorder.h"

#include <chrono>
#include <cstring>
#include <new>

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

} // namespace

CNetRecorder::CNetRecorder(CNetDriver* inner, const char* path, const char* note, int buffer_bytes)
    : m_inner(inner) {
    m_capacity = buffer_bytes < kMinBufferBytes ? +kMinBufferBytes : buffer_bytes;
    m_buf = new (std::nothrow) unsigned char[static_cast<size_t>(m_capacity)];
    if (m_buf == nullptr || inner == nullptr || path == nullptr) return;
    m_file = std::fopen(path, "wb");
    if (m_file == nullptr) return;
    // Our buffer is the only one: stdio's would copy every byte once more.
    std::setvbuf(m_file, nullptr, _IONBF, 0);
    m_start_us = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                                std::chrono::system_clock::now().time_since_epoch())
                                                .count());
    Header(note);
}

CNetRecorder::~CNetRecorder() {
    Close();
    delete[] m_buf;
}

void CNetRecorder::Header(const char* note) {
    // Section header: the byte-order magic written little-endian says how everything reads.
    const int note_len = TextLength(note, 4000);
    const int shb_len =
        24 + 4 + Pad4(sizeof kUserAppl - 1) + (note_len ? 4 + Pad4(note_len) : 0) + 4 + 4;
    unsigned char* p = Room(shb_len);
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
    p = Room(idb_len);
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
    if (m_file == nullptr || m_buf == nullptr || n > m_capacity) return nullptr;
    if (m_used + n > m_capacity) {
        ++m_stats.m_full_flushes;
        if (!Flush()) return nullptr;
    }
    unsigned char* p = m_buf + m_used;
    m_used += n;
    return p;
}

bool CNetRecorder::Flush() {
    if (m_file == nullptr) return false;
    if (m_used == 0) return true;
    ++m_stats.m_flushes;
    const size_t n = static_cast<size_t>(m_used);
    m_used = 0;
    if (std::fwrite(m_buf, 1, n, m_file) != n) {
        // A disk that refuses now is no better next frame: the recording ends here.
        ++m_stats.m_write_failures;
        std::fclose(m_file);
        m_file = nullptr;
        return false;
    }
    m_stats.m_bytes += n;
    return true;
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
        m_own = own;
        const int len = 12 + kSessionData + 4;
        if (unsigned char* p = Room(len)) {
            Put32(p, kCustomCopyable);
            Put32(p + 4, len);
            Put32(p + 8, kEnterprise);
            Put16(p + 12, kBlockSession);
            Put16(p + 14, 1); // format version
            PutEndpoint(p + 16, m_own);
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
    if (m_file == nullptr || len < 0 || len > kMaxDatagram || (len > 0 && data == nullptr)) return;
    const std::uint64_t ts = Stamp();
    unsigned char pseudo[kMaxPseudo];
    bool option = false;
    const auto* bytes = static_cast<const unsigned char*>(data);
    const int head = inbound ? PseudoHeader(pseudo, peer, m_own, bytes, len, &option)
                             : PseudoHeader(pseudo, m_own, peer, bytes, len, &option);
    option = option || result != 0 || broadcast;
    const int cap = head + len;
    const int total = 28 + Pad4(cap) + 8 + (option ? 4 + kPacketOption : 0) + 4 + 4;
    if (total > m_capacity) {
        ++m_stats.m_too_large;
        return;
    }
    unsigned char* p = Room(total);
    if (p == nullptr) return;
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
    const std::uint32_t direction = inbound ? 1 : 2;
    unsigned char word[4];
    Put32(word, direction);
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
    if (inbound) {
        ++m_stats.m_datagrams_in;
        ++m_frame_in;
    } else {
        ++m_stats.m_datagrams_out;
        ++m_frame_out;
    }
}

void CNetRecorder::Report(int kind, int result, const CNetAddr& peer) {
    if (m_file == nullptr) return;
    Stamp();
    const int len = 12 + kReportData + 4;
    unsigned char* p = Room(len);
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
    if (m_file == nullptr) return -1;
    Stamp();
    const int len = 12 + kFrameData + 4;
    unsigned char* p = Room(len);
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
    if (m_used > m_capacity / 2 && !Flush()) return -1;
    return 1;
}

int CNetRecorder::Close() {
    if (m_file == nullptr) return m_stats.m_write_failures ? -1 : 1;
    const bool ok = Flush() && m_file != nullptr;
    if (m_file != nullptr && std::fclose(m_file) != 0) {
        ++m_stats.m_write_failures;
        m_file = nullptr;
        return -1;
    }
    m_file = nullptr;
    return ok ? 1 : -1;
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
    CNetAddr peer;
    if (from != nullptr && result != -1)
        peer = from->sin_family == kNetFamilyInet6 ? m_inner->LastSender()
                                                   : CNetAddr::FromSockaddrIn(*from);
    if (result == 0 && len != nullptr && *len > 0)
        Packet(true, peer, buf, *len, 0, false);
    else if (result != 0)
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
