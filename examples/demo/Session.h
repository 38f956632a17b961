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
    int m_frames = 600;
    int m_fps = 60;
    double m_loss = 10.0; // percent
    int m_latency = 60;   // ms, one way
    int m_jitter = 20;    // ms, added evenly from 0 to this
    double m_dup = 2.0;   // percent
    std::uint64_t m_seed = 1;
    bool m_realtime = false;
    std::string m_bind;    // "a.b.c.d:port"
    std::string m_connect; // "a.b.c.d:port"
    FILE* m_csv = nullptr; // opened by the caller, so a bad path fails before anything starts
    std::string m_plot;    // SVG path, written at the end; checked writable by the caller
    bool m_secure = false; // every link through a CNetDtls with the pre-shared key m_key
    std::vector<unsigned char> m_key;
};

// Whether this demo was built with libportnet-secure.
bool SecureAvailable();

class Session : public CDemoManager::IListener {
public:
    explicit Session(const SDemoConfig& config);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Runs the whole session and prints to out; 0 when every check passed, 1 otherwise.
    int Run(FILE* out);

    int OnOutOfBand(CNetBuf* buf) override;
    void OnGone(int slot) override;

private:
    enum EPhase { kWaiting, kActive, kDrain, kLinger, kDone };

    int SetUp(FILE* out);
    void Frame(int now);
    void Measure(int now);
    void Report(int now, bool last);
    int Summary(FILE* out, double wall_s);
    int NumObserved() const;
    // Objects shown at least once, over every endpoint here and every object it should show.
    int CountViews(int* expected) const; // rows of the table: the links of the observed endpoint
    Endpoint* Observed() const { return m_endpoints[0].get(); }
    void SendHello();
    // The driver endpoint i uses: d itself, or a CNetDtls over it with --secure (null on
    // failure). host: the endpoint accepts handshakes, else it starts them.
    CNetDriver* Secure(int i, CNetDriver* d, bool host);
    // Handshakes started, completed and failed, datagrams rejected and replayed, over every
    // CNetDtls of this process; false without --secure.
    bool SecureStats(unsigned* counts) const;
    bool HandshakesOpen() const;
    // Says at once when a DTLS handshake failed or timed out, with the counters; a UDP client
    // stops there.
    void WatchHandshakes();

    SDemoConfig m_cfg;
    int m_window_ms;  // how far back a shown position may lie on the true path
    double m_bound_m; // largest error allowed, metres
    int m_timeout_ms; // retransmission time-out of the chat

    std::unique_ptr<CNetSimNetwork> m_net;
    std::unique_ptr<CNetSimDriver> m_sim_drivers[kMaxPeers + 1];
    std::unique_ptr<CNetDriver> m_udp;
    std::unique_ptr<CNetImpairedDriver> m_impaired;
    // With --secure, one CNetDtls over each endpoint's driver (opaque here: the demo builds
    // without OpenSSL too); destroyed after the managers and before the drivers it wraps.
    std::unique_ptr<CNetDriver> m_secure[kMaxPeers + 1];
    std::unique_ptr<Endpoint> m_endpoints[kMaxPeers + 1]; // after the drivers: goes first
    int m_num_endpoints = 0;
    sockaddr_in m_server_addr = {};

    EPhase m_phase = kActive;
    int m_frame = 0;        // frames of the run proper done so far
    int m_extra_frames = 0; // frames of waiting, draining and lingering
    int m_phase_start = 0;  // ms at which the current phase began
    int m_last_hello = -1000000;
    bool m_refused = false;          // a UDP host answered that it is full
    unsigned m_failed_seen = 0;      // DTLS handshakes failed, as last said
    bool m_handshake_failed = false; // a UDP client's handshake with its host failed
    int m_joined = 0;                // peers welcomed by a UDP host

    // Position checks.
    double m_worst_error = 0.0;
    long long m_lag_sum = 0;
    long long m_lag_count = 0;
    int m_max_lag = 0;
    bool m_view_seen[kMaxPeers + 1][kMaxPeers + 1] = {};

    StatsTable m_table;
    SvgPlot m_plot;
    SLinkStats m_rows[kMaxPeers];
};

} // namespace demo
