#pragma once

#include <cstdint>
#include <cstdio>

#include "CNetDriver.h"
#include "CNetFrameHash.h"

class CNetManager;

// What a replay found; all count since the recording was opened.
struct PORTNET_API SNetReplayStats {
    std::uint32_t m_frames = 0;          // frames ended (EndFrame)
    std::uint32_t m_diverged_frames = 0; // of them, frames that differed from the recording
    std::uint32_t m_datagrams_in = 0;    // recorded datagrams handed to the manager
    std::uint32_t m_datagrams_out = 0;   // datagrams the manager sent
    std::uint32_t m_sends_differing = 0; // of them, not the datagram recorded (or none was)
    std::uint32_t m_sends_missing = 0;   // recorded datagrams the manager did not send
    std::uint32_t m_unread = 0;          // recorded datagrams and reports it did not take
};

// Plays a recording of CNetRecorder back into a manager: the driver hands the manager, frame
// by frame, what the recorded driver received (datagrams and reports, with their senders),
// takes what it sends and compares it with what was sent then, and serves the library clock
// the readings recorded (UseClock). EndFrame compares the hash of what the manager delivered
// with the recorded one; the first frame that differs in anything is kept
// (FirstDivergingFrame), with what differed.
//
// The host sets itself up as it did when recording (the recording's note is for that), then
//     while (replay.NextFrame() == 1) { CNetTime::Update(); ...the frame...; replay.EndFrame(); }
// Reading needs one buffer, made at construction, that holds a whole frame's blocks; nothing
// is allocated per frame.
class PORTNET_API CNetReplayDriver : public CNetDriver {
public:
    enum : int { kDefaultBufferBytes = 1 << 20, kMinBufferBytes = 1 << 16 };
    // What differed in a frame (bits of FirstDivergence).
    enum : int {
        kDivergedHash = 1,   // the hash of what the manager delivered
        kDivergedSends = 2,  // what it sent
        kDivergedUnread = 4, // it took fewer of the recorded datagrams
    };

    // Opens the recording at path and reads its header; IsReady says whether that worked
    // (else GetError says why).
    explicit CNetReplayDriver(const char* path, int buffer_bytes = kDefaultBufferBytes);
    ~CNetReplayDriver() override;

    bool IsReady() const { return m_file != nullptr && m_error[0] == '\0'; }
    // Why the recording could not be opened or read on; empty while all is well.
    const char* GetError() const { return m_error; }
    // The note the recorder was given; empty when none.
    const char* GetNote() const { return m_note; }

    // Hashes what manager delivers from now on (sets its m_frame_hash); null detaches. A
    // manager that outlives this driver is detached first (its hash would dangle).
    void Attach(CNetManager* manager);
    // Makes CNetTime read the recorded clock (through CNetTime::m_timer_proc): each
    // CNetTime::Update then reads the loaded frame's recorded reading. One replay holds the
    // clock at a time; CNetTime::Init, or this replay's destruction, gives it back.
    void UseClock();
    // Loads the next recorded frame: 1; 0 at the end of the recording; -1 when the recording
    // is malformed or a frame does not fit the buffer (GetError says which).
    int NextFrame();
    // Ends the loaded frame: compares it and starts the next hash. 1 the same as recorded, 0
    // diverged, -1 no frame loaded.
    int EndFrame();
    // The first frame (counted from 0) that diverged, or -1; and what differed in it.
    int FirstDivergingFrame() const { return m_first_diverging; }
    int FirstDivergence() const { return m_first_divergence; }
    // The loaded frame's number and recorded clock reading.
    int GetFrame() const { return static_cast<int>(m_frame); }
    int GetClock() const { return m_clock; }

    int SetBlockMode(bool) override { return 0; }
    int MakeBroadcastCapable() override;
    int Init() override { return IsReady() ? 0 : -1; }
    int Shutdown() override { return 0; }
    int Connected(sockaddr_in*) override { return 0; }
    int Disconnected(sockaddr_in*) override { return kNetEventDisconnect; }
    // The recorded driver's address ("LOCAL:1", "0.0.0.0:40000" ...).
    char* GetAddr() override { return m_own_text; }
    // Compared with the next datagram recorded as sent: answers what the recorded driver did.
    int SendTo(int len, void* data, sockaddr_in* to) override;
    int Broadcast(int len, void* data, sockaddr_in* to) override;
    int SendToAddr(int len, void* data, const CNetAddr& to) override;
    int BroadcastAddr(int len, void* data, const CNetAddr& to) override;
    // The loaded frame's next received datagram or report; 0 with *len 0 when none is left.
    int RecvFrom(int* len, void* buf, sockaddr_in* from) override;
    int FlushSends() override;
    CNetAddr LastSender() const override { return m_last_sender; }

    SNetReplayStats m_stats;
    CNetFrameHash m_hash; // the current frame's

private:
    struct SItem {
        int m_kind; // 0 received, 1 sent, 2 receive report, 3 flush refused
        int m_result;
        int m_at, m_len; // payload in m_buf
        bool m_broadcast;
        CNetAddr m_peer;
    };
    int Fail(const char* why);
    int Fill(int need); // at least need bytes from m_pos on in the buffer
    int ReadHeader();
    int TakePacket(const unsigned char* b, int len);
    int Sent(int len, const void* data, const CNetAddr& to, bool broadcast);
    static int Clock();

    std::FILE* m_file = nullptr;
    unsigned char* m_buf = nullptr;
    int m_capacity = 0;
    int m_pos = 0, m_end = 0; // unread bytes of the file in m_buf
    SItem* m_items = nullptr;
    int m_max_items = 0, m_num_items = 0;
    int m_next_in = 0, m_next_out = 0, m_next_flush = 0;
    bool m_loaded = false;
    bool m_send_differs = false;
    std::uint32_t m_frame = 0;
    int m_clock = 0;
    std::uint32_t m_rec_items = 0;
    std::uint64_t m_rec_hash = 0;
    int m_first_diverging = -1;
    int m_first_divergence = 0;
    CNetManager* m_manager = nullptr;
    CNetAddr m_last_sender;
    char m_own_text[CNetAddr::kMaxText] = "";
    char m_note[4001] = "";
    char m_error[160] = "";
};
