#pragma once

#include <cstdint>

#include "CNetDriver.h"
#include "CNetFrameHash.h"

class CNetManager;

// What a recorder did, for the host to show; all count since the recorder was made.
struct PORTNET_API SNetRecorderStats {
    std::uint32_t m_frames = 0;        // frames ended (EndFrame)
    std::uint32_t m_datagrams_in = 0;  // received datagrams recorded
    std::uint32_t m_datagrams_out = 0; // sent datagrams recorded
    std::uint32_t m_reports = 0;       // the driver's receive reports (peer gone, errors)
    std::uint64_t m_bytes = 0;         // bytes written to the file (as of the last EndFrame)
    std::uint32_t m_flushes = 0;       // pieces of the buffer handed to the writer
    std::uint32_t m_full_flushes = 0;  // of them, handed within a frame because a block had no room
    std::uint32_t m_too_large = 0;     // datagrams larger than a piece of the buffer: not recorded
    std::uint32_t m_write_failures = 0; // failed writes; the recording stopped at the first
    std::uint32_t m_stalls = 0;         // times the frame waited for the writer (all pieces full)
    std::uint64_t m_stall_us = 0;       // microseconds it waited, all told
};

// Wraps any driver and records, into a pcapng file that Wireshark opens as it is, every
// datagram the manager above sends and receives, the driver's reports, and at the end of
// every frame the library clock's reading and a hash of what the manager delivered (see
// CNetFrameHash). CNetReplayDriver plays such a recording back. The layout is in
// docs/protocol.md, "Recording".
//
// The frame pays for little: each datagram is copied as it came (time, direction, peer,
// result, bytes) into a buffer made at construction, in four pieces. A piece goes to a writer
// thread when EndFrame finds it more than half full, or when a block finds no room in it
// (m_full_flushes); the writer makes the pcapng blocks (the made-up IP and UDP headers and
// their checksums) and writes the file while the frames go on in the other pieces. A writer
// that falls behind makes the frame wait for a free piece (m_stalls, m_stall_us): nothing is
// dropped, as a replay needs every datagram. Where no thread can be started the pieces are
// written within the frame. A failed write stops the recording (the session goes on;
// EndFrame returns -1 and m_write_failures says so); Close writes what is left and waits for
// the writer.
class PORTNET_API CNetRecorder : public CNetDriver {
public:
    // The buffer is cut into kPieces pieces; a datagram longer than a piece is not recorded.
    enum : int { kDefaultBufferBytes = 1 << 20, kMinBufferBytes = 1 << 18, kPieces = 4 };

    // Wraps inner (not owned: the host destroys it after this one) and creates the file at
    // path, with note (may be null) as the recording's comment: a host writes what it needs
    // to set itself up again for a replay (the demo writes its options). buffer_bytes is
    // raised to kMinBufferBytes. IsReady says whether the file and buffer were made.
    CNetRecorder(CNetDriver* inner, const char* path, const char* note = nullptr,
                 int buffer_bytes = kDefaultBufferBytes);
    ~CNetRecorder() override; // closes

    bool IsReady() const { return m_writer != nullptr && !m_closed && !m_stopped; }

    // Hashes what manager delivers from now on (sets its m_frame_hash); null detaches. A
    // manager that outlives this driver is detached first (its hash would dangle).
    void Attach(CNetManager* manager);
    // Ends the frame: writes the clock's reading (CNetTime::GetTime), the frame's hash and
    // its counts, and starts the next frame's hash. The host calls it once a frame, after the
    // manager's EndFrame. 1, or -1 when the recording has stopped or is closed.
    int EndFrame();
    // Hands over what the buffer holds, waits for the writer to write it and closes the file:
    // 1, or -1 when a write failed (then or before). Datagrams pass through unrecorded
    // afterwards.
    int Close();

    // Forwarded to the wrapped driver, recording what passes.
    int SetBlockMode(bool non_blocking) override;
    int MakeBroadcastCapable() override;
    int Init() override;
    int Shutdown() override;
    int Connected(sockaddr_in* peer) override;
    int Disconnected(sockaddr_in* peer) override;
    char* GetAddr() override;
    int SendTo(int len, void* data, sockaddr_in* to) override;
    int RecvFrom(int* len, void* buf, sockaddr_in* from) override;
    int Broadcast(int len, void* data, sockaddr_in* to) override;
    int HoldSends() override;
    int FlushSends() override;
    int GetPeerIdentity(const sockaddr_in* peer, SNetPeerIdentity* out) override;
    int GetGoneReason(const sockaddr_in* peer) override;
    int ExpectPeers(int peers) override;
    int SendToAddr(int len, void* data, const CNetAddr& to) override;
    int BroadcastAddr(int len, void* data, const CNetAddr& to) override;
    int ConnectedAddr(const CNetAddr& peer) override;
    int DisconnectedAddr(const CNetAddr& peer) override;
    int GetPeerIdentityAddr(const CNetAddr& peer, SNetPeerIdentity* out) override;
    int GetGoneReasonAddr(const CNetAddr& peer) override;
    CNetAddr LastSender() const override;

    SNetRecorderStats m_stats;
    CNetFrameHash m_hash; // the current frame's

private:
    struct SWriter; // the buffer's pieces, the file and the writer thread

    // A datagram's entry (kEntry*, kFlag* in the source); its peer as the sockaddr_in holds
    // it, or else whole.
    void Packet(int type, int flags, const sockaddr_in* in, const CNetAddr* whole, const void* data,
                int len, int result);
    void Report(int kind, int result, const CNetAddr& peer);
    unsigned char* Block(int len, int flags, int clock); // room for a finished pcapng block
    unsigned char* Room(int n);     // n bytes in the current piece, handing it over first if full
    unsigned char* RoomSlow(int n); // Room where the current piece has no room, or none is open
    void Open(int piece);           // the frame writes into piece from its start
    bool HandOver();                // the current piece to the writer: false once stopped
    void TakeCounts();              // the writer's counts into m_stats
    int Clock(); // the library clock's reading now (the first also writes the session block)
    int FirstClock();
    void Header(const char* note);

    CNetDriver* m_inner;
    SWriter* m_writer = nullptr;
    int m_piece = 0; // the piece the frame writes into
    // Where the next entry goes, the piece's end, and the first of its bytes not yet fetched
    // for writing. m_limit is m_at while nothing may be written (closed, stopped, never
    // opened), so that one comparison sends every entry that cannot go in to the slow path.
    unsigned char* m_at = nullptr;
    unsigned char* m_limit = nullptr;
    unsigned char* m_fetch = nullptr;
    bool m_fetch_owned = false; // the machine fetches lines for writing (prefetchw)
    bool m_closed = true;       // or never opened
    bool m_stopped = false;
    CNetManager* m_manager = nullptr;
    std::uint64_t m_start_us = 0; // UTC microseconds when the recording began
    bool m_clock_seen = false;
    std::uint32_t m_frame_in = 0, m_frame_out = 0;
};
