#include "Glue.h"

#include <cstdio>

namespace demo {

const char* GoneText(int reason) {
    switch (reason) {
    case kNetGoneLeft:
        return "left (it said goodbye)";
    case kNetGoneTimedOut:
        return "timed out (nothing heard for the idle limit)";
    case kNetGoneUnreachable:
        return "unreachable (the network reported its address unreachable)";
    case kNetGoneSessionEnded:
        return "session ended (its secure session closed or failed)";
    case kNetGoneRestarted:
        return "restarted (it came back from the same address afresh)";
    case kNetGoneKicked:
        return "kicked (this side ended it)";
    case kNetGoneRefused:
        return "refused (the host would not take it)";
    default:
        return "gone for no known reason";
    }
}

const char* RefusalText(int reason) {
    switch (reason) {
    case CNetServer::kRefusedFull:
        return "full (every slot is taken)";
    case CNetServer::kRefusedByHost:
        return "refused by the host";
    case CNetServer::kRefusedNoMemory:
        return "no memory for another peer";
    case CNetServer::kRefusedNotPacket:
        return "not a packet (its first datagram does not start one)";
    case CNetServer::kRefusedStale:
        return "stale (it continues an earlier session)";
    default:
        return "refused for no known reason";
    }
}

bool ParseAddress(const char* text, bool any_port, CNetAddr* out, char* why, int why_size) {
    char err[128];
    CNetAddr a;
    // The library's checked reading: a.b.c.d:port, [v6]:port or a host name; a destination
    // must name one host and one port.
    bool ok;
    if (text != nullptr && text[0] == '[') {
        ok = CNetAddr::Resolve(text, &a, err, sizeof err) == 1 &&
             (any_port || a.CheckDest(err, sizeof err) == 1);
    } else {
        sockaddr_in in = {};
        ok = ResolveAddr(text, &in, err, sizeof err) == 1 &&
             (any_port || CheckDestAddr(&in, err, sizeof err) == 1);
        a = CNetAddr::FromSockaddrIn(in);
    }
    if (!ok) {
        if (why && why_size > 0) std::snprintf(why, static_cast<std::size_t>(why_size), "%s", err);
        return false;
    }
    if (out) *out = a;
    return true;
}

AddrText::AddrText(const CNetAddr& addr) {
    if (addr.ToText(m_text, sizeof m_text) < 0) std::snprintf(m_text, sizeof m_text, "?");
}

} // namespace demo
