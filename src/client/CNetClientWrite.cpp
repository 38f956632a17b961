// The sending half of a client: priority scheduling and the packet writer.
#include "portnet/CNetClient.h"

#include "client/NetPacket.h"
#include "client/NetWrap.h"
#include "client/PriorityShares.h"
#include "client/RateController.h"
#include "data/HistorySlot.h"
#include "portnet/CNetBlockStream.h"
#include "portnet/CNetBuf.h"
#include "portnet/CNetData.h"
#include "portnet/CNetDataHistory.h"
#include "portnet/CNetDataPort.h"
#include "portnet/CNetDataRef.h"
#include "portnet/CNetManager.h"
#include "portnet/CNetReliable.h"
#include "portnet/CNetUnreliable.h"

using namespace portnet;

namespace {

// Ports 0..254 can travel; 255 is the terminator. The work arrays hold exactly that many.
static_assert(CNetClient::kMaxPorts == 255, "one list entry per port number that can travel");

// The writing position, as SetWritingPos(0, 1) reports it, read without the call.
int Position(const CNetBuf* buf) {
    return buf->m_write_pos;
}

// Completes the packet in the buffer from start to end (records and terminator written, the
// header's room left free, header.bits holding the timing and reliable bits) with the toggles,
// check bits, sequence, acknowledgement and timing, and sends it under the next sequence:
// the bytes sent, or -1 with nothing counted.
int SendPacket(CNetClient& c, int start, int end, SNetPacketHeader& header) {
    CNetBuf* buf = c.m_send_buf;
    const int now = c.m_manager->m_time;
    const int seq = c.m_write_seq;
    header.bits |= static_cast<unsigned char>((c.m_write_toggle ? kHdrWriteToggle : 0) |
                                              (c.m_read_toggle ? kHdrReadToggle : 0) |
                                              ((seq % 8) << kHdrCheckShift));
    header.seq = static_cast<std::uint32_t>(seq) & kMaxSequence;
    header.ack = static_cast<std::uint32_t>(c.m_read_seq) & kMaxSequence;
    if (header.bits & kHdrTiming) {
        header.timing_seq = static_cast<std::uint32_t>(c.m_acked_seq) & kMaxSequence;
        header.timing_age = static_cast<std::uint16_t>(
            WrapSub(now, c.m_write_times[c.m_acked_seq % CNetClient::kRing]));
    }
    buf->SetWritingPos(start, 0);
    WritePacketHeader(buf, header); // fits: the caller left its room
    buf->SetWritingPos(end, 0);
    buf->SetChannel(0);
    const int sent = buf->Send();
    if (sent < 0) return -1;
    c.m_last_write_time = now;
    c.m_write_times[seq % CNetClient::kRing] = now;
    c.m_ack_times[seq % CNetClient::kRing] = -1;
    ++c.m_write_seq;
    ++c.m_packets_out;
    c.m_bytes_out = WrapAdd(c.m_bytes_out, sent);
    return sent;
}

} // namespace

int CNetClient::GetPriorityList(CNetData** list, int* count, int* reliable_count) {
    const int ports = m_num_ports < kMaxPorts ? m_num_ports : kMaxPorts;
    // One walk in port order: reliable objects go to the front of the list, unreliable ones to
    // a side list that follows them, which gives each group the order of a walk of its own.
    CNetData* unreliable[kMaxPorts];
    int n = 0, u = 0;
    for (int port = 0; m_refs && port < ports; ++port) {
        const CNetDataRef& ref = m_refs[port];
        // Port 0 without an own port has no slot behind it: never offered.
        CNetData* obj = ref.m_data_port ? ref.m_data_port->m_object : nullptr;
        if (!obj || !obj->m_active || !ref.m_write_enabled) continue;
        // The port byte is the object's m_port_id; one that disagrees with its slot would
        // reach the peer under the wrong port, so it is not offered.
        if (obj->m_port_id != port) continue;
        if (obj->m_reliable)
            list[n++] = obj;
        else
            unreliable[u++] = obj;
    }
    // Each group sorted on its own, reliable first: priorities are asked in that order.
    SortPriorityList(list, n);
    *reliable_count = n;
    for (int i = 0; i < u; ++i)
        list[n + i] = unreliable[i];
    SortPriorityList(list + n, u);
    *count = n + u;
    return 1;
}

