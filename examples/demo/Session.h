#pragma once

// The demo session: the endpoints of this process, the frame loop, the checks and the output.
// On the simulator every endpoint lives here; over UDP this process is one of them.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Endpoint.h"
#include "StatsTable.h"
#include "SvgPlot.h"

namespace demo {

struct SDemoConfig {
    enum EMode { kSim, kUdpServer, kUdpClient };
    EMode m_mode = kSim;
    int m_peers = 3;
    int m_frames = 600; // 0: a UDP host serves until Ctrl-C or SIGTERM
    int m_fps = 60;
    double m_loss = 10.0; // percent
    int m_latency = 60;   // ms, one way
    int m_jitter = 20;    // ms, added evenly from 0 to this
    double m_dup = 2.0;   // percent
    int m_bandwidth = 0;  // bytes per second each way; 0 unlimited
    std::uint64_t m_seed = 1;
    bool m_realtime = false;
    std::string m_bind;    // "a.b.c.d:port"
    std::string m_connect; // "a.b.c.d:port"
    FILE* m_csv = nullptr; // opened by the caller, so a bad path fails before anything starts
    std::string m_plot;    // SVG path, written at the end; checked writable by the caller
    bool m_secure = false; // every link through a CNetDtls with the pre-shared key m_key
    std::vector<unsigned char> m_key;
    // Connect tokens instead of one shared key: the host holds the sealing key (and, on the
    // simulator, mints its peers' tokens); a UDP peer presents m_token with m_key.
    std::vector<unsigned char> m_token_key;
    std::string m_token;
    // --keylog: the DTLS session secrets appended to this file, so a capture can be decrypted
    std::string m_key_log;
    // --cipher: the OpenSSL cipher list offered instead of the default
    std::string m_cipher;
    int m_count = 1; // --udp client: peers in this process, each on a socket of its own
    // --block: the host sends every peer a map of this many bytes, which the peer checks; 0 off
    std::uint32_t m_block = 0;
    // --record: the host's datagrams, clock and frame hashes into this pcapng file (simulator)
    std::string m_record;
    // --replay: the host of a recording played back and checked frame by frame; the options
    // that shape the host come from the recording (ReadReplayOptions)
    std::string m_replay;
};

// The options of the session recorded in path (its note) into *config, for --replay: true, or
// false with the reason in *why.
bool ReadReplayOptions(const std::string& path, SDemoConfig* config, std::string* why);

// What one session ended with, for a summary over many (--count).
struct SDemoOutcome {
    bool m_passed = false;
    bool m_joined = false;
    int m_said = 0, m_pending = 0, m_heard = 0, m_good = 0;
    double m_worst_error = 0.0;
    int m_ping = 0; // smoothed round trip to the host at the end, ms
    long long m_packets = 0, m_lost = 0;
    unsigned m_dtls[5] = {}; // as Session::SecureStats
};

// Statistics of the host's frames: the process CPU time its own steps took (std::clock, so
// the cost of that call is measured too) over the frames of the run proper.
struct SHostCpu {
    double m_total_s = 0.0;
    int m_frames = 0;
    double m_clock_call_ns = 0.0;
};

// Whether this demo was built with libportnet-secure.
bool SecureAvailable();

class Session : public IDemoListener {
public:
    explicit Session(const SDemoConfig& config);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Runs the whole session and prints to out; 0 when every check passed, 1 otherwise.
    int Run(FILE* out);

    // Run in parts, for a caller that paces many sessions in one loop (a crowd of UDP peers):
    // Begin sets up and prints the header (-1 on failure), Tick runs one frame on the real
    // clock until Done, Leave says goodbye, Farewell steps while goodbyes wait (false when
    // none does), and Finish prints the summary and gives the exit status.
    int Begin(FILE* out);
    bool Done() const { return m_phase == kDone; }
    // Ends the run at once for signal sig (Ctrl-C, SIGTERM), saying so; Leave follows.
    void Stop(int sig);
    bool Joined() const { return m_num_endpoints > 0 && m_endpoints[0]->m_index >= 0; }
    void Tick();
    void Leave();
    bool Farewell();
    int Finish(FILE* out, double wall_s) { return Summary(out, wall_s); }
    const SDemoOutcome& Outcome() const { return m_outcome; }

