#include "Session.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>

#include <unistd.h> // isatty

#include "Glue.h"
#include "Motion.h"
#include "Stop.h"
#ifdef PORTNET_DEMO_SECURE
#include "portnet/CNetConnectToken.h"
#include "portnet/CNetDtls.h"
#endif

namespace demo {

namespace {

// On the simulator the frames run at full speed on a clock of their own: the library reads it
// through its timer hook, so the host still calls CNetTime::Update once per frame as usual.
int g_clock_ms = 0;
int DemoClock() {
    return g_clock_ms;
}

const int kChatPerSecond = 2;    // lines per link and direction
const int kDrainLimitMs = 30000; // after the run proper, the chat may take this long to settle
const int kLingerMs = 2000;      // over UDP: keep answering so the other side's lines settle
const int kWaitLimitMs = 30000;  // over UDP: longest wait for the peers, or for the host
const int kHelloEveryMs = 250;
const int kMaxPlotPoints = 2000; // per peer; longer runs keep every n-th frame
const int kMaxRows = 16;         // more links are summed up in one line

// Out-of-band handshake over UDP (channel 1), six bytes: "pdH" from a peer; "pdW" k n f from
// the host, you are peer k of n, and with f = kWelcomeLate the run is under way (the others may
// come and go: check the host's object only); "pdF" r from the host when it refused the
// sender, r a CNetServer::kRefused* reason.
const int kHandshakeChannel = 1;
const int kWelcomeLate = 1;
const int kRefusalQuietMs = 5000; // a sender refused again for one reason is printed this often

// The server name the demo host's connect tokens must list (portnet-token --server).
const char kTokenServer[] = "portnet-demo";

// The name at the start of a reason's text, before its explanation in parentheses.
int NameLength(const char* text) {
    const char* open = std::strstr(text, " (");
    return static_cast<int>(open ? open - text : std::strlen(text));
}

sockaddr_in SimAddr(int id) {
    sockaddr_in a = {};
    a.sin_family = kNetFamilyLocal;
    a.sin_port = static_cast<unsigned short>(id);
    return a;
}

void SendHandshake(CNetBuf* b, unsigned char kind, int k, int n, int flags = 0) {
    b->SetChannel(kHandshakeChannel);
    b->WriteByte('p');
    b->WriteByte('d');
    b->WriteByte(kind);
    b->WriteByte(static_cast<unsigned char>(k));
    b->WriteByte(static_cast<unsigned char>(n));
    b->WriteByte(static_cast<unsigned char>(flags));
    b->Send();
    b->SetChannel(0);
}

} // namespace

bool SecureAvailable() {
#ifdef PORTNET_DEMO_SECURE
    return true;
#else
    return false;
#endif
}

CNetDriver* Session::Secure(int i, CNetDriver* d, bool host) {
    if (!m_cfg.m_secure) return d;
#ifdef PORTNET_DEMO_SECURE
    SNetDtlsConfig c;
    c.m_role = host ? SNetDtlsConfig::kAccept : SNetDtlsConfig::kConnect;
    c.m_psk_key = m_cfg.m_key.data();
    c.m_psk_key_len = static_cast<int>(m_cfg.m_key.size());
    c.m_psk_identity = "portnet-demo";
    // The limits follow the host's table (at least one slot a peer): a session and a
    // handshake for every peer at once, so they all join together.
    // With tokens the host takes the sealing key, and mints each in-process peer its token as
    // a backend would (player id: the peer's number); a UDP peer brings its own.
    SNetConnectToken t;
    char token[CNetConnectToken::kMaxText + 1];
    if (!m_cfg.m_token_key.empty() && host) {
        c.m_psk_key = nullptr;
        c.m_token_key = m_cfg.m_token_key.data();
        c.m_token_server = kTokenServer;
    } else if (!m_cfg.m_token_key.empty()) {
        t.m_player_id = static_cast<std::uint64_t>(i);
        t.m_valid_from = CNetConnectToken::Now();
        t.m_expires = t.m_valid_from + 3600;
        t.m_num_servers = 1;
        std::strcpy(t.m_servers[0], kTokenServer);
        if (CNetConnectToken::Mint(&t, m_cfg.m_token_key.data(), token, sizeof token) < 0)
            return nullptr;
        c.m_psk_identity = token;
        c.m_psk_key = t.m_player_key;
        c.m_psk_key_len = SNetConnectToken::kKeyLen;
    } else if (!m_cfg.m_token.empty()) {
        c.m_psk_identity = m_cfg.m_token.c_str();
    }
    if (!m_cfg.m_key_log.empty()) c.m_key_log_file = m_cfg.m_key_log.c_str();
    if (!m_cfg.m_cipher.empty()) c.m_cipher_list = m_cfg.m_cipher.c_str();
    auto* dtls = new CNetDtls(d, c);
    m_secure[i].reset(dtls);
    return dtls->IsReady() ? dtls : nullptr;
#else
    (void)i, (void)host;
    return nullptr;
#endif
}

std::uint64_t Session::PlayerAt(const sockaddr_in& addr) const {
#ifdef PORTNET_DEMO_SECURE
    SNetPeerIdentity who;
    if (!m_cfg.m_token_key.empty() && m_secure[0] &&
        static_cast<const CNetDtls*>(m_secure[0].get())->GetPeer(addr, &who) == 0)
        return who.m_player_id;
#else
    (void)addr;
#endif
    return 0;
}

bool Session::SecureStats(unsigned* counts) const {
    for (int k = 0; k < 5; ++k)
        counts[k] = 0;
#ifdef PORTNET_DEMO_SECURE
    for (const auto& d : m_secure) {
        if (!d) continue;
        const SNetDtlsStats& s = static_cast<const CNetDtls*>(d.get())->m_stats;
        counts[0] += s.m_handshakes_started;
        counts[1] += s.m_handshakes_completed;
        counts[2] += s.m_handshakes_failed;
        counts[3] += s.m_rejected;
        counts[4] += s.m_replayed;
    }
#endif
    return m_cfg.m_secure;
}

bool Session::AllSessionsOpen() const {
    int open = 0;
#ifdef PORTNET_DEMO_SECURE
    for (const auto& d : m_secure)
        if (d) open += static_cast<const CNetDtls*>(d.get())->GetOpenSessions();
#endif
    return open >= 2 * m_cfg.m_peers; // the host's one per peer, and each peer's
}

bool Session::HandshakesOpen() const {
#ifdef PORTNET_DEMO_SECURE
    for (const auto& d : m_secure)
        if (d && static_cast<const CNetDtls*>(d.get())->GetHalfOpen() > 0) return true;
#endif
    return false;
}

bool Session::HandshakeReasons(char* text, int size) {
    text[0] = '\0';
#ifdef PORTNET_DEMO_SECURE
    // The accepting side counts why it refused each identity; the rest of the failures are
    // time-outs and broken-off handshakes.
    static const char* const kNames[9] = {"malformed token",
                                          "token altered or sealed under another key",
                                          "token expired",
                                          "token not yet valid",
                                          "token for another server",
                                          "unknown identity",
                                          "player shut out (kicked)",
                                          "wrong key",
                                          "timed out or broken off"};
    unsigned now[9] = {};
    for (const auto& d : m_secure) {
        if (!d) continue;
        const SNetDtlsStats& st = static_cast<const CNetDtls*>(d.get())->m_stats;
        const unsigned counted[9] = {
            st.m_token_malformed,     st.m_token_unopened,     st.m_token_expired,
            st.m_token_not_yet_valid, st.m_token_wrong_server, st.m_identity_unknown,
            st.m_identity_denied,     st.m_key_mismatch,       st.m_handshakes_failed};
        for (int k = 0; k < 9; ++k)
            now[k] += counted[k];
    }
    // A refusal is counted before its handshake fails: failures beyond the refusals counted so
    // far timed out or were broken off.
    unsigned fresh[9] = {};
    for (int k = 0; k < 8; ++k) {
        fresh[k] = now[k] - m_dtls_reasons[k];
        m_dtls_reasons[k] = now[k];
        m_dtls_explained += fresh[k];
    }
    const unsigned failed = now[8] - m_dtls_reasons[8];
    m_dtls_reasons[8] = now[8];
    fresh[8] = failed > m_dtls_explained ? failed - m_dtls_explained : 0;
    m_dtls_explained -= failed - fresh[8];
    int used = 0;
    for (int k = 0; k < 9 && used < size; ++k) {
        if (fresh[k] == 0) continue;
        const int n = std::snprintf(text + used, static_cast<size_t>(size - used), "%s%s (%u)",
                                    used ? ", " : "", kNames[k], fresh[k]);
        if (n > 0) used += n;
    }
    return used > 0;
#else
    (void)size;
    return false;
#endif
}

void Session::WatchHandshakes() {
    unsigned c[5];
    if (!SecureStats(c)) return;
    if (m_cfg.m_mode == SDemoConfig::kUdpClient) {
        if (c[2] != m_failed_seen) CannotJoin(kNetGoneSessionEnded);
        m_failed_seen = c[2];
        return;
    }
    // The accepting side counts a refused identity as it refuses it, before the handshake
    // fails: said at once, with what the reasons leave unexplained once it has.
    char reasons[400];
    if (!HandshakeReasons(reasons, sizeof reasons)) return;
    std::fprintf(
        m_out,
        "  secure handshakes refused or failed: %s; dtls handshakes %u completed of %u started, "
        "%u failed; %u datagrams rejected\n",
        reasons, c[1], c[0], c[2], c[3]);
    std::fflush(m_out);
}

void Session::CannotJoin(int reason) {
    m_phase = kDone;
    if (m_join_failed_said) return;
    m_join_failed_said = true;
    unsigned c[5];
    const bool secure = SecureStats(c);
    if (reason == kNetGoneRefused && !m_refused) {
        m_refused = true; // the library's answer to our hello
        m_refusal = m_connection_refusal;
    }
    if (m_refused) {
        std::fprintf(m_out, "  could not join: the host refused us: %s\n", RefusalText(m_refusal));
    } else if (secure && (c[2] > 0 || (reason == kNetGoneSessionEnded && !m_connected))) {
        // The host answers every refused credential alike (no answer): only its log says which.
        m_handshake_failed = true;
        std::fprintf(m_out,
                     "  could not join: the secure handshake with the host failed (%u of %u "
                     "handshakes failed): a wrong key, a token the host does not accept, or no "
                     "secure host at that address; the host's log says which\n",
                     c[2], c[0]);
    } else if (m_connected) {
        std::fprintf(m_out, "  could not join: the host answered, then before the run began: %s\n",
                     GoneText(reason));
    } else if (reason == kNetGoneTimedOut) {
        std::fprintf(m_out, "  could not join: no answer from the host in %d s\n",
                     kWaitLimitMs / 1000);
    } else {
        std::fprintf(m_out, "  could not join: %s\n", GoneText(reason));
    }
    std::fflush(m_out);
}

Session::Session(const SDemoConfig& config) : m_cfg(config) {
    const int frame_ms = 1000 / m_cfg.m_fps > 0 ? 1000 / m_cfg.m_fps : 1;
    const int trip = m_cfg.m_latency + m_cfg.m_jitter;
    // A shown position lies in the past: a peer's object reaches the host one trip late and the
    // other peers two trips late (the host relays what it plays back), interpolation holds it up
    // to about one more state, and a lost state adds its frame. The window allows for all that
    // with room for a run of lost states; within it the error is the distance to the path.
    m_window_ms = 2 * trip + 12 * frame_ms + 200;
    // Positions travel as floats and interpolation runs along the chord between two states, a
    // few millimetres off the arc at these speeds: 5 cm leaves a wide margin and still catches
    // a state decoded against the wrong base (off by metres).
    m_bound_m = 0.05;
    // Stop-and-wait chat: repeat after a round trip and a few frames, not the 1 s default, so a
    // lost packet costs little. A repeat that crosses the acknowledgement is skipped by the peer.
    m_timeout_ms = 2 * trip + 4 * frame_ms;
    if (m_timeout_ms < 100) m_timeout_ms = 100;
}

Session::~Session() {
    for (auto& e : m_endpoints)
        e.reset(); // managers go before their drivers
    if (CNetTime::m_timer_proc == DemoClock) CNetTime::Init();
}

int Session::SetUp(FILE* out) {
    SNetImpairment imp;
    imp.m_loss_percent = m_cfg.m_loss;
    imp.m_latency_ms = m_cfg.m_latency;
    imp.m_jitter_ms = m_cfg.m_jitter;
    imp.m_duplicate_percent = m_cfg.m_dup;
    imp.m_bandwidth_bytes_per_s = m_cfg.m_bandwidth;

    if (!m_cfg.m_replay.empty()) return SetUpReplay(out);
    if (m_cfg.m_mode == SDemoConfig::kSim) {
        // Room for every endpoint and, with a bandwidth cap, a link override each way per peer.
        m_net.reset(new CNetSimNetwork(
            m_cfg.m_seed, std::max(+CNetSimNetwork::kDefaultMaxEndpoints, 1 + m_cfg.m_peers),
            std::max(+CNetSimNetwork::kDefaultMaxLinks, 2 * m_cfg.m_peers)));
        m_num_endpoints = 1 + m_cfg.m_peers;
        m_view_seen.assign(static_cast<size_t>(m_num_endpoints) * (kMaxPeers + 1), 0);
        const int ports = PortsFor(m_cfg.m_peers);
        const int table = std::max(static_cast<int>(CNetManager::kMaxClients), m_cfg.m_peers);
        // The host's queue holds what every peer has in flight towards it (a trip of frames,
        // duplicates and a margin); the default suits the small star.
        const int trip_frames = (m_cfg.m_latency + m_cfg.m_jitter) * m_cfg.m_fps / 1000 + 4;
        const int host_queue =
            std::max(+CNetSimDriver::kDefaultQueueDepth, 2 * m_cfg.m_peers * trip_frames);
        for (int i = 0; i < m_num_endpoints; ++i) {
            m_sim_drivers[i].reset(new CNetSimDriver(
                m_net.get(), 1 + i, i == 0 ? host_queue : +CNetSimDriver::kDefaultQueueDepth));
            m_sim_drivers[i]->m_impairment = imp;
            m_endpoints[i].reset(new Endpoint);
            CNetDriver* d = Secure(i, m_sim_drivers[i].get(), i == 0);
            if (i == 0 && !m_cfg.m_record.empty() && d != nullptr) {
                // What shapes the host goes into the note, for --replay to set it up again.
                char note[200];
                std::snprintf(note, sizeof note,
                              "portnet-demo 1 peers=%d frames=%d fps=%d latency=%d jitter=%d "
                              "block=%u loss=%g dup=%g seed=%llu bandwidth=%d",
                              m_cfg.m_peers, m_cfg.m_frames, m_cfg.m_fps, m_cfg.m_latency,
                              m_cfg.m_jitter, m_cfg.m_block, m_cfg.m_loss, m_cfg.m_dup,
                              static_cast<unsigned long long>(m_cfg.m_seed), m_cfg.m_bandwidth);
                m_recorder.reset(new CNetRecorder(d, m_cfg.m_record.c_str(), note));
                if (!m_recorder->IsReady()) {
                    std::fprintf(out, "portnet-demo: cannot write --record %s\n",
                                 m_cfg.m_record.c_str());
                    return -1;
                }
                d = m_recorder.get();
            }
            if (d == nullptr || d->Init() != 0 ||
                m_endpoints[i]->Start(d, i, ports, Relayed(m_cfg.m_peers),
                                      i == 0 ? table : CNetManager::kMaxClients, m_cfg.m_block) < 0)
                return -1;
        }
        for (int k = 1; k < m_num_endpoints; ++k) {
            // A capped link of its own each way between the host and every peer, rather than
            // one cap on all that the host sends.
            if (m_cfg.m_bandwidth > 0 && (m_net->SetLinkImpairment(1, 1 + k, imp) < 0 ||
                                          m_net->SetLinkImpairment(1 + k, 1, imp) < 0))
                return -1;
            if (m_endpoints[0]->AddLink(k - 1, k, SimAddr(1 + k), m_timeout_ms) < 0 ||
                m_endpoints[k]->AddLink(0, 0, SimAddr(1), m_timeout_ms) < 0)
                return -1;
        }
        if (m_recorder) m_recorder->Attach(m_endpoints[0]->m_manager);
        CNetTime::m_timer_proc = DemoClock;
        // The links were made before the demo's clock took over: they start at its 0.
        for (int i = 0; i < m_num_endpoints; ++i)
            for (SLink& l : m_endpoints[i]->m_links)
                l.m_link_ms = 0;
        // Secured, the run starts once every link's handshake is done: a handshake that needs
        // several retransmissions (on the system clock) would otherwise leave its peer only
        // the last frames of the run to show the others.
        m_phase = m_cfg.m_secure ? kWaiting : kActive;
        return 1;
    }

    const bool server = m_cfg.m_mode == SDemoConfig::kUdpServer;
    if (!m_cfg.m_bind.empty())
        m_udp.reset(new CNetUDP(m_cfg.m_bind.c_str()));
    else
        m_udp.reset(new CNetUDP(0)); // a peer may let the system choose its port
    // The host's sending waits out its delay in a queue that holds a trip of frames for every
    // peer; the default suits the small star and a single peer. With --block a frame may send
    // a peer as many datagrams as a client writes in one (a slow frame, under a sanitizer or
    // an emulator, does).
    const int trip_frames = (m_cfg.m_latency + m_cfg.m_jitter) * m_cfg.m_fps / 1000 + 4;
    const int per_frame = m_cfg.m_block > 0 ? 1 + CNetClient::kMaxBlockDatagrams : 2;
    m_impaired.reset(new CNetImpairedDriver(m_udp.get(), m_cfg.m_seed,
                                            server
                                                ? std::max(+CNetImpairedDriver::kDefaultQueueDepth,
                                                           per_frame * m_cfg.m_peers * trip_frames)
                                                : +CNetImpairedDriver::kDefaultQueueDepth));
    m_impaired->m_impairment = imp;
    CNetDriver* d = Secure(0, m_impaired.get(), server);
    if (d == nullptr) return -1;
    if (d->Init() != 0) {
        std::fprintf(out, "portnet-demo: cannot open a UDP socket on %s\n",
                     m_cfg.m_bind.empty() ? "a free port" : m_cfg.m_bind.c_str());
        return -1;
    }
    m_num_endpoints = 1;
    m_view_seen.assign(kMaxPeers + 1, 0);
    m_endpoints[0].reset(new Endpoint);
    // The host admits and lets go of peers by itself, a peer connects and notices its host
    // gone; both tell peers apart by address and port (NAT, one machine).
    if (server)
        m_endpoints[0]->UseServer(this);
    else
        m_endpoints[0]->UseConnection(this);
    // A peer learns the number of peers only when it joins: it has the ports of the most. The
    // host's table is its slots, so the server itself refuses a player beyond them as full.
    if (m_endpoints[0]->Start(d, server ? 0 : -1, server ? PortsFor(m_cfg.m_peers) : kNumPorts,
                              Relayed(m_cfg.m_peers),
                              server ? m_cfg.m_peers : CNetManager::kMaxClients, m_cfg.m_block) < 0)
        return -1;
    if (!server) {
        if (!ParseAddress(m_cfg.m_connect.c_str(), false, &m_server_addr)) return -1;
        CNetConnection* c = static_cast<CNetConnection*>(m_endpoints[0]->m_manager);
        c->m_connect_timeout_ms = kWaitLimitMs;
        if (c->Connect(m_server_addr) < 0 ||
            m_endpoints[0]->AdoptLink(0, 0, c->GetPeer(), m_timeout_ms) < 0)
            return -1;
    }
    // Serving until stopped, the host starts at once and welcomes every player as it comes.
    m_forever = server && m_cfg.m_frames == 0;
    m_phase = m_forever ? kActive : kWaiting;
    return 1;
}

int Session::SetUpReplay(FILE* out) {
    // The host alone, set up as the simulated session set it up, over the recording instead
    // of its simulated endpoint; the recording's clock instead of the demo's.
    m_replay.reset(new CNetReplayDriver(m_cfg.m_replay.c_str()));
    if (!m_replay->IsReady()) {
        std::fprintf(out, "portnet-demo: cannot replay %s: %s\n", m_cfg.m_replay.c_str(),
                     m_replay->GetError());
        return -1;
    }
    m_num_endpoints = 1;
    m_view_seen.assign(kMaxPeers + 1, 0);
    const int table = std::max(static_cast<int>(CNetManager::kMaxClients), m_cfg.m_peers);
    m_endpoints[0].reset(new Endpoint);
    if (m_replay->Init() != 0 ||
        m_endpoints[0]->Start(m_replay.get(), 0, PortsFor(m_cfg.m_peers), Relayed(m_cfg.m_peers),
                              table, m_cfg.m_block) < 0)
        return -1;
    for (int k = 1; k <= m_cfg.m_peers; ++k)
        if (m_endpoints[0]->AddLink(k - 1, k, SimAddr(1 + k), m_timeout_ms) < 0) return -1;
    m_replay->Attach(m_endpoints[0]->m_manager);
    m_replay->UseClock();
    for (SLink& l : m_endpoints[0]->m_links)
        l.m_link_ms = 0;
    m_phase = kActive;
    return 1;
}

bool ReadReplayOptions(const std::string& path, SDemoConfig* config, std::string* why) {
    CNetReplayDriver replay(path.c_str(), CNetReplayDriver::kMinBufferBytes);
    if (!replay.IsReady()) {
        *why = replay.GetError();
        return false;
    }
    int peers = 0, frames = 0, fps = 0, latency = 0, jitter = 0;
    unsigned block = 0;
    if (std::sscanf(replay.GetNote(),
                    "portnet-demo 1 peers=%d frames=%d fps=%d latency=%d jitter=%d block=%u",
                    &peers, &frames, &fps, &latency, &jitter, &block) != 6 ||
        peers < 1 || peers > kMaxPeers || frames < 1 || fps < 1 || fps > 1000 || latency < 0 ||
        jitter < 0) {
        *why = "it was not recorded by portnet-demo --record (its note: '" +
               std::string(replay.GetNote()) + "')";
        return false;
    }
    config->m_peers = peers;
    config->m_frames = frames;
    config->m_fps = fps;
    config->m_latency = latency;
    config->m_jitter = jitter;
    config->m_block = block;
    config->m_replay = path;
    return true;
}

int Session::RunReplay(FILE* out) {
    if (Begin(out) < 0) return 1;
    std::fprintf(out, "  replaying the host of %s (%s)\n", m_cfg.m_replay.c_str(),
                 m_replay->GetNote());
    const auto start = std::chrono::steady_clock::now();
    int got = 0;
    int first_clock = 0, last_clock = 0;
    for (long long n = 0; (got = m_replay->NextFrame()) == 1; ++n) {
        if (const int sig = StopSignal()) {
            Stop(sig);
            break;
        }
        if (n == 0) first_clock = m_replay->GetClock();
        last_clock = m_replay->GetClock();
        Tick();
        m_replay->EndFrame();
    }
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const SNetReplayStats& st = m_replay->m_stats;
    const double session_s = (last_clock - first_clock) / 1000.0;
    std::fprintf(out,
                 "  replay     %u frames (%.1f s of session in %.3f s, %.0fx real time), %u "
                 "datagrams in, %u out\n",
                 st.m_frames, session_s, wall, wall > 0 ? session_s / wall : 0.0, st.m_datagrams_in,
                 st.m_datagrams_out);
    if (got < 0) {
        std::fprintf(out, "portnet-demo: replay FAILED: the recording is unreadable: %s\n",
                     m_replay->GetError());
        return 1;
    }
    if (m_stopped) return 128 + m_stopped;
    const int first = m_replay->FirstDivergingFrame();
    if (first < 0) {
        std::fprintf(out, "portnet-demo: replay passed: every frame's hash equal, every datagram "
                          "sent as recorded\n");
        return 0;
    }
    const int what = m_replay->FirstDivergence();
    std::fprintf(out,
                 "portnet-demo: replay DIVERGED at frame %d (%s%s%s); %u frames differ, %u sends "
                 "differ, %u missing, %u received datagrams not taken\n",
                 first, what & CNetReplayDriver::kDivergedHash ? "hash " : "",
                 what & CNetReplayDriver::kDivergedSends ? "sends " : "",
                 what & CNetReplayDriver::kDivergedUnread ? "unread" : "", st.m_diverged_frames,
                 st.m_sends_differing, st.m_sends_missing, st.m_unread);
    return 1;
}

void Session::RecordLine(FILE* out) {
    if (!m_recorder) return;
    const bool closed = m_recorder->Close() == 1;
    const SNetRecorderStats& st = m_recorder->m_stats;
    std::fprintf(out, "  record     %u frames, %u datagrams in, %u out, %llu bytes to %s%s\n",
                 st.m_frames, st.m_datagrams_in, st.m_datagrams_out,
                 static_cast<unsigned long long>(st.m_bytes), m_cfg.m_record.c_str(),
                 closed ? "" : " (WRITE FAILED: the recording is cut short)");
}

int Session::NumObserved() const {
    return Observed() ? Observed()->m_num_links : 0;
}

int Session::Begin(FILE* out) {
    m_out = out;
    m_table.Begin(out, isatty(fileno(out)) == 1);
    if (SetUp(out) < 0) {
        std::fprintf(out, "portnet-demo: set-up failed\n");
        return -1;
    }
    const int rows = m_cfg.m_mode == SDemoConfig::kUdpClient ? 1 : m_cfg.m_peers;
    if (!m_cfg.m_plot.empty()) {
        const int stride = (m_cfg.m_frames + kMaxPlotPoints - 1) / kMaxPlotPoints;
        m_plot.Reserve(rows, m_cfg.m_frames / stride + 1);
    }
    if (m_cfg.m_csv) WriteCsvHeader(m_cfg.m_csv);

    const bool sim = m_cfg.m_mode == SDemoConfig::kSim;
    char frames[48];
    if (m_forever)
        std::snprintf(frames, sizeof frames, "frames until stopped");
    else
        std::snprintf(frames, sizeof frames, "%d frames", m_cfg.m_frames);
    if (sim)
        std::fprintf(out, "portnet-demo: a host and %d peer%s in one process, simulated network\n",
                     m_cfg.m_peers, m_cfg.m_peers > 1 ? "s" : "");
    else if (m_forever)
        std::fprintf(out,
                     "portnet-demo: UDP host on %s, serving %d slot%s until Ctrl-C or SIGTERM\n",
                     m_impaired->GetAddr(), m_cfg.m_peers, m_cfg.m_peers > 1 ? "s" : "");
    else if (m_cfg.m_mode == SDemoConfig::kUdpServer)
        std::fprintf(out,
                     "portnet-demo: UDP host on %s, waiting for %d peer%s (slots reused as "
                     "players leave)\n",
                     m_impaired->GetAddr(), m_cfg.m_peers, m_cfg.m_peers > 1 ? "s" : "");
    else
        std::fprintf(out, "portnet-demo: UDP peer on %s, joining the host at %s\n",
                     m_impaired->GetAddr(), m_cfg.m_connect.c_str());
    std::fprintf(out,
                 "  %s loss %g%%, latency %d ms, jitter 0-%d ms, duplicates %g%% (seed %llu)\n"
                 "  %s at %d fps%s\n"
                 "  every endpoint moves an object (unreliable, delta-coded, interpolated)\n"
                 "  and the host and each peer chat both ways (reliable)\n"
                 "  chat>: own lines acknowledged, pend: not yet, chat<: lines heard in order\n"
                 "%s\n",
                 sim ? "datagrams:" : "sending:", m_cfg.m_loss, m_cfg.m_latency, m_cfg.m_jitter,
                 m_cfg.m_dup, static_cast<unsigned long long>(m_cfg.m_seed), frames, m_cfg.m_fps,
                 !sim               ? " in real time, over UDP"
                 : m_cfg.m_realtime ? " in real time"
                                    : ", as fast as they compute",
                 m_cfg.m_secure ? "  every link secured with DTLS 1.2 (pre-shared key); frames "
                                  "keep real time while a handshake is open\n"
                                : "");
    if (m_cfg.m_block > 0)
        std::fprintf(out,
                     "  the host sends every peer a map of %u bytes (a block, port %d), FNV-1a 64 "
                     "%016llx; each peer checks it on arrival\n",
                     m_cfg.m_block, +kBlockPort,
                     static_cast<unsigned long long>(MapHash(m_cfg.m_block)));
    std::fflush(out);

    // What one reading of the process CPU clock costs, said beside the host's CPU time.
    const int kClockCalls = 1000;
    const auto before = std::chrono::steady_clock::now();
    std::clock_t sink = 0;
    for (int i = 0; i < kClockCalls; ++i)
        sink += std::clock();
    m_host_cpu.m_clock_call_ns =
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - before)
            .count() /
        kClockCalls;
    (void)sink;
    return 1;
}