int CNetClient::SortPriorityList(CNetData** list, int count) {
    if (count > kMaxPorts) return -1; // the priorities live in a fixed array of kMaxPorts
    for (int i = 0; i < count; ++i) {
        m_priorities[i] = list[i]->GetPriority(this);
        const int port = list[i]->m_port_id;
        if (m_priority_aging && m_share_halving <= 0 && !list[i]->m_reliable && port >= 0 &&
            port < kMaxPorts) {
            // Ages stay below 2^24, so only a priority near the int limits can pass them.
            const long long aged = static_cast<long long>(m_priorities[i]) + m_priority_age[port];
            m_priorities[i] = aged > 0x7fffffff ? 0x7fffffff : static_cast<int>(aged);
        }
    }
    if (count < 2) return 1;
    // Insertion sort, largest first; only a strictly greater priority overtakes, so equal
    // priorities keep their port order.
    for (int i = 1; i < count; ++i) {
        CNetData* obj = list[i];
        const int prio = m_priorities[i];
        int j = i;
        for (; j > 0 && m_priorities[j - 1] < prio; --j) {
            list[j] = list[j - 1];
            m_priorities[j] = m_priorities[j - 1];
        }
        list[j] = obj;
        m_priorities[j] = prio;
    }
    return 1;
}

