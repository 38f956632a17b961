#include "Glue.h"

#include <cstdlib>

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

bool ParseAddress(const char* text, bool any_port, sockaddr_in* out) {
    long parts[5];
    const char* p = text;
    for (int i = 0; i < 5; ++i) {
        if (*p < '0' || *p > '9') return false;
        char* end = nullptr;
        parts[i] = std::strtol(p, &end, 10);
        if (end - p > 5 || parts[i] > (i < 4 ? 255 : 65535)) return false;
        const char sep = i < 3 ? '.' : i == 3 ? ':' : '\0';
        if (*end != sep) return false;
        p = end + (i < 4 ? 1 : 0);
    }
    if (!any_port && parts[4] == 0) return false;
    if (out) {
        sockaddr_in a = {};
        a.sin_family = kNetFamilyInet;
        GetAddrFromString(text, &a); // checked above, part by part
        *out = a;
    }
    return true;
}

} // namespace demo