void Session::Tick() {
    CNetTime::Update();
    Frame(CNetTime::GetTime());
}

void Session::Stop(int sig) {
    if (m_phase == kDone) return;
    m_stopped = sig;
    m_phase = kDone;
    char name[16];
    std::fprintf(m_out, "\n  stopped by %s: saying goodbye\n", SignalName(sig, name));
    std::fflush(m_out);
}

void Session::Leave() {
    // The other side hears at once that this one is done, instead of after its idle limit.
    if (m_cfg.m_mode == SDemoConfig::kUdpClient) {
        static_cast<CNetConnection*>(m_endpoints[0]->m_manager)->Leave();
    } else if (m_cfg.m_mode == SDemoConfig::kUdpServer) {
        CDemoServer* server = static_cast<CDemoServer*>(m_endpoints[0]->m_manager);
        server->m_listener = nullptr; // the peers sent away now are no news
        for (int slot = 0; slot < server->GetLimit(); ++slot)
            m_endpoints[0]->RetireLink(slot);
        server->Leave();
    }
}

bool Session::Farewell() {
    // The goodbyes wait in the impairment's queue for their delay: let them go before leaving.
    if (m_cfg.m_mode == SDemoConfig::kSim || m_impaired->GetQueued() == 0) return false;
    CNetTime::Update();
    m_endpoints[0]->Step();
    return true;
}

