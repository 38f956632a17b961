#include "Stop.h"

#include <csignal>
#include <cstdio>

namespace demo {

namespace {

volatile std::sig_atomic_t g_signal = 0;

void OnStopSignal(int sig) {
    g_signal = sig;
}

} // namespace

void CatchStopSignals() {
#ifdef _WIN32
    // The C runtime's signal(): Ctrl-C arrives as SIGINT, and the handler is reset before it
    // runs, so a second Ctrl-C ends the process.
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
#else
    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
#endif
}

int StopSignal() {
    return g_signal;
}

const char* SignalName(int sig, char* text) {
    if (sig == SIGINT) return "SIGINT";
    if (sig == SIGTERM) return "SIGTERM";
    std::snprintf(text, 16, "signal %d", sig);
    return text;
}

} // namespace demo
