#pragma once

#include <cstdint>

#include "CNetAddr.h"
#include "NetAddress.h"
#include "PortnetExport.h"

// What the socket start-up call fills in; kept for the host to read.
struct PORTNET_API SNetSocketData {
    std::uint16_t m_version;
    std::uint16_t m_high_version;
    char m_description[64];
};

// Who a peer proved to be, as a secure driver's connect token or the host's key lookup said.
// Empty (all zero) over a plain driver.
struct PORTNET_API SNetPeerIdentity {
    enum : int { kMaxUserData = 32, kMaxText = 256 };
    std::uint64_t m_player_id = 0; // 0: not known (no token, a lookup that did not say)
    std::uint64_t m_expires = 0;   // the token's expiry, UTC seconds; 0: no token
    int m_user_data_len = 0;
    unsigned char m_user_data[kMaxUserData] = {};
    char m_identity[kMaxText + 1] = {}; // the identity it presented (with tokens, the token's text)
};

// Abstract transport. Every live driver holds one reference on the socket layer.
class PORTNET_API CNetDriver {
public:
    CNetDriver();
    virtual ~CNetDriver();
    CNetDriver(const CNetDriver&) = delete;
    CNetDriver& operator=(const CNetDriver&) = delete;

    virtual int SetBlockMode(bool non_blocking) = 0;
    virtual int MakeBroadcastCapable() = 0;
    virtual int Init() = 0;
    virtual int Shutdown() = 0;
    virtual int Connected(sockaddr_in* peer) = 0;
    virtual int Disconnected(sockaddr_in* peer) = 0;
    virtual char* GetAddr() = 0;
    // SendTo answers 0 when the datagram went (or was held, or the socket was full: a datagram
    // lost as on the wire) and -1 when the system refused it. RecvFrom takes a capacity in *len:
    // 0 with *len the datagram's size and *from its sender, 0 with *len 0 when nothing waits,
    // kNetEventDisconnect (10001) with *from the peer a refusal report names, -1 on a failure.
    virtual int SendTo(int len, void* data, sockaddr_in* to) = 0;
    virtual int RecvFrom(int* len, void* buf, sockaddr_in* from) = 0;
    virtual int Broadcast(int len, void* data, sockaddr_in* to) = 0;
    // A manager brackets its Write with these. In between, a driver may hold what SendTo
    // takes (SendTo then answers 0) and send it all in one go at FlushSends, which answers -1
    // when the system refused a held datagram (it is lost, as on the wire), else 0. Outside
    // the bracket every SendTo sends at once. These send at once and hold nothing.
    virtual int HoldSends();
    virtual int FlushSends();
    // Who the peer at this address proved to be, for a host deciding whether to admit it: 1
    // with *out filled by a secure driver that authenticated it; 0, with *out cleared, when
    // the driver authenticates nobody (the default) or knows no such peer.
    virtual int GetPeerIdentity(const sockaddr_in* peer, SNetPeerIdentity* out);
    // Why the peer at this address is gone, asked right after RecvFrom returned
    // kNetEventDisconnect for it: one of kNetGone*. The default, kNetGoneUnreachable, is what a
    // plain transport's report means; a secure driver tells a session that ended from one that
    // a restarted peer replaced.
    virtual int GetGoneReason(const sockaddr_in* peer);
    // A manager tells its driver at Init how many peers its table holds, so that a driver
    // that batches can size its batches for them then rather than during frames. 0; a
    // driver that cannot grow keeps what it has (it only makes more system calls).
    virtual int ExpectPeers(int peers);

    // The calls above for an address of either family. A driver of IPv4 and loopback
    // endpoints need not override them: the defaults hand the address on to the calls above
    // as a sockaddr_in, and refuse an IPv6 one (-1; the peer queries answer as for a peer they
    // do not know). A driver that reaches IPv6 peers (CNetUDP) overrides them and hands its
    // IPv4 and loopback peers to the sockaddr_in calls still, so that a class derived from it
    // that overrides those is heard.
    virtual int SendToAddr(int len, void* data, const CNetAddr& to);
    virtual int BroadcastAddr(int len, void* data, const CNetAddr& to);
    virtual int ConnectedAddr(const CNetAddr& peer);
    virtual int DisconnectedAddr(const CNetAddr& peer);
    virtual int GetPeerIdentityAddr(const CNetAddr& peer, SNetPeerIdentity* out);
    virtual int GetGoneReasonAddr(const CNetAddr& peer);
    // Receives through RecvFrom and names the sender of either family: a driver that reaches
    // IPv6 peers writes an IPv6 sender's record as its family alone (kNetFamilyInet6, the
    // rest zero) and keeps the whole address for LastSender. *from is written when RecvFrom
    // wrote a record.
    int RecvFromAddr(int* len, void* buf, CNetAddr* from);
    // The IPv6 sender (or refused peer) the last RecvFrom named by its family alone; no address
    // (the default) from a driver that has none.
    virtual CNetAddr LastSender() const;

    bool m_broadcast_capable;

    static int m_init_cnt;
    static SNetSocketData m_winsockdata;
};

// Result of RecvFrom and Recv when the transport reports the peer gone.
enum : int { kNetEventBase = 10000, kNetEventDisconnect = 10001 };

// Why a peer is gone, as servers and connections report it.
enum : int {
    kNetGoneLeft = 1,         // it said goodbye
    kNetGoneTimedOut = 2,     // nothing heard from it for the idle limit
    kNetGoneUnreachable = 3,  // the transport reported its address unreachable
    kNetGoneSessionEnded = 4, // its secure session ended (closed, failed, secure idle limit)
    kNetGoneRestarted = 5,    // it came back from the same address with a fresh start
    kNetGoneKicked = 6,       // this side ended it
    kNetGoneRefused = 7       // the host refused it (SNetConnectionEvent::m_refusal says why)
};

extern "C" {
// A kNetGone* reason in words ("left", "timed out", ...); "unknown reason" for any other.
PORTNET_API const char* NetGoneText(int reason);
}
