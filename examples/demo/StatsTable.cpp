#include "StatsTable.h"

#include "Endpoint.h"

namespace demo {

void CollectLinkStats(const Endpoint& e, int i, SLinkStats* s) {
    const SLink& l = e.m_links[i];
    if (!l.m_client) {
        *s = l.m_final; // a peer that left: as it was last
        return;
    }
    const CNetClient& c = *l.m_client;
    for (int k = 0; k < 8; ++k)
        s->m_name[k] = l.m_remote_name[k];
    s->m_ping = c.m_ping;
    s->m_packets_in = c.m_packets_in;
    s->m_packets_out = c.m_packets_out;
    s->m_lost = c.m_lost_packets;
    s->m_old = c.m_old_packets;
    s->m_rate_in = c.m_rate_in;
    s->m_rate_out = c.m_rate_out;
    // States received over this link: the object ports this client may write to us. Each is
    // read from one link only, so the port's counters belong to it.
    s->m_full = s->m_delta = 0;
    for (int p = 1; p < e.m_manager->m_num_ports; ++p) {
        const CNetDataHistory* h = e.m_manager->m_ports[p].m_reading_history;
        if (!c.m_refs[p].m_read_enabled || !h) continue;
        s->m_full += h->m_full_count;
        s->m_delta += h->m_delta_count;
    }
    s->m_chat_delivered = l.m_chat->m_delivered;
    s->m_chat_pending = l.m_said + l.m_owed - l.m_chat->m_delivered;
    s->m_chat_received = l.m_good;
    s->m_max_error = l.m_max_error;
    s->m_budget = c.m_send_budget;
    s->m_est = c.m_est_bandwidth;
}

void StatsTable::Show(const char* status, const SLinkStats* rows, int count, const char* extra) {
    if (m_terminal && m_lines_shown > 0) std::fprintf(m_out, "\x1b[%dA", m_lines_shown);
    const char* clear = m_terminal ? "\x1b[2K" : "";
    std::fprintf(m_out, "%s%s\n", clear, status);
    std::fprintf(m_out, "%s%-5s %5s %7s %7s %5s %4s %7s %7s %5s %6s %5s %5s %5s %8s %6s %7s\n",
                 clear, "peer", "ping", "pkt in", "pkt out", "lost", "old", "B/s in", "B/s out",
                 "full", "delta", "chat>", "pend", "chat<", "max err", "budget", "est B/s");
    for (int i = 0; i < count; ++i) {
        const SLinkStats& s = rows[i];
        std::fprintf(m_out,
                     "%s%-5s %5d %7d %7d %5d %4d %7d %7d %5d %6d %5d %5d %5d %8.4f %6d %7d\n",
                     clear, s.m_name, s.m_ping, s.m_packets_in, s.m_packets_out, s.m_lost, s.m_old,
                     s.m_rate_in, s.m_rate_out, s.m_full, s.m_delta, s.m_chat_delivered,
                     s.m_chat_pending, s.m_chat_received, s.m_max_error, s.m_budget, s.m_est);
    }
    if (extra) std::fprintf(m_out, "%s%s\n", clear, extra);
    if (!m_terminal) std::fprintf(m_out, "\n");
    std::fflush(m_out);
    m_lines_shown = 2 + count + (extra ? 1 : 0);
}

void WriteCsvHeader(FILE* f) {
    std::fprintf(f, "frame,time_ms,peer,ping_ms,packets_in,packets_out,lost,old,"
                    "bytes_per_s_in,bytes_per_s_out,full_states,delta_states,chat_delivered,"
                    "chat_pending,chat_received,max_error_m,budget,est_bytes_per_s\n");
}

void WriteCsvRow(FILE* f, int frame, int ms, const SLinkStats& s) {
    std::fprintf(f, "%d,%d,%s,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%.5f,%d,%d\n", frame, ms,
                 s.m_name, s.m_ping, s.m_packets_in, s.m_packets_out, s.m_lost, s.m_old,
                 s.m_rate_in, s.m_rate_out, s.m_full, s.m_delta, s.m_chat_delivered,
                 s.m_chat_pending, s.m_chat_received, s.m_max_error, s.m_budget, s.m_est);
}

} // namespace demo
