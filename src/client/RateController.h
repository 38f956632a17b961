#pragma once

class CNetClient;

// The send budget of a client with m_adapt_rate on: how much of each packet the path to the
// peer carries without a queue building up on it.
namespace portnet {

// Before a packet is sized: takes the acknowledgements that arrived since the last packet
// and sets m_send_budget (at most max_room, the room the packet could have) and
// m_est_bandwidth.
void RateBeforeWrite(CNetClient* client, int now, int max_room);

// Bytes of records the frame may still send in extra datagrams, after those sent so far.
int RateRoomLeft(const CNetClient* client);

// After a packet of bytes went out under sequence seq; limited tells whether a state was
// left out of it for lack of room (only then is a larger budget worth trying).
void RateAfterSend(CNetClient* client, int seq, int bytes, int now, bool limited);

} // namespace portnet