int Session::Run(FILE* out) {
    if (!m_cfg.m_replay.empty()) return RunReplay(out);
    if (Begin(out) < 0) return 1;
    const bool sim = m_cfg.m_mode == SDemoConfig::kSim;
    const auto start = std::chrono::steady_clock::now();
    for (long long n = 0; m_phase != kDone; ++n) {
        if (const int sig = StopSignal()) {
            Stop(sig);
            break;
        }
        const int ms = static_cast<int>(n * 1000 / m_cfg.m_fps);
        if (!sim || m_cfg.m_realtime)
            std::this_thread::sleep_until(start + std::chrono::milliseconds(ms));
        else if (HandshakesOpen()) // DTLS retransmits on the system clock
            std::this_thread::sleep_for(std::chrono::milliseconds(1000 / m_cfg.m_fps));
        if (sim) {
            g_clock_ms = ms;
            m_net->SetTime(ms);
        }
        Tick();
        if (m_recorder) m_recorder->EndFrame();
    }
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    Leave();
    const auto farewell = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - farewell <
               std::chrono::milliseconds(m_cfg.m_latency + m_cfg.m_jitter + 250) &&
           Farewell())
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (CNetTime::m_timer_proc == DemoClock) CNetTime::Init(); // back to the real clock
    const int status = Summary(out, wall);
    RecordLine(out);
    return m_recorder && m_recorder->m_stats.m_write_failures ? 1 : status;
}

