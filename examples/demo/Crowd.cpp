#include "Crowd.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "Stop.h"

namespace demo {

namespace {

const int kShownFailures = 3; // whole outputs printed of the peers that failed
// Past the run proper, a peer may wait for its host, drain and linger for about a minute
// (Session's own limits); the crowd stops there even if one never finishes.
const int kSlackS = 75;

// Copies what a peer printed into its log to out.
void CopyLog(FILE* log, FILE* out) {
    std::rewind(log);
    char line[512];
    for (int n = 0; n < 200 && std::fgets(line, sizeof line, log); ++n)
        std::fputs(line, out);
}

int Percentile(std::vector<int>& v, int pct) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, v.size() * static_cast<size_t>(pct) / 100)];
}

} // namespace

int RunCrowd(const SDemoConfig& cfg, FILE* out) {
    const int n = cfg.m_count;
    std::fprintf(out,
                 "portnet-demo: %d UDP peers in this process, each on a socket of its own, "
                 "joining the host at %s\n  sending: loss %g%%, latency %d ms, jitter 0-%d ms, "
                 "duplicates %g%%; %d frames at %d fps%s\n",
                 n, cfg.m_connect.c_str(), cfg.m_loss, cfg.m_latency, cfg.m_jitter, cfg.m_dup,
                 cfg.m_frames, cfg.m_fps, cfg.m_secure ? "; every link secured with DTLS" : "");
    std::fflush(out);

    // Each peer prints into a log of its own: only a failure's is worth reading.
    std::vector<std::unique_ptr<Session>> peers(static_cast<size_t>(n));
    std::vector<FILE*> logs(static_cast<size_t>(n), nullptr);
    int status = 0;
    int started = 0;
    for (; started < n; ++started) {
        SDemoConfig c = cfg;
        c.m_count = 1;
        c.m_seed = cfg.m_seed + static_cast<std::uint64_t>(started); // impairments of its own
        logs[started] = std::tmpfile();
        if (!logs[started]) {
            std::fprintf(out, "portnet-demo: no temporary file for peer %d\n", started + 1);
            status = 1;
            break;
        }
        peers[started].reset(new Session(c));
        if (peers[started]->Begin(logs[started]) < 0) {
            CopyLog(logs[started], out);
            status = 1;
            ++started;
            break;
        }
    }

    std::vector<char> left(static_cast<size_t>(n), 0);
    std::vector<std::chrono::steady_clock::time_point> leaving(static_cast<size_t>(n));
    const auto farewell_time = std::chrono::milliseconds(cfg.m_latency + cfg.m_jitter + 250);
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::seconds(cfg.m_frames / cfg.m_fps + kSlackS);
    int last_joined = -1;
    for (long long f = 0; status == 0; ++f) {
        if (const int sig = StopSignal()) {
            // Ctrl-C or SIGTERM: every peer still running says goodbye below.
            for (int i = 0; i < started; ++i)
                if (!left[i]) peers[i]->Stop(sig);
            status = 128 + sig;
            break;
        }
        std::this_thread::sleep_until(start + std::chrono::milliseconds(f * 1000 / cfg.m_fps));
        int running = 0, joined = 0;
        const auto now = std::chrono::steady_clock::now();
        for (int i = 0; i < started; ++i) {
            if (peers[i]->Done()) {
                // As a peer alone would: say goodbye at once, let it leave, then fall quiet
                // (what the host still sends it is not read, as after a process's exit).
                if (!left[i]) {
                    peers[i]->Leave();
                    left[i] = 1;
                    leaving[i] = now;
                }
                if (now - leaving[i] < farewell_time) peers[i]->Farewell();
                continue;
            }
            peers[i]->Tick();
            ++running;
            joined += peers[i]->Joined();
        }
        if (running == 0) break;
        if (std::chrono::steady_clock::now() > deadline) {
            std::fprintf(out, "portnet-demo: %d peers still running past the deadline\n", running);
            status = 1;
            break;
        }
        if (f % (2 * cfg.m_fps) == 0 && joined != last_joined) {
            std::fprintf(out, "  %d of %d peers joined and running\n", joined, running);
            std::fflush(out);
            last_joined = joined;
        }
    }
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    for (int i = 0; i < started; ++i)
        if (!left[i]) peers[i]->Leave(); // the crowd stopped before this one was done
    const auto farewell = std::chrono::steady_clock::now();
    for (bool waiting = true;
         waiting && std::chrono::steady_clock::now() - farewell < farewell_time;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        waiting = false;
        for (int i = 0; i < started; ++i)
            waiting = (!left[i] && peers[i]->Farewell()) || waiting;
    }

    int passed = 0, joined = 0, shown = 0;
    long long said = 0, pending = 0, heard = 0, good = 0, packets = 0, lost = 0;
    double worst = 0.0;
    unsigned dtls[5] = {};
    std::vector<int> pings;
    for (int i = 0; i < started; ++i) {
        const bool ok = peers[i]->Finish(logs[i], wall) == 0;
        const SDemoOutcome& r = peers[i]->Outcome();
        passed += ok;
        joined += r.m_joined;
        said += r.m_said;
        pending += r.m_pending;
        heard += r.m_heard;
        good += r.m_good;
        packets += r.m_packets;
        lost += r.m_lost;
        worst = std::max(worst, r.m_worst_error);
        for (int k = 0; k < 5; ++k)
            dtls[k] += r.m_dtls[k];
        if (r.m_joined) pings.push_back(r.m_ping);
        if (!ok && shown < kShownFailures) {
            std::fprintf(out, "--- peer %d of this process failed:\n", i + 1);
            CopyLog(logs[i], out);
            ++shown;
        }
    }
    for (int i = 0; i < n; ++i) {
        peers[i].reset(); // sockets closed before their logs
        if (logs[i]) std::fclose(logs[i]);
    }

    std::fprintf(out, "summary: %d peers, %d joined, %d passed, in %.2f s\n", n, joined, passed,
                 wall);
    std::fprintf(out,
                 "  chat       %lld lines said, %lld pending; %lld heard, %lld of them in order\n",
                 said, pending, heard, good);
    std::fprintf(out, "  positions  worst error %.4f m over every peer's view of the host\n",
                 worst);
    const int p50 = Percentile(pings, 50), p90 = Percentile(pings, 90),
              p100 = Percentile(pings, 100);
    std::fprintf(out,
                 "  ping       p50 %d ms, p90 %d ms, max %d ms (smoothed round trip to the host)\n",
                 p50, p90, p100);
    std::fprintf(out, "  measured   %lld of %lld packets from the host lost (%.1f %%)\n", lost,
                 packets, packets ? 100.0 * lost / packets : 0.0);
    if (cfg.m_secure)
        std::fprintf(out,
                     "  dtls       %u handshakes completed of %u started, %u failed; %u datagrams "
                     "rejected, %u replayed\n",
                     dtls[1], dtls[0], dtls[2], dtls[3], dtls[4]);
    const bool ok = status == 0 && passed == n;
    if (status > 128) {
        char name[16];
        std::fprintf(out, "result: STOPPED by %s before the end of the run\n",
                     SignalName(status - 128, name));
        return status;
    }
    std::fprintf(out, "result: %s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}

} // namespace demo
