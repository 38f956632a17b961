#pragma once

#include "platform/PlatformUdp.h"

// The UDP driver's batches, allocated once at Init: datagrams received in one system call and
// handed out one per RecvFrom, and datagrams held during a manager's Write to leave together.
struct SUdpBatch {
    enum : int {
        kRecvSlots = 32,
        kSendSlots = 16,
        kSlotBytes = 2048, // above any datagram of ours (999), so a longer one is told apart
    };
    portnet::platform::SUdpMessage m_recv[kRecvSlots];
    int m_recv_next = 0;
    int m_recv_count = 0;
    // The last batch came back short: the socket was empty then, so the next RecvFrom can
    // answer "nothing waiting" without asking the system again.
    bool m_drained = false;

    portnet::platform::SUdpMessage m_send[kSendSlots];
    int m_send_count = 0;

    unsigned char m_recv_data[kRecvSlots][kSlotBytes];
    unsigned char m_send_data[kSendSlots][kSlotBytes];

    SUdpBatch() {
        for (int i = 0; i < kRecvSlots; ++i)
            m_recv[i] = {m_recv_data[i], kSlotBytes, 0, false, false, false, {}};
        for (int i = 0; i < kSendSlots; ++i)
            m_send[i] = {m_send_data[i], kSlotBytes, 0, false, false, false, {}};
    }
};
