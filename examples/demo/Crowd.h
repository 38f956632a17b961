#pragma once

// Many UDP peers in one process, each a session with a socket of its own, paced by one loop:
// a load for a host started with --udp server --peers N.

#include <cstdio>

#include "Session.h"

namespace demo {

// Runs cfg.m_count peers against cfg.m_connect and prints one summary over them all, with the
// whole output of the first few that failed. 0 when every peer passed, 1 otherwise.
int RunCrowd(const SDemoConfig& cfg, FILE* out);

} // namespace demo
