// The receiving half of a client: one datagram from the peer, checked in a fixed order
// (header, check bits, sequence) before its records are decoded into the ports.
#include "portnet/CNetClient.h"

#include "client/NetPacket.h"
#include "client/NetWrap.h"
#include "client/RateController.h"
#include "data/HistorySlot.h"
#include "portnet/CNetBlockStream.h"
#include "portnet/CNetBuf.h"
#include "portnet/CNetData.h"
#include "portnet/CNetDataHistory.h"
#include "portnet/CNetDataPort.h"
#include "portnet/CNetDataRef.h"
#include "portnet/CNetFrameHash.h"
#include "portnet/CNetManager.h"
#include "portnet/CNetReliable.h"
#include "portnet/CNetUnreliable.h"

using namespace portnet;

int CNetClient::Read(CNetBuf* buf) {
    if (!buf || !m_manager || (m_num_ports > 0 && !m_refs))
        return -1; // not entered into a manager: no ports and no frame time to read into
    ++m_packets_in;
    const int now = m_manager->m_time;

    SNetPacketHeader header;
    switch (ReadPacketHeader(buf, &header)) {
    case EHeaderRead::kInstant:
        if (CNetFrameHash* hash = m_manager->m_frame_hash)
            hash->Add(CNetFrameHash::kInstant, m_id, 0, buf->m_data + 1, buf->m_read_limit);
        return ReadInstant(buf);
    case EHeaderRead::kBadCheck:
        return 0; // dropped whole; only m_packets_in shows it
    case EHeaderRead::kTruncated:
        return -1; // the header runs past the buffer: malformed, like a bad record
    case EHeaderRead::kOk:
        break;
    }
    const int seq = static_cast<int>(header.seq);
    const int ack = static_cast<int>(header.ack);

    const int time_base = (header.bits & kHdrTiming)
                              ? WrapAdd(m_read_times[header.timing_seq % kRing], header.timing_age)
                              : now;

    // Overtaken on the way. When everything read after it held block records alone (the extra
    // datagrams of a frame), nothing it says is out of date and it is read whole, so a frame's
    // states survive the frame's own block datagrams arriving first. Otherwise, or when read
    // before, only its block records are taken. A peer without blocks never meets the first case.
    bool late = false;
    if (seq <= m_read_seq) {
        if (seq <= m_read_whole_seq || WrapSub(m_read_seq, seq) >= kRing ||
            m_read_seqs[seq % kRing] == seq) {
            ++m_old_packets;
            return ReadLateBlocks(buf, header.seq);
        }
        late = true;
    }

    bool repeat = false;
    if (header.bits & kHdrReliable) {
        m_read_whole_seq = seq;
        const int toggle = (header.bits & kHdrWriteToggle) ? 1 : 0;
        if (toggle == m_read_toggle) {
            repeat = true; // its first sending got through: step over its blocks
            // The peer repeats because our acknowledgement was lost. Owe it another, or a
            // side with nothing else to send would leave the peer repeating for ever.
            m_sent_read_toggle = m_read_toggle ^ 1;
        } else {
            m_read_toggle = toggle;
        }
    }

    // A failing WritingCompleted is reported once the packet has been read whole: stopping
    // here would leave the peer's new reliable content taken by the toggle but unread.
    bool ack_failed = false;
    const int acked_toggle = (header.bits & kHdrReadToggle) ? 1 : 0;
    // A late packet's toggle is no news: the newer packets read before it carried the same or
    // a later one, and it may predate a message written since.
    if (!late && !m_write_acked && acked_toggle == m_write_toggle) {
        m_write_toggle ^= 1;
        m_write_acked = true;
        m_resend = false;
        // Every pending stream hears of the delivery, even after one failed, and the list
        // empties as on success: the peer holds all of those blocks.
        const int pending = m_num_pending;
        m_num_pending = 0;
        for (int i = 0; i < pending; ++i) {
            const int port = m_pending_ports[i];
            CNetDataPort* slot =
                port >= 0 && port < m_num_ports ? m_refs[port].m_data_port : nullptr;
            CNetData* obj = slot ? slot->m_object : nullptr;
            if (obj && obj->m_reliable && static_cast<CNetReliable*>(obj)->WriteSucceeded() == -1)
                ack_failed = true;
        }
    }

    if (late) {
        if (m_lost_packets > 0) --m_lost_packets; // counted lost when a newer one came first
    } else {
        if (seq > m_read_seq + 1) m_lost_packets += seq - m_read_seq - 1;
        m_read_seq = seq;
    }
    m_last_read_time = now;
    if (header.bits & kHdrReliable) m_last_reliable_read_time = now;
    if (m_adapt_rate)
        RateOnRead(this, seq, (header.bits & kHdrTiming) ? static_cast<int>(header.timing_seq) : -1,
                   header.timing_age, now);
    m_read_times[seq % kRing] = now;
    m_read_seqs[seq % kRing] = seq;

    // An acknowledgement of a packet never sent is ignored: it would lift m_acked_seq above
    // every real one and stall the round-trip and delta-base bookkeeping for good.
    if (ack > m_acked_seq && ack < m_write_seq) {
        m_acked_seq = ack;
        m_ack_times[ack % kRing] = now;
        m_rate_state.m_ack_in = m_rate_state.m_in_last;
        m_rate_state.m_ack_gap = m_rate_state.m_in_gap;
        CalcNet();
    }

    // Records until the terminator. Each one takes at least its port byte, so the buffer's
    // capacity bounds the loop.
    CNetFrameHash* const hash = m_manager->m_frame_hash;
    bool had_block = false;
    for (;;) {
        const int start = buf->m_read_pos;
        int kind = CNetFrameHash::kRecord, stamped = 0;
        unsigned char port = 0;
        if (buf->ReadByte(&port) != 1) return -1;
        if (port == kPortTerminator) {
            if (!had_block) m_read_whole_seq = seq; // nothing but its header: read whole
            return ack_failed ? -1 : 1;
        }
        if (port >= m_num_ports || !m_refs[port].m_read_enabled) return -1;
        CNetDataPort* slot = m_refs[port].m_data_port;
        // Port 0 of a client without an own port, or an empty slot: nothing to decode into.
        if (!slot || !slot->m_object) return -1;
        CNetData* obj = slot->m_object;

        int result = 0;
        if (obj->m_block) {
            had_block = true;
            result = static_cast<CNetBlockStream*>(obj)->Read(buf, this, late);
            if (result == -1) return -1;
        } else if (obj->m_reliable) {
            m_read_whole_seq = seq;
            CNetReliable* stream = static_cast<CNetReliable*>(obj);
            result = repeat ? stream->Skip(buf) : stream->Read(buf, this);
            if (result == -1) return -1;
            if (repeat) kind = CNetFrameHash::kSkipped;
        } else {
            CNetDataHistory* history = slot->m_reading_history;
            // No history, an empty one, or one whose entries were never filled cannot
            // take the state.
            if (!history || history->m_size == 0 || !history->m_entries) return -1;
            m_read_whole_seq = seq;
            // The state is kept under the packet's own sequence (0 or more), which a late one
            // shares with no newer state: every packet read after it held block records alone.
            const int index = HistorySlot(static_cast<std::uint32_t>(seq), history->m_size);
            CNetUnreliable* entry = history->m_entries[index];
            if (!entry) return -1;

            SNetRecordPrefix prefix;
            if (ReadRecordPrefix(buf, &prefix) < 0) return -1;
            CNetUnreliable* base = nullptr;
            if (prefix.flags & kFlagDelta) {
                if (prefix.Slot() >= history->m_size) return -1;
                base = history->m_entries[prefix.Slot()];
                if (!base) return -1;
                ++history->m_delta_count;
            } else {
                ++history->m_full_count;
            }

            if (!obj->m_active) {
                if (NewPortID(port) == -1) return -1;
                // The hook may have placed another object into the slot.
                obj = slot->m_object;
                if (!obj || obj->m_reliable) return -1;
            }
            CNetUnreliable* live = static_cast<CNetUnreliable*>(obj);
            result = live->Read(buf, base, this);
            if (result == -1) return -1;
            entry->CopyFrom(live);

            // Stamps never go back in time, so the history stays ordered.
            int stamp = WrapAdd(time_base, prefix.age);
            if (slot->m_last_time >= stamp)
                stamp = slot->m_last_time;
            else
                slot->m_last_time = stamp;
            entry->m_time = stamp;
            live->m_time = stamp;
            kind = CNetFrameHash::kState;
            stamped = stamp;
            history->SetLink(static_cast<unsigned char>(index));
            m_states_unacked = true;
        }
        obj->m_received = true;
        slot->m_read_bytes = WrapAdd(slot->m_read_bytes, result);
        if (hash)
            hash->Add(kind, m_id << 8 | port, stamped, buf->m_data + 1 + start,
                      buf->m_read_pos - start);
    }
}