void Session::Frame(int now) {
    if (m_phase == kWaiting && m_cfg.m_mode == SDemoConfig::kSim && AllSessionsOpen())
        m_phase = kActive;
    if (m_phase == kWaiting) {
        if (m_frame == 0 && m_extra_frames == 0) m_phase_start = now;
        if (m_cfg.m_mode == SDemoConfig::kUdpClient && now - m_last_hello >= kHelloEveryMs) {
            m_last_hello = now;
            CNetClient* host = m_endpoints[0]->m_links[0].m_client;
            if (host && host->m_send_buf) SendHandshake(host->m_send_buf, 'H', 0, 0);
        }
        if (now - m_phase_start > kWaitLimitMs) m_phase = kDone;
    }
    if (m_phase == kWaiting || m_cfg.m_mode == SDemoConfig::kUdpServer) WatchHandshakes();

    const int every = m_cfg.m_fps / kChatPerSecond > 0 ? m_cfg.m_fps / kChatPerSecond : 1;
    const bool talking = m_phase == kActive && (m_forever || m_frame < m_cfg.m_frames * 4 / 5);
    for (int i = 0; i < m_num_endpoints; ++i) {
        Endpoint& e = *m_endpoints[i];
        const bool timed = e.m_index == 0 && m_phase == kActive;
        const std::clock_t cpu = timed ? std::clock() : 0;
        if (talking)
            for (int l = 0; l < e.m_num_links; ++l)
                if ((m_frame + 3 * e.m_index + 5 * e.m_links[l].m_remote) % every == 0)
                    e.Schedule(l);
        e.Move(now);
        e.Talk();
        e.Step();
        e.Listen();
        if (timed) {
            m_host_cpu.m_total_s += double(std::clock() - cpu) / CLOCKS_PER_SEC;
            ++m_host_cpu.m_frames;
        }
    }
    if (m_phase != kWaiting) Measure(now);
    if (m_cfg.m_block > 0) MapNews();

    if (m_phase == kActive) {
        if (!m_replay) Report(now, !m_forever && m_frame + 1 == m_cfg.m_frames);
        if (++m_frame == m_cfg.m_frames) {
            m_phase = kDrain;
            m_phase_start = now;
        }
    } else {
        ++m_extra_frames;
    }
    if (m_phase == kDrain) {
        // Settled: every chat line delivered and every object shown at least once.
        int expected_views = 0;
        bool settled = CountViews(&expected_views) == expected_views;
        for (int i = 0; i < m_num_endpoints; ++i)
            settled = settled && m_endpoints[i]->ChatSettled();
        settled = settled && MapsSettled();
        if (settled || now - m_phase_start > kDrainLimitMs) {
            m_phase = settled && m_cfg.m_mode != SDemoConfig::kSim ? kLinger : kDone;
            m_phase_start = now;
        }
    } else if (m_phase == kLinger && now - m_phase_start >= kLingerMs) {
        m_phase = kDone;
    }
}

void Session::Measure(int now) {
    const bool sim = m_cfg.m_mode == SDemoConfig::kSim;
    for (int i = 0; i < m_num_endpoints; ++i) {
        Endpoint& e = *m_endpoints[i];
        if (e.m_index < 0) continue;
        for (int o = 0; o <= m_cfg.m_peers; ++o) {
            if (o == e.m_index || !e.Seen(ObjectPort(o))) continue;
            const float* pos = e.Object(ObjectPort(o))->m_pos;
            double err;
            if (sim) {
                int lag = 0;
                err = ErrorInWindow(o, pos, now, m_window_ms, &lag);
                m_lag_sum += lag;
                ++m_lag_count;
                if (lag > m_max_lag) m_max_lag = lag;
            } else {
                err = ErrorToPath(o, pos); // the other process's clock is not ours
            }
            m_view_seen[i * (kMaxPeers + 1) + o] = 1;
            if (err > m_worst_error) m_worst_error = err;
            const int l = e.LinkOf(o);
            if (l >= 0 && err > e.m_links[l].m_max_error) e.m_links[l].m_max_error = err;
        }
    }
}