    int OnOutOfBand(CNetBuf* buf) override;
    void OnGone(int slot) override;
    bool Admit() override;
    void OnServerEvent(const SNetServerEvent& e) override;
    void OnConnectionEvent(const SNetConnectionEvent& e) override;

private:
    enum EPhase { kWaiting, kActive, kDrain, kLinger, kDone };

    // What the links of players that left a UDP host had counted, kept for the summary (the
    // server reuses their slots).
    struct SDeparted {
        int m_said = 0, m_delivered = 0, m_heard = 0, m_good = 0;
        long long m_packets = 0, m_lost = 0;
        long long m_peer_packets = 0, m_peer_lost = 0; // what the players reported
        int m_peer_reports = 0;
    };
    // The latest refusals of a UDP host, by sender: the reason its hello is answered with, and
    // when the refusal was last printed (one line per sender and reason every kRefusalQuietMs).
    struct SRefusal {
        CNetAddr m_addr;
        int m_reason = 0;
        int m_printed = 0;
        unsigned m_repeats = 0; // since it was printed
    };
    enum : int { kRefusalRing = 16 };

    int SetUp(FILE* out);
    int SetUpReplay(FILE* out);
    // --replay: every recorded frame of the host, then the verdict; the exit status.
    int RunReplay(FILE* out);
    // --record: what went into the file.
    void RecordLine(FILE* out);
    void Frame(int now);
    void Measure(int now);
    void Report(int now, bool last);
    int Summary(FILE* out, double wall_s);
    // Beyond kMaxRows links, one line over them all instead of a row each.
    void LinksLine(char* text, int size) const;
    void HostCpuLine(FILE* out) const;
    int NumObserved() const;
    // Objects shown at least once, over every endpoint here and every object it should show.
    // Views of objects not relayed to this endpoint go to *unexpected when asked.
    int CountViews(int* expected, int* unexpected = nullptr)
        const; // rows of the table: the links of the observed endpoint
    Endpoint* Observed() const { return m_endpoints[0].get(); }
    void SendHello();
    // The driver endpoint i uses: d itself, or a CNetDtls over it with --secure (null on
    // failure). host: the endpoint accepts handshakes, else it starts them.
    CNetDriver* Secure(int i, CNetDriver* d, bool host);
    // Handshakes started, completed and failed, datagrams rejected and replayed, over every
    // CNetDtls of this process; false without --secure.
    bool SecureStats(unsigned* counts) const;
    bool HandshakesOpen() const;
    // Every link of the simulated star has its DTLS session open.
    bool AllSessionsOpen() const;
    // The player a host admitted by connect token at addr; 0 when none.
    std::uint64_t PlayerAt(const sockaddr_in& addr) const;
    // Says at once when a DTLS handshake failed or timed out, with the counters and, on the
    // accepting side, the reasons it counted; a UDP client stops there.
    void WatchHandshakes();
    // The reasons counted since the last call for the handshakes this process refused, as
    // "reason (n), ..." into text; false when none was counted.
    bool HandshakeReasons(char* text, int size);
    // A UDP peer that never joined says why, once: refused, handshake failed or timed out.
    void CannotJoin(int reason);
    // A UDP host's refusal of addr, printed when new (RefusalAt finds the last one).
    void NoteRefusal(const CNetAddr& addr, int reason);
    const SRefusal* RefusalAt(const CNetAddr& addr) const;
    // Players coming and going: "5 joined, 4 left (left 3, timed out 1); 9 datagrams refused
    // (full 9); 1 present at the end".
    void PlayersLine(FILE* out) const;
    void PlayersLossLine(FILE* out) const;
    // Copies the link stats of the observed endpoint's present links into m_rows.
    void CollectRows();
    // With --block: the maps' progress as one line (the host's per peer, a peer's own), and
    // the lines of maps that ended since the last call; the summary's check of the maps.
    void MapLine(char* text, int size) const;
    void MapNews();
    bool MapsSettled() const;
    bool MapSummary(FILE* out) const;