int CNetClient::Write() {
    if (!m_manager || !m_send_buf || (m_num_ports > 0 && (!m_refs || !m_pending_ports)))
        return -1; // not entered into a manager, or no buffer to send through
    // The peer refuses a sequence whose low 24 bits wrapped to 0 as old, and every one
    // after it: the connection has run out of numbers and must be replaced by the host.
    if (static_cast<std::uint32_t>(m_write_seq) > kMaxSequence) return -1;

    CNetBuf* buf = m_send_buf;
    const int now = m_manager->m_time;
    // An acknowledgement is due: of reliable content, or (when asked for) of states.
    bool send = m_sent_read_toggle != m_read_toggle || (m_ack_states && m_states_unacked);
    bool wrote_reliable = false;

    int count = 0;
    int reliable_count = 0;
    GetPriorityList(m_priority_list, &count, &reliable_count);
    // m_priorities holds those of the last group sorted, the shared one.
    SharesOrder(this, m_priority_list + reliable_count, m_priorities, count - reliable_count);

    SNetPacketHeader header;
    header.bits = static_cast<unsigned char>(m_acked_seq > 0 ? kHdrTiming : 0);
    const int start = Position(buf);
    if (start < 0 || start + header.Size() + 1 > CNetBuf::kMaxPayload)
        return -1; // the host left no room for even an empty packet in the buffer
    buf->SetWritingPos(start + header.Size(), 0);

    int room = CNetBuf::kMaxPayload - Position(buf);
    if (m_max_size != -1 && room > m_max_size) room = m_max_size;
    if (m_adapt_rate) {
        // What the block streams hold beyond this packet lets the budget grow past it. A
        // client without block streams keeps what its host set.
        long long backlog = 0;
        bool streams = false;
        for (int i = reliable_count; i < count; ++i)
            if (m_priority_list[i]->m_block) {
                streams = true;
                backlog += static_cast<CNetBlockStream*>(m_priority_list[i])->BacklogBytes(this);
            }
        backlog -= room;
        if (streams)
            m_rate_backlog = backlog <= 0 ? 0 : (backlog > 0x7fffffff ? 0x7fffffff : int(backlog));
        RateBeforeWrite(this, now, room);
        if (m_send_budget <= 0) {
            // The path carries less than a datagram a frame: this frame writes nothing to the
            // peer; reliable records and acknowledgements wait for the next written one.
            buf->SetWritingPos(start, 0);
            return 1;
        }
        if (room > m_send_budget) room = m_send_budget;
    }
    room -= 1;             // the terminator
    bool left_out = false; // a state did not fit: the room held this packet back
    int want = 0;          // bytes of the state records left out
    int want_one = 0;      // the largest of them
    // A state left out for lack of room; with aging on it climbs one step per packet missed.
    auto leave_out = [&](int port, int record) {
        left_out = true;
        want += record;
        if (record > want_one) want_one = record;
        if (m_priority_aging && m_priority_age[port] < (1 << 24)) ++m_priority_age[port];
        SharesUsed(this, port, 0, true);
    };

    const int seq = m_write_seq;
    const int pending_at_start = m_num_pending;
    // Drops a packet in the making: the buffer back at the packet start, the pending list
    // as it was, so the next Write starts clean.
    auto abandon = [&]() {
        buf->SetWritingPos(start, 0);
        m_num_pending = pending_at_start;
    };

    for (int i = reliable_count; i < count; ++i)
        m_refs[m_priority_list[i]->m_port_id].InvalidateHash(seq);

    bool has_blocks = false; // a block stream still had fragments after its record
    int cursor = 0;          // next pending port to match while repeating
    for (int i = 0; i < count; ++i) {
        CNetData* obj = m_priority_list[i];
        const int port = obj->m_port_id;
        CNetDataRef& ref = m_refs[port];
        CNetDataPort* slot = ref.m_data_port;

        if (obj->m_block) {
            // Acknowledgements of the peer's blocks, then fragments in what the room has left.
            // With shares on, the fragments take the port's share of the room, not all of it.
            const int saved_pos = Position(buf);
            CNetBlockStream* stream = static_cast<CNetBlockStream*>(obj);
            const int grant = SharesGrant(this, port, room - 1);
            const int result = buf->WriteByte(static_cast<unsigned char>(port)) == 1
                                   ? stream->Write(buf, grant, this)
                                   : 0;
            if (result <= 0) {
                buf->SetWritingPos(saved_pos, 0);
            } else {
                room -= 1 + result;
                slot->m_written_bytes = WrapAdd(slot->m_written_bytes, result);
                send = true;
            }
            const bool more = stream->HasBacklog(this);
            SharesUsed(this, port, result > 0 ? 1 + result : 0, more);
            if (more) {
                left_out = true; // more was waiting than the room took
                has_blocks = true;
            }
            continue;
        }

        if (obj->m_reliable && !m_write_acked) {
            // Stop-and-wait: only a repetition of the awaiting ports, in their order.
            if (!m_resend || cursor >= m_num_pending || m_pending_ports[cursor] != port) continue;
            ++cursor;
        }

        CNetDataHistory* history = nullptr;
        if (!obj->m_reliable) {
            history = slot->m_writing_history;
            if (!history || history->m_size == 0 || !history->m_entries)
                continue; // a port without a writing history is never written
        }

        const int saved_room = room;
        const int saved_pos = Position(buf);
        if (buf->WriteByte(static_cast<unsigned char>(port)) != 1) {
            if (obj->m_reliable) {
                abandon(); // like a block that does not fit
                return 1;
            }
            leave_out(port, 0);
            continue;
        }
        room -= 1;

        if (obj->m_reliable) {
            // The cap m_max_size is for unreliable states; a block gets all the buffer
            // still takes, less the terminator.
            const int grant = CNetBuf::kMaxPayload - Position(buf) - 1;
            const int result = static_cast<CNetReliable*>(obj)->Write(buf, grant, this);
            if (result < 0) {
                abandon(); // -1 from the stream; any other negative value is taken alike
                return -1;
            }
            if (result == 0) {
                room = saved_room;
                buf->SetWritingPos(saved_pos, 0);
                continue;
            }
            if (result == CNetReliable::kBlockTooBig) {
                // Nothing of this packet leaves; the ports stay listed for a repetition.
                abandon();
                return 1;
            }
            room -= result;
            slot->m_written_bytes = WrapAdd(slot->m_written_bytes, result);
            send = true;
            wrote_reliable = true;
            if (!m_resend && m_num_pending < m_num_ports) m_pending_ports[m_num_pending++] = port;
            continue;
        }

        // Unreliable: encode against the newest state the peer is known to hold.
        const int size = history->m_size;
        int base_seq = m_acked_seq;
        int frame = ref.GetHash(base_seq);
        if (frame == -1 && ref.m_base_seq >= 0) {
            base_seq = ref.m_base_seq;
            frame = ref.GetHash(base_seq);
        }
        CNetUnreliable* base = nullptr;
        SNetRecordPrefix prefix;
        // A slot beyond 63 cannot travel in six bits, and a missing entry holds no state:
        // both send the complete state instead. So does a base that either ring may have
        // overwritten since: our writing history holds a frame for `size` frames, the peer's
        // reading history a packet's state until `size` more packets have gone out.
        const bool base_kept = frame >= 0 &&
                               static_cast<std::uint32_t>(WrapSub(m_manager->m_frame, frame)) <
                                   static_cast<std::uint32_t>(size) &&
                               seq - base_seq < size;
        // Both are at least 0 here: a kept base was stored under a real sequence and frame.
        const int base_slot =
            base_kept ? HistorySlot(static_cast<std::uint32_t>(base_seq), size) : 0;
        if (base_kept && base_slot < kMaxBaseSlots) {
            base = history->m_entries[HistorySlot(static_cast<std::uint32_t>(frame), size)];
            if (base)
                prefix.flags =
                    static_cast<unsigned char>((base_slot << kFlagSlotShift) | kFlagDelta);
        }
        const long long age_ms = static_cast<long long>(obj->m_time) - m_last_read_time;
        const int age = age_ms < 0 ? 0 : (age_ms > 255 ? 255 : static_cast<int>(age_ms));
        if (ref.m_send_age && age != 0) {
            prefix.flags |= kFlagHasAge;
            prefix.age = static_cast<unsigned char>(age);
        }
        const int prefix_size = WriteRecordPrefix(buf, prefix);
        if (prefix_size < 0) {
            room = saved_room;
            buf->SetWritingPos(saved_pos, 0);
            leave_out(port, 0);
            continue;
        }
        room -= prefix_size;

        const int result = static_cast<CNetUnreliable*>(obj)->Write(buf, base, room, this);
        if (result < 0) {
            abandon(); // -1 from the encoder; any other negative value is taken alike
            return -1;
        }
        if (result == 0 || result > room) {
            if (result > room)
                leave_out(port, 1 + prefix_size + result);
            else
                m_priority_age[port] = 0; // the peer holds this state already
            room = saved_room; // nothing to say, or too big: the port sits this packet out
            buf->SetWritingPos(saved_pos, 0);
            continue;
        }
        m_priority_age[port] = 0;
        room -= result;
        SharesUsed(this, port, saved_room - room, false);
        slot->m_written_bytes = WrapAdd(slot->m_written_bytes, result);
        send = true;
        ref.SetHash(m_manager->m_frame, seq);
        if (base) ref.m_base_seq = base_seq;
    }

    SharesEnd(this);
    if (m_adapt_rate && m_rate_state.m_frame_bytes == 0) {
        // What the frame's first datagram wanted, sent or not: a state too large for the
        // budget must make the controller wait for room enough for it.
        m_rate_state.m_want = want;
        m_rate_state.m_want_one = want_one;
    }
    if (!send) {
        buf->SetWritingPos(start, 0);
        return 1;
    }
    if (buf->WriteByte(kPortTerminator) != 1) {
        // Only an encoder that wrote more than it reported can take the terminator's byte.
        abandon();
        return -1;
    }
    const int end = Position(buf);

    if (wrote_reliable) {
        m_write_acked = false;
        m_reliable_write_time = now;
    }

    header.bits |= static_cast<unsigned char>(wrote_reliable ? kHdrReliable : 0);
    const int sent = SendPacket(*this, start, end, header);
    if (sent < 0) return -1; // the reliable records stay pending; the time-out repeats them

    m_sent_read_toggle = m_read_toggle;
    m_states_unacked = false; // every packet carries the acknowledgement
    m_resend = false;
    if (m_adapt_rate) RateAfterSend(this, seq, sent, now, left_out);
    if (has_blocks && m_adapt_rate) return WriteBlockDatagrams(count);
    return 1;
}