void Session::CollectRows() {
    // A UDP host's slots empty and fill as players come and go: rows show the present ones.
    m_num_rows = 0;
    for (int i = 0; i < NumObserved(); ++i) {
        if (!Observed()->m_links[i].m_client) continue;
        CollectLinkStats(*Observed(), i, &m_rows[m_num_rows]);
        m_row_slots[m_num_rows++] = i;
    }
}

void Session::Report(int now, bool last) {
    CollectRows();
    const int rows = m_num_rows;
    if (m_cfg.m_csv)
        for (int i = 0; i < rows; ++i)
            WriteCsvRow(m_cfg.m_csv, m_frame, now, m_rows[i]);
    if (m_plot.Enabled()) {
        const int stride = (m_cfg.m_frames + kMaxPlotPoints - 1) / kMaxPlotPoints;
        if (m_frame % stride == 0 || last)
            for (int i = 0; i < rows; ++i) // a line per slot: the first kMaxSeries are drawn
                m_plot.Add(m_row_slots[i], m_frame / double(m_cfg.m_fps), m_rows[i]);
    }
    const bool redraw = m_table.IsTerminal() && rows <= kMaxRows;
    const int every = redraw ? (m_cfg.m_fps / 10 > 0 ? m_cfg.m_fps / 10 : 1) : 2 * m_cfg.m_fps;
    if ((m_frame + 1) % every != 0 && !last) return;
    char status[240];
    char of[24] = "";
    if (!m_forever) std::snprintf(of, sizeof of, "/%d", m_cfg.m_frames);
    int n = std::snprintf(status, sizeof status, "frame %d%s  t %.2f s  seen from %s", m_frame + 1,
                          of, (m_frame + 1) / double(m_cfg.m_fps), Observed()->m_name);
    if (m_cfg.m_mode == SDemoConfig::kUdpServer && n > 0 && n < static_cast<int>(sizeof status))
        n += std::snprintf(status + n, sizeof status - n, "  players %d/%d", rows, m_cfg.m_peers);
    unsigned c[5];
    if (SecureStats(c) && n > 0 && n < static_cast<int>(sizeof status))
        std::snprintf(status + n, sizeof status - n,
                      "  dtls: handshakes %u/%u (%u failed), rejected %u, replayed %u", c[1], c[0],
                      c[2], c[3], c[4]);
    char map[400] = "";
    if (m_cfg.m_block > 0) MapLine(map, sizeof map);
    if (rows <= kMaxRows) {
        m_table.Show(status, m_rows, rows, map[0] ? map : nullptr);
        return;
    }
    char links[240];
    LinksLine(links, sizeof links);
    std::fprintf(m_out, "%s\n  %s\n", status, links);
    if (map[0]) std::fprintf(m_out, "%s\n", map);
    std::fflush(m_out);
}

namespace {

const char* MapReasonText(int reason) {
    switch (reason) {
    case CNetBlockStream::kTooBig:
        return "refused: above the limit";
    case CNetBlockStream::kQueueFull:
        return "refused: the peer's queue is full";
    case CNetBlockStream::kNoMemory:
        return "no memory for the copy";
    case CNetBlockStream::kCancelled:
        return "cancelled";
    case CNetBlockStream::kPeerGone:
        return "the peer left first";
    default:
        return "not queued";
    }
}

// "45 % (471040 of 1048576 B)"
void Percent(char* text, int size, std::uint32_t done, std::uint32_t total) {
    std::snprintf(text, static_cast<size_t>(size), "%u %% (%u of %u B)",
                  total ? static_cast<unsigned>(100.0 * done / total) : 0u, done, total);
}

} // namespace

void Session::MapLine(char* text, int size) const {
    const Endpoint* e = Observed();
    if (!e || !e->m_blocks) return;
    int used = std::snprintf(text, static_cast<size_t>(size), "  map ");
    char part[80];
    if (e->m_index != 0) { // a peer: what it holds of the host's map
        const SLink& l = e->m_links[0];
        SNetBlockProgress p{};
        if (!l.m_client) return;
        if (l.m_map == SLink::kMapDone)
            std::snprintf(part, sizeof part, "received whole");
        else if (l.m_map == SLink::kMapFailed)
            std::snprintf(part, sizeof part, "FAILED");
        else if (e->m_blocks->GetReceiveProgress(l.m_client, &p) == 1 && p.m_id != 0)
            Percent(part, sizeof part, p.m_done, p.m_total), std::strcat(part, " received");
        else
            std::snprintf(part, sizeof part, "not started");
        std::snprintf(text + used, static_cast<size_t>(size - used), "%s", part);
        return;
    }
    // The host: acknowledged share per peer while they fit the line, else counts.
    int done = 0, sending = 0, failed = 0, shown = 0;
    for (int i = 0; i < e->m_num_links; ++i) {
        const SLink& l = e->m_links[i];
        if (!l.m_client) continue;
        done += l.m_map == SLink::kMapDone;
        sending += l.m_map == SLink::kMapSending;
        failed += l.m_map == SLink::kMapFailed;
        if (shown >= kMaxRows || used >= size - 60) continue;
        SNetBlockProgress p{};
        if (l.m_map == SLink::kMapDone)
            std::snprintf(part, sizeof part, "done");
        else if (l.m_map == SLink::kMapFailed)
            std::snprintf(part, sizeof part, "FAILED");
        else if (e->m_blocks->GetSendProgress(l.m_client, &p) == 1 && p.m_id == l.m_map_id)
            std::snprintf(part, sizeof part, "%u %%",
                          p.m_total ? static_cast<unsigned>(100.0 * p.m_done / p.m_total) : 0u);
        else
            std::snprintf(part, sizeof part, "queued");
        used += std::snprintf(text + used, static_cast<size_t>(size - used), " %s %s",
                              l.m_remote_name, part);
        ++shown;
    }
    if (shown < done + sending + failed && used < size)
        std::snprintf(text + used, static_cast<size_t>(size - used),
                      " ... %d delivered, %d in transfer, %d failed", done, sending, failed);
}

void Session::MapNews() {
    for (int i = 0; i < m_num_endpoints; ++i) {
        Endpoint& e = *m_endpoints[i];
        for (int k = 0; k < e.m_num_links; ++k) {
            SLink& l = e.m_links[k];
            if (!l.m_map_news) continue;
            l.m_map_news = false;
            const double secs = (l.m_map_ms - l.m_link_ms) / 1000.0;
            if (e.m_index == 0 && l.m_map == SLink::kMapDone)
                std::fprintf(m_out, "  map to %s delivered: %u bytes in %.2f s\n", l.m_remote_name,
                             m_cfg.m_block, secs);
            else if (e.m_index == 0)
                std::fprintf(m_out, "  map to %s FAILED: %s\n", l.m_remote_name,
                             MapReasonText(l.m_map_reason));
            else if (l.m_maps_in == 0) // the host ended it, or this side refused it
                std::fprintf(m_out, "  map from the host to %s FAILED: %s\n", e.m_name,
                             MapReasonText(l.m_map_reason));
            else if (l.m_map == SLink::kMapDone && l.m_maps_in == 1)
                std::fprintf(
                    m_out, "  map received by %s: %u bytes in %.2f s, FNV-1a 64 %016llx: ok\n",
                    e.m_name, l.m_map_len, secs, static_cast<unsigned long long>(l.m_map_hash));
            else
                std::fprintf(m_out,
                             "  map received by %s: %u bytes (block %d over this link), FNV-1a 64 "
                             "%016llx, expected %u bytes, %016llx: MISMATCH\n",
                             e.m_name, l.m_map_len, l.m_maps_in,
                             static_cast<unsigned long long>(l.m_map_hash), m_cfg.m_block,
                             static_cast<unsigned long long>(MapHash(m_cfg.m_block)));
            std::fflush(m_out);
        }
    }
}

bool Session::MapsSettled() const {
    if (m_cfg.m_block == 0) return true;
    for (int i = 0; i < m_num_endpoints; ++i) {
        const Endpoint& e = *m_endpoints[i];
        if (e.m_index < 0) return false; // a peer that never joined waits for nothing
        for (int k = 0; k < e.m_num_links; ++k) {
            const SLink& l = e.m_links[k];
            if (!l.m_client) continue;
            // The host waits for every acknowledgement, a peer for its map.
            if (e.m_index == 0 ? l.m_map == SLink::kMapSending : l.m_map == SLink::kMapNone)
                return false;
        }
    }
    return true;
}