    SDemoConfig m_cfg;
    int m_window_ms;  // how far back a shown position may lie on the true path
    double m_bound_m; // largest error allowed, metres
    int m_timeout_ms; // retransmission time-out of the chat

    FILE* m_out = stdout; // where the session's running messages go
    std::unique_ptr<CNetSimNetwork> m_net;
    std::unique_ptr<CNetSimDriver> m_sim_drivers[kMaxPeers + 1];
    std::unique_ptr<CNetDriver> m_udp;
    std::unique_ptr<CNetImpairedDriver> m_impaired;
    // --record: wraps the host's driver; --replay: stands for it
    std::unique_ptr<CNetRecorder> m_recorder;
    std::unique_ptr<CNetReplayDriver> m_replay;
    // With --secure, one CNetDtls over each endpoint's driver (opaque here: the demo builds
    // without OpenSSL too); destroyed after the managers and before the drivers it wraps.
    std::unique_ptr<CNetDriver> m_secure[kMaxPeers + 1];
    std::unique_ptr<Endpoint> m_endpoints[kMaxPeers + 1]; // after the drivers: goes first
    int m_num_endpoints = 0;
    CNetAddr m_server_addr;

    EPhase m_phase = kActive;
    int m_frame = 0;        // frames of the run proper done so far
    int m_extra_frames = 0; // frames of waiting, draining and lingering
    int m_phase_start = 0;  // ms at which the current phase began
    int m_last_hello = -1000000;
    bool m_refused = false;          // a UDP host answered that it will not take us
    int m_refusal = 0;               // and why (CNetServer::kRefused*)
    int m_connection_refusal = 0;    // why the host's refusal of our hello said
    bool m_connected = false;        // a UDP peer's host answered
    bool m_join_failed_said = false; // a UDP peer said why it could not join
    bool m_host_only_views = false;  // a UDP peer that joined a run under way
    int m_stopped = 0;               // the signal that ended the run early, or 0
    bool m_forever = false;          // a UDP host serving until stopped (--frames 0)
    unsigned m_failed_seen = 0;      // DTLS handshakes failed, as last said
    bool m_handshake_failed = false; // a UDP client's handshake with its host failed
    int m_joined = 0;                // players a UDP host admitted, over the run
    // Per slot of a UDP host: a player holds it or held it and was seen (its view is checked),
    // and whether its player joined before the run began (the others check the host's object
    // only: theirs may come and go).
    bool m_slot_checked[kMaxPeers] = {};
    bool m_slot_on_time[kMaxPeers] = {};
    unsigned m_left_by[8] = {}; // players gone, by kNetGone* reason
    SDeparted m_departed;
    SRefusal m_refusals[kRefusalRing];
    int m_refusal_next = 0;
    SRefusal m_departures[kRefusalRing]; // players that left lately: address and time
    int m_departure_next = 0;
    unsigned m_dtls_reasons[9] = {}; // handshake refusals by reason and failures, as last said
    unsigned m_dtls_explained = 0;   // refusals whose handshakes have not failed yet
    int m_host_gone = 0;             // a UDP peer's host is gone: why (kNetGone*)
    bool m_host_lost_early = false;  // and it went before the run and drain were done

    // Position checks.
    double m_worst_error = 0.0;
    long long m_lag_sum = 0;
    long long m_lag_count = 0;
    int m_max_lag = 0;
    // Per endpoint of this process and object: shown at least once.
    std::vector<unsigned char> m_view_seen;
    bool ViewSeen(int i, int o) const { return m_view_seen[i * (kMaxPeers + 1) + o] != 0; }

    SHostCpu m_host_cpu;
    SDemoOutcome m_outcome;

    StatsTable m_table;
    SvgPlot m_plot;
    SLinkStats m_rows[kMaxPeers];
    int m_row_slots[kMaxPeers] = {}; // the link each row of m_rows shows
    int m_num_rows = 0;
};

} // namespace demo