int CNetClient::WriteBlockDatagrams(int count) {
    // Extra datagrams of this frame, of block records alone, while the send budget lasts. Each
    // is a packet like any other, with its own sequence, so the peer's acknowledgements and
    // the rate controller see it; no more go out than the timing rings can follow.
    CNetBuf* buf = m_send_buf;
    const int now = m_manager->m_time;
    for (int n = 0; n < kMaxBlockDatagrams; ++n) {
        if (WrapSub(m_write_seq, m_acked_seq) >= kRing - 8) return 1;
        if (static_cast<std::uint32_t>(m_write_seq) > kMaxSequence) return 1;
        int room = RateRoomLeft(this);
        SNetPacketHeader header;
        header.bits = static_cast<unsigned char>(m_acked_seq > 0 ? kHdrTiming : 0);
        const int start = Position(buf);
        if (start < 0 || start + header.Size() + 1 > CNetBuf::kMaxPayload) return -1;
        buf->SetWritingPos(start + header.Size(), 0);
        const int most = CNetBuf::kMaxPayload - Position(buf) - 1;
        if (room > most) room = most;
        if (m_max_size != -1 && room > m_max_size) room = m_max_size;
        if (room < kMinBlockDatagram) {
            buf->SetWritingPos(start, 0);
            return 1;
        }
        bool wrote = false;
        bool more = false;
        for (int i = 0; i < count; ++i) {
            CNetData* obj = m_priority_list[i];
            if (!obj->m_block) continue;
            CNetBlockStream* stream = static_cast<CNetBlockStream*>(obj);
            if (!stream->HasBacklog(this)) continue;
            const int saved_pos = Position(buf);
            const int result = buf->WriteByte(static_cast<unsigned char>(obj->m_port_id)) == 1
                                   ? stream->Write(buf, room - 1, this)
                                   : 0;
            if (result <= 0) {
                buf->SetWritingPos(saved_pos, 0);
            } else {
                room -= 1 + result;
                CNetDataPort* slot = m_refs[obj->m_port_id].m_data_port;
                slot->m_written_bytes = WrapAdd(slot->m_written_bytes, result);
                wrote = true;
            }
            more |= stream->HasBacklog(this);
        }
        if (!wrote || buf->WriteByte(kPortTerminator) != 1) {
            buf->SetWritingPos(start, 0);
            return 1;
        }
        const int seq = m_write_seq;
        const int sent = SendPacket(*this, start, Position(buf), header);
        if (sent < 0) return -1;
        RateAfterSend(this, seq, sent, now, more);
        if (!more) return 1;
    }
    return 1;
}
