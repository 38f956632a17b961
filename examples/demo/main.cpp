// portnet-demo: a host and up to seven peers replicating moving objects and chat over a
// network with loss, latency, jitter and duplicates; in one process on the simulator, or
// between processes over UDP. Exit status: 0 every check passed, 1 a check failed, 2 bad input.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <CLI/CLI.hpp>

#include "Session.h"

namespace {

// Each validator answers with the problem and the valid range, which CLI11 prefixes with the
// option's name; everything is checked before anything starts.
CLI::Validator WholeNumber(long long lo, long long hi) {
    const std::string range = std::to_string(lo) + " to " + std::to_string(hi);
    return CLI::Validator(
        [lo, hi, range](std::string& text) -> std::string {
            errno = 0;
            char* end = nullptr;
            const long long v = std::strtoll(text.c_str(), &end, 10);
            if (text.empty() || *end != '\0' || errno != 0 || v < lo || v > hi)
                return "'" + text + "' is not a whole number from " + range;
            return std::string();
        },
        std::string());
}

CLI::Validator Number(double lo, double hi) {
    char range[64];
    std::snprintf(range, sizeof range, "%g to %g", lo, hi);
    const std::string r = range;
    return CLI::Validator(
        [lo, hi, r](std::string& text) -> std::string {
            char* end = nullptr;
            const double v = std::strtod(text.c_str(), &end);
            if (text.empty() || *end != '\0' || !(v >= lo && v <= hi))
                return "'" + text + "' is not a number from " + r;
            return std::string();
        },
        std::string());
}

// "a.b.c.d:port", every part decimal; the port may be 0 (any) only where we bind.
bool ParseAddress(const std::string& text, bool any_port) {
    long parts[5];
    const char* p = text.c_str();
    for (int i = 0; i < 5; ++i) {
        if (*p < '0' || *p > '9') return false;
        char* end = nullptr;
        parts[i] = std::strtol(p, &end, 10);
        if (end - p > 5 || parts[i] > (i < 4 ? 255 : 65535)) return false;
        const char sep = i < 3 ? '.' : i == 3 ? ':' : '\0';
        if (*end != sep) return false;
        p = end + (i < 4 ? 1 : 0);
    }
    return any_port || parts[4] > 0;
}

CLI::Validator Address(bool any_port) {
    const std::string ports = any_port ? "0-65535" : "1-65535";
    return CLI::Validator(
        [any_port, ports](std::string& text) -> std::string {
            if (ParseAddress(text, any_port)) return std::string();
            return "'" + text + "' is not an IPv4 address and port a.b.c.d:port (port " + ports +
                   ")";
        },
        std::string());
}

int BadInput(const std::string& message) {
    std::fprintf(stderr, "portnet-demo: %s\n", message.c_str());
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    demo::SDemoConfig cfg;
    std::string udp, csv;
    long long seed = 1;

    CLI::App app{"portnet-demo: a host and its peers replicate moving objects (unreliable, "
                 "delta-coded, interpolated) and chat (reliable) over an impaired network, then "
                 "check that every line arrived once and in order and every shown position lay "
                 "on the object's true path.",
                 "portnet-demo"};
    app.add_option("--peers", cfg.m_peers, "Peers besides the host, 1-7")
        ->type_name("N")
        ->check(WholeNumber(1, 7))
        ->capture_default_str();
    app.add_option("--frames", cfg.m_frames, "Frames of the run proper")
        ->type_name("N")
        ->check(WholeNumber(1, 10000000))
        ->capture_default_str();
    app.add_option("--fps", cfg.m_fps, "Frames per second, 1-1000")
        ->type_name("N")
        ->check(WholeNumber(1, 1000))
        ->capture_default_str();
    app.add_option("--loss", cfg.m_loss, "Datagrams lost, percent")
        ->type_name("P")
        ->check(Number(0, 100))
        ->capture_default_str();
    app.add_option("--latency", cfg.m_latency, "One-way delay, 0-10000 ms")
        ->type_name("MS")
        ->check(WholeNumber(0, 10000))
        ->capture_default_str();
    app.add_option("--jitter", cfg.m_jitter, "Extra delay drawn from 0 to this, 0-10000 ms")
        ->type_name("MS")
        ->check(WholeNumber(0, 10000))
        ->capture_default_str();
    app.add_option("--dup", cfg.m_dup, "Datagrams duplicated, percent")
        ->type_name("P")
        ->check(Number(0, 100))
        ->capture_default_str();
    app.add_option("--seed", seed, "Seed of the impairments")
        ->type_name("N")
        ->check(WholeNumber(0, 9007199254740991LL))
        ->capture_default_str();
    app.add_flag("--realtime", cfg.m_realtime, "Pace the simulated frames in real time");
    app.add_option("--csv", csv, "Write per-frame, per-peer statistics to this CSV file")
        ->type_name("FILE");
    app.add_option("--plot", cfg.m_plot, "Write round trip, loss and bytes/s to this SVG file")
        ->type_name("FILE.svg");
    app.add_option("--udp", udp, "Run over UDP as the host (server) or one peer (client)")
        ->check(CLI::Validator(
            [](std::string& t) -> std::string {
                return t == "server" || t == "client" ? std::string()
                                                      : "'" + t + "' is neither server nor client";
            },
            std::string()))
        ->type_name("server|client");
    app.add_option("--bind", cfg.m_bind, "Local address, with --udp (a peer may omit it)")
        ->type_name("A.B.C.D:PORT")
        ->check(Address(true));
    app.add_option("--connect", cfg.m_connect, "The host's address, with --udp client")
        ->type_name("A.B.C.D:PORT")
        ->check(Address(false));

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ExtrasError& e) {
        const std::string what = e.what(); // "... not expected: --x --y"
        return BadInput("unknown option or argument " + what.substr(what.rfind(": ") + 2) +
                        "; --help lists the valid options");
    } catch (const CLI::ParseError& e) {
        return BadInput(e.what());
    }
    cfg.m_seed = static_cast<std::uint64_t>(seed);

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

    int status;
    {
        demo::Session session(cfg);
        status = session.Run(stdout);
    }
    if (cfg.m_csv && std::fclose(cfg.m_csv) != 0) {
        std::fprintf(stderr, "portnet-demo: could not finish %s\n", csv.c_str());
        status = 1;
    }
    return status;
}