bool Session::MapSummary(FILE* out) const {
    if (m_cfg.m_block == 0) return true;
    bool ok = true;
    int peers = 0, good = 0;
    unsigned refused = 0; // fragments the peers here dropped: old, out of range, unasked
    for (int i = 0; i < m_num_endpoints; ++i) {
        const Endpoint& e = *m_endpoints[i];
        if (e.m_index < 0) continue;
        int links = 0, done = 0;
        for (int k = 0; k < e.m_num_links; ++k) {
            const SLink& l = e.m_links[k];
            if (!l.m_client && !l.m_retired) continue; // a UDP host retires its links at the end
            ++links;
            // A peer takes exactly one block, the map of its size.
            done += l.m_map == SLink::kMapDone && (e.m_index == 0 || l.m_maps_in == 1);
        }
        if (e.m_index == 0) {
            // Every peer present at the end holds its map, and none failed on the way; a
            // player that left before its map arrived took it with it.
            const bool host_ok = done == links && e.m_maps_failed == 0;
            std::fprintf(out,
                         "  map        %u bytes to every peer: %d queued, %d acknowledged whole, "
                         "%d failed, %d went with a player who left; %d of %d present hold it   "
                         "%s\n"
                         "             (fragments sent %u, of them sent again %u)\n",
                         m_cfg.m_block, e.m_maps_queued, e.m_maps_delivered, e.m_maps_failed,
                         e.m_maps_gone, done, links, host_ok ? "ok" : "FAILED",
                         e.m_blocks->m_fragments_sent, e.m_blocks->m_fragments_resent);
            ok = ok && host_ok;
        } else {
            ++peers;
            good += links > 0 && done == links;
            refused += e.m_blocks ? e.m_blocks->m_fragments_refused : 0;
        }
    }
    if (peers > 0) {
        std::fprintf(out,
                     "  map        %d of %d peer%s here received it whole, FNV-1a 64 %016llx   %s\n"
                     "             (fragments they dropped as old or unasked %u)\n",
                     good, peers, peers > 1 ? "s" : "",
                     static_cast<unsigned long long>(MapHash(m_cfg.m_block)),
                     good == peers ? "ok" : "FAILED", refused);
        ok = ok && good == peers;
    }
    return ok;
}

void Session::LinksLine(char* text, int size) const {
    // Rows of m_rows are those of the last Report.
    const int rows = m_num_rows;
    int pings[kMaxPeers];
    long long in = 0, lost = 0, pending = 0;
    double worst = 0.0;
    for (int i = 0; i < rows; ++i) {
        const SLinkStats& r = m_rows[i];
        pings[i] = r.m_ping;
        in += r.m_packets_in;
        lost += r.m_lost;
        pending += r.m_chat_pending;
        worst = std::max(worst, r.m_max_error);
    }
    std::sort(pings, pings + rows);
    std::snprintf(text, static_cast<size_t>(size),
                  "%d links: ping p50 %d ms, p90 %d ms, max %d ms; %lld packets in, %lld lost; "
                  "%lld chat lines pending; worst error %.4f m",
                  rows, rows ? pings[rows / 2] : 0, rows ? pings[rows * 9 / 10] : 0,
                  rows ? pings[rows - 1] : 0, in, lost, pending, worst);
}

void Session::HostCpuLine(FILE* out) const {
    const SHostCpu& h = m_host_cpu;
    if (h.m_frames == 0 || m_cfg.m_peers < 1) return;
    const double frame_us = 1e6 * h.m_total_s / h.m_frames;
    std::fprintf(out,
                 "  host cpu   %.1f us per frame, %.2f us per peer-frame (%d peers, %d frames; "
                 "%.2f %% of a %d fps frame); process CPU clock, %.0f ns a reading\n",
                 frame_us, frame_us / m_cfg.m_peers, m_cfg.m_peers, h.m_frames,
                 frame_us * m_cfg.m_fps / 1e4, m_cfg.m_fps, h.m_clock_call_ns);
}

int Session::CountViews(int* expected, int* unexpected) const {
    int views = 0;
    *expected = 0;
    if (unexpected) *unexpected = 0;
    // With the relay every endpoint shows every other object; without, the host shows the
    // peers' and each peer the host's.
    const bool relay = Relayed(m_cfg.m_peers);
    for (int i = 0; i < m_num_endpoints; ++i) {
        const int me = m_endpoints[i]->m_index;
        if (me < 0) continue;
        for (int o = 0; o <= m_cfg.m_peers; ++o) {
            if (o == me) continue;
            // A UDP host checks the players its slots held (and saw), a player that joined a
            // run under way the host's object: the others come and go.
            if (m_cfg.m_mode == SDemoConfig::kUdpServer && !m_slot_checked[o - 1]) continue;
            if (m_host_only_views && o != 0) continue;
            if (!relay && me != 0 && o != 0) {
                if (unexpected) *unexpected += ViewSeen(i, o); // a relay that should be off
                continue;
            }
            ++*expected;
            views += ViewSeen(i, o);
        }
    }
    return views;
}

