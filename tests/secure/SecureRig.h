// A CNetServer and CNetConnections over CNetDtls on the simulated network, stepped on the
// rig's clock (server/ServerRig.h); a tap under the host keeps what it sent.
#pragma once

#include "SecurePair.h"
#include "server/ServerRig.h"

namespace secure {

struct SecureHost {
    explicit SecureHost(CNetSimNetwork* net,
                        const SNetDtlsConfig& config = PskConfig(SNetDtlsConfig::kAccept),
                        int table = CNetManager::kMaxClients)
        : sim(net, rig::kServerId), tap(&sim), dtls(&tap, config) {
        server.m_max_clients = table;
        ok = dtls.IsReady() && server.Init(&dtls, 1) == 1 && dtls.Init() == 0;
        server.m_idle_limit_ms = 400;
        server.m_keep_alive_ms = 50;
    }
    CNetSimDriver sim;
    Tap tap;
    CNetDtls dtls;
    rig::LoggingServer server; // declared last: goes first
    bool ok = false;
};

// A connection to the host over its own secure endpoint.
struct SecurePeer {
    SecurePeer(CNetSimNetwork* net, int id,
               const SNetDtlsConfig& config = PskConfig(SNetDtlsConfig::kConnect))
        : sim(net, id), dtls(&sim, config) {
        const sockaddr_in to = rig::Addr(rig::kServerId);
        conn.m_keep_alive_ms = 50;
        conn.m_idle_limit_ms = 400;
        ok = dtls.Init() == 0 && conn.Init(&dtls, 1) == 1 && conn.Connect(&to) == 1;
    }
    CNetSimDriver sim;
    CNetDtls dtls;
    CNetConnection conn;
    bool ok = false;
    int frames = 0;
};

} // namespace secure
