#pragma once

class CNetClient;

// The send budget of a client with m_adapt_rate on: how much of each frame the path to the
// peer carries without a queue building up on it.
namespace portnet {

// Once a frame, before its first datagram is sized: takes the acknowledgements that arrived
// since the last frame and sets m_send_budget, the bytes of records the first datagram may
// carry (at most max_room, the room it could have), 0 when this frame must write nothing to
// the peer; and m_est_bandwidth. Called again in the same frame (the same now), it gives
// the budget of an extra datagram: what RateRoomLeft tells, at most max_room; unless the peer
// has acknowledged every datagram the frame sent, which on a host with block streams starts
// the next frame at once (a loop whose passes outrun the clock is clocked by its round trips).
void RateBeforeWrite(CNetClient* client, int now, int max_room);

// After each datagram of bytes (channel byte included) went out under sequence seq, extra
// ones of the frame included; limited tells whether a state was left out of it for lack of
// room (only then is a larger budget worth trying). The writer sets m_rate_state.m_want to
// the largest state record it left out (0 none) before the frame's first call.
void RateAfterSend(CNetClient* client, int seq, int bytes, int now, bool limited);

// Once per packet read from the peer (seq), before it is marked read: how long its way from
// the peer took, against the packets before (see m_in_delay). timing_seq is the packet's
// timing sequence, -1 when it has none; age its timing age.
void RateOnRead(CNetClient* client, int seq, int timing_seq, int age, int now);

// Bytes of records this frame may still send in extra datagrams after those already sent
// (the next one's headers taken off); 0 when none, or when the frame writes nothing.
int RateRoomLeft(const CNetClient* client);

} // namespace portnet
