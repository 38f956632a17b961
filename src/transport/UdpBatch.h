#pragma once

#include "platform/PlatformUdp.h"

// The UDP driver's batches, made at Init or when a manager announces its table: datagrams
// received in one system call and handed out one per RecvFrom, and datagrams held during a
// manager's Write to leave together.
struct SUdpBatch {
    enum : int {
        kRecvSlots = 32, // the ring for a table of the default size
        kSendSlots = 16,
        kSlotBytes = 2048, // above any datagram of ours (999), so a longer one is told apart
    };
    // Rings of recv_slots and send_slots (1..kUdpMaxBatch each); null when memory ran out.
    static SUdpBatch* Make(int recv_slots, int send_slots);
    ~SUdpBatch();
    SUdpBatch(const SUdpBatch&) = delete;
    SUdpBatch& operator=(const SUdpBatch&) = delete;

    int m_recv_slots = 0;
    portnet::platform::SUdpMessage* m_recv = nullptr;
    int m_recv_next = 0;
    int m_recv_count = 0;
    // The last batch came back short: the socket was empty then, so the next RecvFrom can
    // answer "nothing waiting" without asking the system again.
    bool m_drained = false;

    int m_send_slots = 0;
    portnet::platform::SUdpMessage* m_send = nullptr;
    int m_send_count = 0;

    unsigned char* m_data = nullptr; // every slot's bytes, the receive ring's first
    portnet::platform::SUdpBatchHeaders* m_headers = nullptr;

private:
    SUdpBatch() = default;
};
