#pragma once

// The per-link statistics of the demo: gathered from a CNetClient and its endpoint, shown as
// a table (redrawn in place on a terminal, printed as plain blocks elsewhere) and as CSV rows.

#include <cstdio>

namespace demo {

class Endpoint;

struct SLinkStats {
    char m_name[8];
    int m_ping;        // smoothed round trip, ms
    int m_packets_in;  // datagrams taken from the peer, old ones included
    int m_packets_out; // packets sent to the peer
    int m_lost;        // peer sequence numbers never seen
    int m_old;         // packets refused as not newer than the last one
    int m_rate_in;     // bytes per second, measured each second
    int m_rate_out;
    int m_full;           // object states received whole
    int m_delta;          // object states received as differences against a base
    int m_chat_delivered; // own lines the peer acknowledged
    int m_chat_pending;   // own lines due, queued or in flight
    int m_chat_received;  // lines of the peer taken in order
    double m_max_error;   // worst error of the objects that arrive over this link, metres
    int m_budget;         // room of the next packet to the peer, bytes (rate adaptation)
    int m_est;            // what the path to the peer was seen to deliver, bytes per second
};

// Fills s from link i of e.
void CollectLinkStats(const Endpoint& e, int i, SLinkStats* s);

class StatsTable {
public:
    // terminal: redraw in place with ANSI cursor movements.
    void Begin(FILE* out, bool terminal) {
        m_out = out;
        m_terminal = terminal;
    }
    // Shows a status line and the rows, and below them the line extra when given; on a
    // terminal over the previous table.
    void Show(const char* status, const SLinkStats* rows, int count, const char* extra = nullptr);
    bool IsTerminal() const { return m_terminal; }

private:
    FILE* m_out = nullptr;
    bool m_terminal = false;
    int m_lines_shown = 0;
};

void WriteCsvHeader(FILE* f);
void WriteCsvRow(FILE* f, int frame, int ms, const SLinkStats& s);

} // namespace demo
