// portnet-demo: a host and up to 250 peers replicating moving objects and chat over a
// network with loss, latency, jitter and duplicates; in one process on the simulator, or
// between processes over UDP, where one process may run many peers as a load for a host. Exit
// status: 0 every check passed, 1 a check failed, 2 bad input, 128 + the signal for a run that
// Ctrl-C or SIGTERM ended early (a host serving until stopped ends with its checks' status).

#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Crowd.h"
#include "Glue.h"
#include "Session.h"
#include "Stop.h"

namespace {

// How an option's value is checked and stored. Everything is checked before anything starts;
// a bad value names the option and what it accepts.
enum class EKind { kWhole, kNumber, kText, kFlag, kUdpMode, kAddress, kBindAddress, kKey };

// A pre-shared key as hex digits (white space between them ignored): 1 to 64 bytes; main
// refuses fewer than kMinKeyBytes.
const size_t kMinKeyBytes = 16;
bool ParseKey(const std::string& text, std::vector<unsigned char>* key) {
    key->clear();
    int high = -1;
    for (const char ch : text) {
        if (ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r') continue;
        int v;
        if (ch >= '0' && ch <= '9')
            v = ch - '0';
        else if ((ch | 0x20) >= 'a' && (ch | 0x20) <= 'f')
            v = (ch | 0x20) - 'a' + 10;
        else
            return false;
        if (high < 0) {
            high = v;
        } else {
            key->push_back(static_cast<unsigned char>(high << 4 | v));
            high = -1;
        }
    }
    return high < 0 && !key->empty() && key->size() <= 64;
}

struct SOption {
    const char* m_name;
    const char* m_value_name; // null for a flag
    const char* m_help;
    EKind m_kind;
    double m_lo, m_hi; // accepted range of kWhole and kNumber
    void* m_target;    // long long, double, std::string or bool
};

// The problem with text as a value of o, or an empty string when it is good (and stored).
std::string Store(const SOption& o, const char* text) {
    char range[64];
    std::snprintf(range, sizeof range, "%.17g to %.17g", o.m_lo, o.m_hi);
    const std::string quoted = std::string("'") + text + "'";
    switch (o.m_kind) {
    case EKind::kWhole: {
        errno = 0;
        char* end = nullptr;
        const long long v = std::strtoll(text, &end, 10);
        if (*text == '\0' || *end != '\0' || errno != 0 || v < o.m_lo || v > o.m_hi)
            return quoted + " is not a whole number from " + range;
        *static_cast<long long*>(o.m_target) = v;
        return {};
    }
    case EKind::kNumber: {
        char* end = nullptr;
        const double v = std::strtod(text, &end);
        if (*text == '\0' || *end != '\0' || !(v >= o.m_lo && v <= o.m_hi))
            return quoted + " is not a number from " + range;
        *static_cast<double*>(o.m_target) = v;
        return {};
    }
    case EKind::kUdpMode:
        if (std::strcmp(text, "server") != 0 && std::strcmp(text, "client") != 0)
            return quoted + " is neither server nor client";
        break;
    case EKind::kAddress:
    case EKind::kBindAddress: {
        const bool any_port = o.m_kind == EKind::kBindAddress;
        char why[160];
        if (!demo::ParseAddress(text, any_port, nullptr, why, sizeof why))
            return quoted + " is not an address and port a.b.c.d:port or name:port (" + why + ")";
        break;
    }
    case EKind::kText:
        if (*text == '\0') return "needs a value";
        break;
    case EKind::kKey: {
        std::vector<unsigned char> key;
        if (!ParseKey(text, &key))
            return quoted +
                   " is not a key of 16 to 64 bytes as an even number of hex digits (32-128)";
        if (key.size() < kMinKeyBytes)
            return "a key of " + std::to_string(key.size()) +
                   " bytes is too short to keep a stranger out: 16 to 64 random bytes (32-128 hex "
                   "digits)";
        break;
    }
    case EKind::kFlag:
        *static_cast<bool*>(o.m_target) = true;
        return {};
    }
    *static_cast<std::string*>(o.m_target) = text;
    return {};
}

std::string DefaultText(const SOption& o) {
    char text[64];
    switch (o.m_kind) {
    case EKind::kWhole:
        std::snprintf(text, sizeof text, "%lld", *static_cast<long long*>(o.m_target));
        return text;
    case EKind::kNumber:
        std::snprintf(text, sizeof text, "%g", *static_cast<double*>(o.m_target));
        return text;
    case EKind::kFlag:
        return "off";
    default:
        return static_cast<std::string*>(o.m_target)->empty()
                   ? "none"
                   : *static_cast<std::string*>(o.m_target);
    }
}

void PrintHelp(const SOption* options, int count) {
    std::printf("portnet-demo: a host and its peers replicate moving objects (unreliable, "
                "delta-coded,\ninterpolated) and chat (reliable) over an impaired network, then "
                "check that every line\narrived once and in order and every shown position lay "
                "on the object's true path.\n\nUsage: portnet-demo [OPTIONS]\n\nOptions:\n");
    std::printf("  %-24s %s\n", "-h, --help", "Print this help and exit");
    for (int i = 0; i < count; ++i) {
        const SOption& o = options[i];
        std::string left = std::string("--") + o.m_name;
        if (o.m_value_name) left += std::string(" ") + o.m_value_name;
        std::printf("  %-24s %s (default: %s)\n", left.c_str(), o.m_help, DefaultText(o).c_str());
    }
}

int BadInput(const std::string& message) {
    std::fprintf(stderr, "portnet-demo: %s\n", message.c_str());
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    demo::SDemoConfig cfg;
    std::string udp, csv, key_hex, key_file, token_key_file;
    long long peers = cfg.m_peers, frames = cfg.m_frames, fps = cfg.m_fps;
    long long latency = cfg.m_latency, jitter = cfg.m_jitter, bandwidth = cfg.m_bandwidth;
    long long seed = static_cast<long long>(cfg.m_seed);
    long long count = cfg.m_count;
    long long block = 0;

    const SOption options[] = {
        {"peers", "N",
         "Peers besides the host, 1-250; above 7 the host relays no peer's object to the others "
         "(each peer sees the host's), and the table gives way to one line over all links",
         EKind::kWhole, 1, demo::kMaxPeers, &peers},
        {"frames", "N",
         "Frames of the run proper; with --udp server 0 serves players until Ctrl-C or SIGTERM",
         EKind::kWhole, 0, 10000000, &frames},
        {"fps", "N", "Frames per second, 1-1000", EKind::kWhole, 1, 1000, &fps},
        {"loss", "P", "Datagrams lost, percent", EKind::kNumber, 0, 100, &cfg.m_loss},
        {"latency", "MS", "One-way delay, 0-10000 ms", EKind::kWhole, 0, 10000, &latency},
        {"jitter", "MS", "Extra delay drawn from 0 to this, 0-10000 ms", EKind::kWhole, 0, 10000,
         &jitter},
        {"dup", "P", "Datagrams duplicated, percent", EKind::kNumber, 0, 100, &cfg.m_dup},
        {"bandwidth", "BYTES",
         "Speed of each link each way, bytes per second; 0 unlimited. Every client adapts "
         "its packets to what its link carries (m_adapt_rate)",
         EKind::kWhole, 0, 1000000000, &bandwidth},
        {"seed", "N", "Seed of the impairments", EKind::kWhole, 0, 9007199254740991.0, &seed},
        {"realtime", nullptr, "Pace the simulated frames in real time", EKind::kFlag, 0, 0,
         &cfg.m_realtime},
        {"csv", "FILE", "Write per-frame, per-peer statistics to this CSV file", EKind::kText, 0, 0,
         &csv},
        {"plot", "FILE.svg",
         "Write round trip, loss and bytes/s of the first 8 peers to this SVG file (a name "
         "ending in .svg)",
         EKind::kText, 0, 0, &cfg.m_plot},
        {"udp", "server|client",
         "Run over UDP as the host (server) or one peer (client); the host serves --peers slots, "
         "reused as players leave",
         EKind::kUdpMode, 0, 0, &udp},
        {"bind", "A.B.C.D:PORT", "Local address, with --udp (a peer may omit it)",
         EKind::kBindAddress, 0, 0, &cfg.m_bind},
        {"connect", "A.B.C.D:PORT", "The host's address, with --udp client", EKind::kAddress, 0, 0,
         &cfg.m_connect},
        {"count", "N",
         "With --udp client: run N peers in this process, each on a socket of its own, and sum "
         "them up (a load for a host started with --peers N)",
         EKind::kWhole, 1, demo::kMaxPeers, &count},
        {"secure", nullptr,
         "Secure every link with DTLS (libportnet-secure), pre-shared key identity "
         "'portnet-demo'; needs a key",
         EKind::kFlag, 0, 0, &cfg.m_secure},
        {"key", "HEX",
         "Pre-shared key of --secure: 16-64 random bytes as 32-128 hex digits, the same on every "
         "side",
         EKind::kKey, 0, 0, &key_hex},
        {"key-file", "PATH", "File holding the --secure key as hex digits", EKind::kText, 0, 0,
         &key_file},
        {"token-key", "PATH",
         "Connect tokens instead of one key: the sealing key (64 hex digits) the host checks "
         "tokens with; on the simulator the host also mints its peers'",
         EKind::kText, 0, 0, &token_key_file},
        {"block", "BYTES",
         "Send every joining peer a map of this many bytes (a block, 1-16777216; 0 none) and "
         "show its progress; each peer checks its hash on arrival and fails on a mismatch. "
         "Give UDP players the same value",
         EKind::kWhole, 0, CNetBlockStream::kMaxLimit, &block},
        {"keylog", "FILE",
         "With --secure: append the DTLS session secrets to FILE (SSLKEYLOGFILE format) so "
         "Wireshark can decrypt a capture; whoever reads FILE reads the sessions",
         EKind::kText, 0, 0, &cfg.m_key_log},
        {"cipher", "LIST",
         "With --secure: the OpenSSL cipher list to offer instead of the default (for a capture "
         "an older Wireshark decrypts: ECDHE-PSK-AES128-CBC-SHA256); give players the same",
         EKind::kText, 0, 0, &cfg.m_cipher},
        {"record", "FILE",
         "On the simulator: record the host's datagrams, clock and a hash of each frame into "
         "FILE (pcapng: Wireshark opens it, tools/dissector decodes it) for --replay",
         EKind::kText, 0, 0, &cfg.m_record},
        {"replay", "FILE",
         "Play the host of a --record recording back and check it frame by frame (same "
         "deliveries, same datagrams sent); the session's options come from FILE",
         EKind::kText, 0, 0, &cfg.m_replay},
        {"token", "TEXT",
         "A --udp client's connect token (portnet-token --server portnet-demo), with --key "
         "the player key that came with it",
         EKind::kText, 0, 0, &cfg.m_token},
    };
    constexpr int kCount = sizeof options / sizeof options[0];
    constexpr int kHelp = kCount; // getopt's value for --help

    option long_options[kCount + 2] = {};
    for (int i = 0; i < kCount; ++i)
        long_options[i] = {options[i].m_name,
                           options[i].m_value_name ? required_argument : no_argument, nullptr, i};
    long_options[kCount] = {"help", no_argument, nullptr, kHelp};

    // '+' stops at the first word that is no option (reported below, not reordered), ':' tells
    // a missing value apart from an unknown option, and opterr = 0 keeps getopt's own messages
    // out, so every error is one line of ours.
    opterr = 0;
    int given = 0; // options on the command line, for --replay, which takes none beside it
    for (;;) {
        const int at = optind;
        const int c = getopt_long(argc, argv, "+:h", long_options, nullptr);
        if (c == -1) break;
        const char* arg = at < argc ? argv[at] : "";
        if (c == 'h' || c == kHelp) {
            PrintHelp(options, kCount);
            return 0;
        }
        if (c == ':') return BadInput(std::string(arg) + " needs a value");
        if (c == '?' || c < 0 || c >= kCount)
            return BadInput(std::string("unknown option ") + arg +
                            "; --help lists the valid options");
        ++given;
        const std::string problem = Store(options[c], optarg ? optarg : "");
        if (!problem.empty())
            return BadInput(std::string("--") + options[c].m_name + ": " + problem);
    }
    if (optind < argc)
        return BadInput(std::string("unexpected argument ") + argv[optind] +
                        "; --help lists the valid options");

    cfg.m_peers = static_cast<int>(peers);
    cfg.m_frames = static_cast<int>(frames);
    cfg.m_fps = static_cast<int>(fps);
    cfg.m_latency = static_cast<int>(latency);
    cfg.m_jitter = static_cast<int>(jitter);
    cfg.m_bandwidth = static_cast<int>(bandwidth);
    cfg.m_seed = static_cast<std::uint64_t>(seed);
    cfg.m_count = static_cast<int>(count);
    cfg.m_block = static_cast<std::uint32_t>(block);

    if (udp == "server") {
        if (cfg.m_bind.empty()) return BadInput("--udp server needs --bind a.b.c.d:port");
        if (!cfg.m_connect.empty()) return BadInput("--connect belongs to --udp client");
        cfg.m_mode = demo::SDemoConfig::kUdpServer;
    } else if (udp == "client") {
        if (cfg.m_connect.empty()) return BadInput("--udp client needs --connect a.b.c.d:port");
        cfg.m_mode = demo::SDemoConfig::kUdpClient;
    } else if (!cfg.m_bind.empty() || !cfg.m_connect.empty()) {
        return BadInput("--bind and --connect need --udp server or --udp client");
    }

    if (!cfg.m_record.empty() || !cfg.m_replay.empty()) {
        if (!cfg.m_record.empty() && !cfg.m_replay.empty())
            return BadInput("--record and --replay: give one");
        const char* which = cfg.m_record.empty() ? "--replay" : "--record";
        if (cfg.m_mode != demo::SDemoConfig::kSim)
            return BadInput(std::string(which) +
                            " plays the host of a simulated session: no --udp");
        if (cfg.m_secure)
            return BadInput(std::string(which) +
                            " with --secure: a replay has no DTLS sessions to wait for");
        if (cfg.m_realtime)
            return BadInput(std::string(which) + " runs on the simulator's clock: no --realtime");
        if (!cfg.m_replay.empty()) {
            if (given > 1)
                return BadInput("--replay takes the session's options from the recording: give it "
                                "alone");
            std::string why;
            if (!demo::ReadReplayOptions(cfg.m_replay, &cfg, &why))
                return BadInput("--replay: cannot replay " + cfg.m_replay + ": " + why);
        }
    }
    if (cfg.m_frames == 0) {
        if (cfg.m_mode != demo::SDemoConfig::kUdpServer)
            return BadInput("--frames 0 (serve until stopped) belongs to --udp server");
        if (!cfg.m_plot.empty())
            return BadInput("--plot needs a run of known length: give --frames N");
    }
    if (!cfg.m_plot.empty()) {
        const std::string& p = cfg.m_plot;
        const bool svg = p.size() > 4 && (p.compare(p.size() - 4, 4, ".svg") == 0 ||
                                          p.compare(p.size() - 4, 4, ".SVG") == 0);
        if (!svg) return BadInput("--plot: '" + p + "' does not end in .svg; the plot is SVG");
    }

    if (cfg.m_count > 1) {
        if (cfg.m_mode != demo::SDemoConfig::kUdpClient)
            return BadInput("--count belongs to --udp client");
        if (!cfg.m_bind.empty() && cfg.m_bind.compare(cfg.m_bind.size() - 2, 2, ":0") != 0)
            return BadInput("--count: the peers cannot share one --bind port; give port 0");
        if (!csv.empty() || !cfg.m_plot.empty())
            return BadInput("--count: --csv and --plot follow one peer; run it alone");
    }

    if (!key_hex.empty() && !key_file.empty())
        return BadInput("--key and --key-file: give the key one way only");
    if (!cfg.m_secure && (!key_hex.empty() || !key_file.empty()))
        return BadInput(std::string(key_hex.empty() ? "--key-file" : "--key") +
                        " belongs to --secure");
    if (!cfg.m_secure && !cfg.m_key_log.empty())
        return BadInput("--keylog needs --secure: a plain session has no secrets to log");
    if (!cfg.m_secure && !cfg.m_cipher.empty())
        return BadInput("--cipher needs --secure: a plain session has no cipher");
    if (!cfg.m_secure && (!token_key_file.empty() || !cfg.m_token.empty()))
        return BadInput(std::string(cfg.m_token.empty() ? "--token-key" : "--token") +
                        " belongs to --secure");
    if (!token_key_file.empty()) {
        if (cfg.m_mode == demo::SDemoConfig::kUdpClient)
            return BadInput("--token-key belongs to the host; a --udp client takes --token");
        if (!cfg.m_token.empty()) return BadInput("--token and --token-key: give one");
        FILE* f = std::fopen(token_key_file.c_str(), "r");
        char text[1024];
        const size_t n = f ? std::fread(text, 1, sizeof text, f) : sizeof text;
        if (f) std::fclose(f);
        if (n == sizeof text || !ParseKey(std::string(text, n), &cfg.m_token_key) ||
            cfg.m_token_key.size() != 32)
            return BadInput("--token-key: " + token_key_file +
                            " is unreadable or does not hold 64 hex digits");
        if (!key_hex.empty() || !key_file.empty())
            return BadInput("--token-key needs no --key or --key-file");
    }
    if (!cfg.m_token.empty() && cfg.m_mode != demo::SDemoConfig::kUdpClient)
        return BadInput("--token belongs to --udp client");
    if (cfg.m_secure && cfg.m_token_key.empty()) {
        if (key_hex.empty() && key_file.empty())
            return BadInput("--secure needs --key HEX or --key-file PATH");
        if (!key_file.empty()) {
            FILE* f = std::fopen(key_file.c_str(), "r");
            if (!f)
                return BadInput("--key-file: cannot read " + key_file + ": " +
                                std::strerror(errno));
            char text[1024];
            const size_t n = std::fread(text, 1, sizeof text, f);
            std::fclose(f);
            if (n == sizeof text || !ParseKey(std::string(text, n), &cfg.m_key))
                return BadInput("--key-file: " + key_file +
                                " does not hold a key of 16 to 64 bytes as hex digits");
            if (cfg.m_key.size() < kMinKeyBytes)
                return BadInput("--key-file: " + key_file + " holds a key of " +
                                std::to_string(cfg.m_key.size()) +
                                " bytes, too short to keep a stranger out: 16 to 64 random bytes");
        } else {
            ParseKey(key_hex, &cfg.m_key);
        }
        if (!cfg.m_token.empty() && cfg.m_key.size() != 32)
            return BadInput("--token: the player key (--key) is 64 hex digits");
    }
    if (cfg.m_secure && !demo::SecureAvailable())
        return BadInput("--secure: this portnet-demo was built without libportnet-secure");

    // Outputs are opened before anything starts, so a bad path leaves nothing running.
    if (!csv.empty() && !(cfg.m_csv = std::fopen(csv.c_str(), "w")))
        return BadInput("cannot write --csv " + csv + ": " + std::strerror(errno));
    if (!cfg.m_plot.empty()) {
        FILE* probe = std::fopen(cfg.m_plot.c_str(), "w");
        if (!probe) {
            if (cfg.m_csv) std::fclose(cfg.m_csv);
            return BadInput("cannot write --plot " + cfg.m_plot + ": " + std::strerror(errno));
        }
        std::fclose(probe);
    }

    demo::CatchStopSignals();
    int status;
    if (cfg.m_count > 1) {
        status = demo::RunCrowd(cfg, stdout);
    } else {
        demo::Session session(cfg);
        status = session.Run(stdout);
    }
    if (cfg.m_csv && std::fclose(cfg.m_csv) != 0) {
        std::fprintf(stderr, "portnet-demo: could not finish %s\n", csv.c_str());
        status = 1;
    }
    return status;
}