int Session::Summary(FILE* out, double wall_s) {
    const bool sim = m_cfg.m_mode == SDemoConfig::kSim;
    char sig_name[16];
    const char* stopped_by = m_stopped ? SignalName(m_stopped, sig_name) : "";
    if (m_phase == kDone && m_frame == 0) {
        if (m_stopped)
            std::fprintf(out, "portnet-demo: stopped by %s before the run began\n", stopped_by);
        else if (m_refused)
            std::fprintf(out, "portnet-demo: the host refused us: %s\n", RefusalText(m_refusal));
        else if (m_handshake_failed)
            std::fprintf(out, "portnet-demo: the secure handshake with the host failed\n");
        else if (m_cfg.m_mode == SDemoConfig::kUdpServer)
            std::fprintf(out, "portnet-demo: %d of %d peers joined in %d s\n",
                         static_cast<CNetServer*>(m_endpoints[0]->m_manager)->GetNumPeers(),
                         m_cfg.m_peers, kWaitLimitMs / 1000);
        else if (m_host_gone != 0 && m_host_gone != kNetGoneTimedOut)
            std::fprintf(out, "portnet-demo: could not join the host: %s\n", GoneText(m_host_gone));
        else
            std::fprintf(out, "portnet-demo: no answer from the host\n");
        if (m_cfg.m_mode == SDemoConfig::kUdpServer) PlayersLine(out);
        unsigned c[5];
        SecureStats(m_outcome.m_dtls);
        if (SecureStats(c))
            std::fprintf(out,
                         "  dtls       %u handshakes completed of %u started, %u failed; %u "
                         "datagrams rejected, %u replayed\n",
                         c[1], c[0], c[2], c[3], c[4]);
        return m_stopped ? 128 + m_stopped : 1;
    }
    int said = 0, owed = 0, delivered = 0, heard = 0, good = 0, failures = 0, gone = 0;
    for (int i = 0; i < m_num_endpoints; ++i) {
        const Endpoint& e = *m_endpoints[i];
        failures += e.m_step_failures;
        for (int l = 0; l < e.m_num_links; ++l) {
            const SLink& k = e.m_links[l];
            // A slot a player left is counted in m_departed; a link the host retired as it
            // left keeps its counts here.
            if (!k.m_client && !k.m_retired) continue;
            said += k.m_said;
            owed += k.m_owed;
            delivered += k.m_chat ? k.m_chat->m_delivered : k.m_delivered;
            heard += k.m_heard;
            good += k.m_good;
            gone += k.m_gone;
        }
    }
    // In one process every line has its receiver here; over UDP this side sees its own lines
    // acknowledged and checks the other side's lines for order, the other process the rest.
    // Lines to players that left were owed to nobody any more; what they said was checked.
    // A run stopped early checks what it could: order, and the error of what was shown.
    const SDeparted& d = m_departed;
    const bool in_order = good == heard && d.m_good == d.m_heard;
    const bool chat_ok =
        in_order && (m_stopped || (owed == 0 && delivered == said && (!sim || heard == said)));
    int expected_views = 0;
    int unexpected = 0;
    const int views = CountViews(&expected_views, &unexpected);
    const bool pos_ok = (m_stopped || (views == expected_views && views > 0)) && unexpected == 0 &&
                        m_worst_error <= m_bound_m;

    const double run_s = m_frame / double(m_cfg.m_fps);
    std::fprintf(out, "%ssummary: %d frame%s (%.1f s) + %d to settle, in %.2f s%s%s\n",
                 m_table.IsTerminal() ? "\n" : "", m_frame, m_frame == 1 ? "" : "s", run_s,
                 m_extra_frames, wall_s, m_stopped ? "; stopped by " : "", stopped_by);
    said += d.m_said;
    heard += d.m_heard;
    good += d.m_good;
    delivered += d.m_delivered;
    if (sim)
        std::fprintf(out,
                     "  chat       %d lines said, %d arrived exactly once and in order, %d pending"
                     "   %s\n",
                     said + owed, good, said + owed - delivered, chat_ok ? "ok" : "FAILED");
    else
        std::fprintf(out,
                     "  chat       %d lines said, %d pending; %d heard, %d of them in order   %s\n",
                     said + owed, said + owed - delivered, heard, good, chat_ok ? "ok" : "FAILED");
    if (d.m_said > d.m_delivered)
        std::fprintf(out, "             (%d of the pending lines were to players that left)\n",
                     d.m_said - d.m_delivered);
    std::fprintf(out, "  positions  %d of %d views, worst error %.4f m, bound %.2f m   %s\n", views,
                 expected_views, m_worst_error, m_bound_m, pos_ok ? "ok" : "FAILED");
    if (unexpected)
        std::fprintf(out, "             %d views of peers' objects a peer should not see\n",
                     unexpected);
    if (sim)
        std::fprintf(out,
                     "             (distance to the true path in the last %d ms; lag mean %lld ms,"
                     " max %d ms)\n",
                     m_window_ms, m_lag_count ? m_lag_sum / m_lag_count : 0, m_max_lag);
    else
        std::fprintf(out, "             (distance to the object's circle: the clocks differ)\n");
    const SNetSimStats& ns = sim ? m_net->m_stats : m_impaired->m_stats;
    std::fprintf(out,
                 "  simulated  %u datagrams sent, %u dropped by the simulated loss, %u duplicated, "
                 "%u delivered%s\n",
                 ns.m_sent, ns.m_dropped_loss, ns.m_duplicated, ns.m_delivered,
                 sim ? "" : " (this side's sending, before the real network)");
    // What the receivers counted: sequence numbers they never saw, whatever dropped them.
    long long expected_packets = d.m_packets, lost_packets = d.m_lost;
    for (int i = 0; i < m_num_endpoints; ++i)
        for (int l = 0; l < m_endpoints[i]->m_num_links; ++l)
            if (const CNetClient* c = m_endpoints[i]->m_links[l].m_client) {
                expected_packets += c->m_read_seq;
                lost_packets += c->m_lost_packets;
            } else if (m_endpoints[i]->m_links[l].m_retired) {
                expected_packets += m_endpoints[i]->m_links[l].m_read_seq;
                lost_packets += m_endpoints[i]->m_links[l].m_final.m_lost;
            }
    if (ns.m_dropped_queue_full > 0)
        std::fprintf(out, "             %u dropped by a full holding queue   FAILED\n",
                     ns.m_dropped_queue_full);
    std::fprintf(out, "  measured   %lld of %lld packets lost (%.1f %%) as %s counted them\n",
                 lost_packets, expected_packets,
                 expected_packets ? 100.0 * lost_packets / expected_packets : 0.0,
                 sim ? "the receivers" : "this side");
    if (m_cfg.m_mode == SDemoConfig::kUdpServer) PlayersLossLine(out);
    // What this process put on the wire, for a capture to be held against (tests/dissector).
    long long packets_out = 0, records_out = 0;
    for (int i = 0; i < m_num_endpoints; ++i) {
        const Endpoint& e = *m_endpoints[i];
        for (int l = 0; l < e.m_num_links; ++l)
            if (const CNetClient* c = e.m_links[l].m_client)
                packets_out += c->m_packets_out;
            else if (e.m_links[l].m_retired)
                packets_out += e.m_links[l].m_final.m_packets_out;
        for (int p = 1; e.m_manager && p < e.m_manager->m_num_ports; ++p)
            if (const CPositionState* o = e.Object(p)) records_out += o->m_records;
    }
    std::fprintf(out,
                 "  wire       %lld packets sent, %lld state records in them, %d chat lines "
                 "delivered%s\n",
                 packets_out, records_out, delivered, sim ? "" : " (this side)");
    unsigned c[5];
    if (SecureStats(c))
        std::fprintf(out,
                     "  dtls       %u handshakes completed of %u started, %u failed; %u datagrams "
                     "rejected, %u replayed%s\n",
                     c[1], c[0], c[2], c[3], c[4], sim ? "" : " (this side)");
    if (sim && !m_cfg.m_token_key.empty()) {
        std::fprintf(out, "  tokens     the host admitted by connect token the players");
        for (int k = 1; k < m_num_endpoints; ++k)
            std::fprintf(out, " %llu", (unsigned long long)PlayerAt(SimAddr(1 + k)));
        std::fprintf(out, "\n");
    }
    if (Observed() && Observed()->m_index == 0) {
        CollectRows();
        if (m_num_rows > kMaxRows) {
            char links[240];
            LinksLine(links, sizeof links);
            std::fprintf(out, "  %s\n", links);
        }
        HostCpuLine(out);
    }
    if (failures) std::fprintf(out, "  %d manager steps failed   FAILED\n", failures);
    if (gone) std::fprintf(out, "  %d peer%s left before the end\n", gone, gone > 1 ? "s" : "");
    if (m_cfg.m_mode == SDemoConfig::kUdpServer) PlayersLine(out);
    if (m_host_gone)
        std::fprintf(out, "  host       lost %s: %s%s%s\n",
                     m_host_lost_early ? "during the run" : "while settling", GoneText(m_host_gone),
                     m_cfg.m_secure ? "; no handshake was started to it after that" : "",
                     m_host_lost_early ? "   FAILED" : "");
    if (!m_cfg.m_plot.empty()) {
        char title[200];
        std::snprintf(title, sizeof title,
                      "portnet-demo, seen from %s: loss %g%%, latency %d ms, "
                      "jitter 0-%d ms, duplicates %g%%",
                      Observed()->m_name, m_cfg.m_loss, m_cfg.m_latency, m_cfg.m_jitter,
                      m_cfg.m_dup);
        // Which lines the plot holds: a line per slot, the first kMaxSeries of them.
        char drawn[120];
        const int slots = m_cfg.m_mode == SDemoConfig::kUdpClient ? 1 : m_cfg.m_peers;
        if (m_cfg.m_mode == SDemoConfig::kUdpClient)
            std::snprintf(drawn, sizeof drawn, "the link to the host");
        else if (slots <= SvgPlot::kMaxSeries)
            std::snprintf(drawn, sizeof drawn, "every peer, p1-p%d", slots);
        else
            std::snprintf(drawn, sizeof drawn, "peers p1-p%d of %d (at most %d are drawn)",
                          +SvgPlot::kMaxSeries, slots, +SvgPlot::kMaxSeries);
        if (!m_plot.Write(m_cfg.m_plot.c_str(), title, drawn))
            std::fprintf(out, "  could not write %s\n", m_cfg.m_plot.c_str());
        else
            std::fprintf(out, "  plot       %s: %s\n", m_cfg.m_plot.c_str(), drawn);
    }
    const bool maps_ok = MapSummary(out);
    // A full queue of the simulation is the demo's own fault, not the network's: it fails.
    const bool ok = chat_ok && pos_ok && maps_ok && failures == 0 && !m_host_lost_early &&
                    ns.m_dropped_queue_full == 0;
    SDemoOutcome& r = m_outcome;
    r.m_passed = ok;
    r.m_joined = true;
    r.m_said = said + owed;
    r.m_pending = said + owed - delivered;
    r.m_heard = heard;
    r.m_good = good;
    r.m_worst_error = m_worst_error;
    const CNetClient* host = NumObserved() > 0 ? Observed()->m_links[0].m_client : nullptr;
    r.m_ping = host ? host->m_ping : 0;
    r.m_packets = expected_packets;
    r.m_lost = lost_packets;
    SecureStats(r.m_dtls);
    if (m_stopped && !m_forever) {
        // A run cut short passed nothing: the checks above covered only what ran.
        std::fprintf(out, "result: STOPPED by %s before the end of the run (%s so far)\n",
                     stopped_by, ok ? "no fault" : "FAIL");
        return 128 + m_stopped;
    }
    std::fprintf(out, "result: %s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}

// Over UDP the host counts only what it receives; what its players lost of its own packets
// they report at the end of every chat line they say, the latest of each player counted here.
void Session::PlayersLossLine(FILE* out) const {
    const SDeparted& d = m_departed;
    long long packets = d.m_peer_packets, lost = d.m_peer_lost;
    int reports = d.m_peer_reports;
    const Endpoint& e = *m_endpoints[0];
    for (int l = 0; l < e.m_num_links; ++l) {
        const SLink& k = e.m_links[l];
        // Live links, and those retired at the end (a player that left is in m_departed).
        if ((!k.m_client && !k.m_retired) || k.m_peer_lost < 0) continue;
        packets += k.m_peer_packets;
        lost += k.m_peer_lost;
        ++reports;
    }
    std::fprintf(out,
                 "  players saw %lld of %lld of this side's packets lost (%.1f %%), as %d of %d "
                 "players reported them in their last chat line\n",
                 lost, packets, packets ? 100.0 * lost / packets : 0.0, reports, m_joined);
}

void Session::PlayersLine(FILE* out) const {
    const CNetServer* server = static_cast<const CNetServer*>(m_endpoints[0]->m_manager);
    unsigned left = 0, refused = 0;
    for (unsigned n : m_left_by)
        left += n;
    for (int k = 1; k < CNetServer::kRefusedReasons; ++k)
        refused += server->m_refused[k];
    std::fprintf(out, "  players    %d joined, %u left", m_joined, left);
    const char* sep = " (";
    for (int k = 0; k < 8; ++k)
        if (m_left_by[k]) {
            std::fprintf(out, "%s%.*s %u", sep, NameLength(GoneText(k)), GoneText(k), m_left_by[k]);
            sep = ", ";
        }
    std::fprintf(out, "%s; %u datagram%s refused", left ? ")" : "", refused,
                 refused == 1 ? "" : "s");
    sep = " (";
    for (int k = 1; k < CNetServer::kRefusedReasons; ++k)
        if (server->m_refused[k]) {
            std::fprintf(out, "%s%.*s %u", sep, NameLength(RefusalText(k)), RefusalText(k),
                         server->m_refused[k]);
            sep = ", ";
        }
    int present = 0;
    for (int i = 0; i < NumObserved(); ++i)
        present += Observed()->m_links[i].m_client != nullptr;
    std::fprintf(out, "%s; %d present at the end\n", refused ? ")" : "", present);
}

int Session::OnOutOfBand(CNetBuf* buf) {
    unsigned char b[6] = {};
    for (int i = 0; i < 5; ++i)
        if (buf->ReadByte(&b[i]) < 0) return 0; // not ours: ignored
    buf->ReadByte(&b[5]);                       // the flags, 0 when missing
    if (b[0] != 'p' || b[1] != 'd') return 0;
    Endpoint& e = *m_endpoints[0];
    if (m_cfg.m_mode == SDemoConfig::kUdpServer && b[2] == 'H') {
        // The server admitted the peer with its first packet (OnServerEvent); the hello asks
        // for its number. Before the run it comes once every peer is in, so all start the run
        // with the host (one that started early could end before the host's last lines reached
        // it); later a player is welcomed at once.
        const int slot = e.m_manager->FindClient(buf->Addr());
        SLink* link = e.LinkAt(slot);
        if (link && link->m_client->m_send_buf) {
            if (m_phase == kWaiting) return 1; // asked again until then
            SendHandshake(link->m_client->m_send_buf, 'W', link->m_remote, m_cfg.m_peers,
                          m_slot_on_time[slot] ? 0 : kWelcomeLate);
        } else if (const SRefusal* r = slot < 0 ? RefusalAt(buf->Addr()) : nullptr) {
            CNetBuf reply(*buf); // the sender's address, for one refusal
            reply.m_write_pos = 0;
            SendHandshake(&reply, 'F', r->m_reason, 0);
        }
    } else if (m_cfg.m_mode == SDemoConfig::kUdpClient && m_phase == kWaiting) {
        if (b[2] == 'F') {
            m_refused = true;
            m_refusal = b[3];
            CannotJoin(0);
        } else if (b[2] == 'W' && b[3] >= 1 && b[3] <= kMaxPeers && b[4] >= 1 &&
                   b[4] <= kMaxPeers) {
            m_cfg.m_peers = b[4];
            m_host_only_views = (b[5] & kWelcomeLate) != 0;
            if (e.SetIndex(b[3]) < 0) return -1;
            // The object goes live inside this frame's Read, and this frame's Write sends it:
            // place it first, or the host sees it at the origin.
            e.Move(CNetTime::GetTime());
            std::fprintf(m_out, "  joined as %s of %d peers%s\n", e.m_name, b[4],
                         m_host_only_views ? ", a run under way: the host's object is checked"
                                           : "");
            m_phase = kActive;
        }
    }
    return 1;
}

void Session::OnGone(int slot) {
    if (SLink* l = m_endpoints[0]->LinkAt(slot)) l->m_gone = true;
}

bool Session::Admit() {
    // The server refuses beyond its slots by itself (full); the host takes nobody new once its
    // run is over.
    return m_phase == kWaiting || m_phase == kActive;
}

const Session::SRefusal* Session::RefusalAt(const CNetAddr& addr) const {
    for (const SRefusal& r : m_refusals)
        if (r.m_reason != 0 && r.m_addr == addr) return &r;
    return nullptr;
}

void Session::NoteRefusal(const CNetAddr& addr, int reason) {
    const int now = CNetTime::GetTime();
    SRefusal* r = const_cast<SRefusal*>(RefusalAt(addr));
    if (r && r->m_reason == reason && now - r->m_printed < kRefusalQuietMs) {
        ++r->m_repeats; // the same sender again: its next packets, until it hears of it
        return;
    }
    const unsigned repeats = r && r->m_reason == reason ? r->m_repeats : 0;
    if (!r) {
        r = &m_refusals[m_refusal_next];
        m_refusal_next = (m_refusal_next + 1) % kRefusalRing;
    }
    // A player that just left may still have datagrams on the way: its goodbye's repeats,
    // packets that crossed it.
    bool just_left = false;
    for (const SRefusal& l : m_departures)
        just_left = just_left ||
                    (l.m_reason != 0 && now - l.m_printed < kRefusalQuietMs && l.m_addr == addr);
    std::fprintf(m_out, "  refused %s, no slot: %s%s%s", AddrText(addr).c_str(),
                 RefusalText(reason),
                 reason == CNetServer::kRefusedByHost ? " (its run is over)" : "",
                 just_left ? "; late datagrams of the player that left from there" : "");
    if (repeats) std::fprintf(m_out, "; %u more of its datagrams refused since", repeats);
    std::fprintf(m_out, "\n");
    std::fflush(m_out);
    r->m_addr = addr;
    r->m_reason = reason;
    r->m_printed = now;
    r->m_repeats = 0;
}

void Session::OnServerEvent(const SNetServerEvent& ev) {
    Endpoint& e = *m_endpoints[0];
    CNetServer* server = static_cast<CNetServer*>(e.m_manager);
    if (ev.m_type == SNetServerEvent::kJoined) {
        // Slot k holds peer k + 1: a player that takes a freed slot takes its number and object.
        const int remote = ev.m_slot + 1;
        if (ev.m_slot >= m_cfg.m_peers ||
            e.AdoptLink(ev.m_slot, remote, server->GetPeer(ev.m_slot), m_timeout_ms) < 0) {
            server->Kick(ev.m_slot);
            return;
        }
        ++m_joined;
        m_slot_checked[ev.m_slot] = true;
        m_slot_on_time[ev.m_slot] = m_phase == kWaiting;
        std::fprintf(m_out, "  p%d joined from %s, slot %d", remote, AddrText(ev.m_peer).c_str(),
                     ev.m_slot);
        if (const std::uint64_t player = ev.m_who.m_player_id)
            std::fprintf(m_out, " as player %llu (connect token)", (unsigned long long)player);
        std::fprintf(m_out, "\n");
        std::fflush(m_out);
        if (m_phase == kWaiting && server->GetNumPeers() == m_cfg.m_peers) m_phase = kActive;
    } else if (ev.m_type == SNetServerEvent::kLeft) {
        SLink* l = e.LinkAt(ev.m_slot);
        if (!l) return;
        std::fprintf(m_out, "  %s left from %s, slot %d: %s\n", l->m_remote_name,
                     AddrText(ev.m_peer).c_str(), ev.m_slot, GoneText(ev.m_reason));
        std::fflush(m_out);
        ++m_left_by[ev.m_reason >= 0 && ev.m_reason < 8 ? ev.m_reason : 0];
        // What its link counted stays in the summary; the slot is free for the next player.
        // A player never shown is not checked for a view.
        SDeparted& d = m_departed;
        d.m_said += l->m_said + l->m_owed;
        d.m_delivered += l->m_chat->m_delivered;
        d.m_heard += l->m_heard;
        d.m_good += l->m_good;
        d.m_packets += l->m_client->m_read_seq;
        d.m_lost += l->m_client->m_lost_packets;
        if (l->m_peer_lost >= 0) {
            d.m_peer_packets += l->m_peer_packets;
            d.m_peer_lost += l->m_peer_lost;
            ++d.m_peer_reports;
        }
        if (!ViewSeen(0, l->m_remote)) m_slot_checked[ev.m_slot] = false;
        SRefusal& gone = m_departures[m_departure_next];
        m_departure_next = (m_departure_next + 1) % kRefusalRing;
        gone.m_addr = ev.m_peer;
        gone.m_reason = ev.m_reason > 0 ? ev.m_reason : 1;
        gone.m_printed = CNetTime::GetTime();
        e.DropLink(ev.m_slot);
    } else if (ev.m_type == SNetServerEvent::kRefused) {
        NoteRefusal(ev.m_peer, ev.m_reason);
    }
}

void Session::OnConnectionEvent(const SNetConnectionEvent& ev) {
    if (ev.m_type == SNetConnectionEvent::kConnected) {
        m_connected = true;
        return;
    }
    m_host_gone = ev.m_reason;
    if (ev.m_reason == kNetGoneRefused) m_connection_refusal = ev.m_refusal;
    if (m_phase == kWaiting) { // never joined: the host is not gone, we never got in
        CannotJoin(ev.m_reason);
        return;
    }
    m_host_lost_early = m_phase != kLinger; // before this side's run and drain were done
    if (ev.m_reason == kNetGoneRefused)
        std::fprintf(m_out, "  the host is gone: it no longer knows us (%s)\n",
                     RefusalText(ev.m_refusal));
    else
        std::fprintf(m_out, "  the host is gone: %s\n", GoneText(ev.m_reason));
    if (m_phase != kLinger) m_phase = kDone;
}

} // namespace demo