int CNetClient::ReadLateBlocks(CNetBuf* buf, std::uint32_t late_seq) {
    bool first = true;
    // A packet overtaken on the way is dropped, but the block records it leads with are taken:
    // fragments are the same whenever they come, and the extra datagrams of a frame, sent
    // back to back, hold nothing else. A record of any other kind ends the reading, as its
    // length is known only to its decoder.
    for (;;) {
        unsigned char port = 0;
        if (buf->ReadByte(&port) != 1 || port == kPortTerminator) return 0;
        if (port >= m_num_ports || !m_refs[port].m_read_enabled) return 0;
        const int start = buf->m_read_pos - 1;
        CNetDataPort* slot = m_refs[port].m_data_port;
        CNetData* obj = slot ? slot->m_object : nullptr;
        if (!obj || !obj->m_block) return 0;
        if (first) {
            // Counted lost when a newer packet came first; it was only overtaken. Marked read,
            // so a copy of it is not taken back twice.
            first = false;
            const int seq = static_cast<int>(late_seq);
            if (WrapSub(m_read_seq, seq) < kRing && m_read_seqs[seq % kRing] != seq &&
                m_lost_packets > 0) {
                --m_lost_packets;
                m_read_seqs[seq % kRing] = seq;
                m_read_times[seq % kRing] = m_manager->m_time;
                m_rate_state.m_in_delay[seq % kRing] = m_rate_state.m_in_last;
            }
        }
        const int result = static_cast<CNetBlockStream*>(obj)->Read(buf, this, true);
        if (result == -1) return -1;
        slot->m_read_bytes = WrapAdd(slot->m_read_bytes, result);
        if (CNetFrameHash* hash = m_manager->m_frame_hash)
            hash->Add(CNetFrameHash::kLateBlock, m_id << 8 | port, 0, buf->m_data + 1 + start,
                      buf->m_read_pos - start);
    }
}
