// Making, finding and freeing the channels that hold one peer's blocks on one stream.
#include "data/BlockChannel.h"

#include <new>

#include "portnet/CNetBlockStream.h"
#include "portnet/CNetClient.h"
#include "portnet/CNetDataPort.h"
#include "portnet/CNetManager.h"

namespace portnet {

namespace {

void Unlink(BlockChannel* ch) {
    if (ch->prev)
        ch->prev->next = ch->next;
    else if (ch->stream)
        ch->stream->m_channels = ch->next;
    if (ch->next) ch->next->prev = ch->prev;
    ch->prev = ch->next = nullptr;
}

void Link(BlockChannel* ch, CNetBlockStream* stream) {
    ch->stream = stream;
    ch->prev = nullptr;
    ch->next = stream->m_channels;
    if (ch->next) ch->next->prev = ch;
    stream->m_channels = ch;
}

// Frees every block of the channel; the numbers of the queued ones go to ended (room for
// kMaxQueued), so that they are told once nothing of the channel is in use any more.
int DropBlocks(BlockChannel* ch, std::uint32_t* ended) {
    int n = 0;
    while (OutBlock* b = ch->head) {
        ch->head = b->next;
        if (ended && n < CNetBlockStream::kMaxQueued) ended[n++] = b->id;
        FreeOut(b);
    }
    ch->tail = nullptr;
    ch->queued = 0;
    ch->flight_start = ch->flight_count = 0;
    ch->lost = 0;
    FreeIn(ch->in);
    ch->in = nullptr;
    return n;
}

void Reset(BlockChannel* ch, CNetClient* client, CNetBlockStream* stream) {
    BlockChannel* keep = ch->client_next;
    *ch = BlockChannel{};
    ch->client_next = keep;
    ch->client = client;
    ch->port = stream->m_port_id;
    ch->limit = stream->m_default_limit;
    ch->floor = 1;
    Link(ch, stream);
}

} // namespace

// Both kinds are made as one array of bytes (see MakeBlock) and hold nothing to destroy.
void FreeOut(OutBlock* block) {
    delete[] reinterpret_cast<unsigned char*>(block);
}

void FreeIn(InBlock* block) {
    delete[] reinterpret_cast<unsigned char*>(block);
}

BlockChannel* FindChannel(CNetClient* client, CNetBlockStream* stream, bool create) {
    const int port = stream->m_port_id;
    if (!client || port < 0 || port >= CNetClient::kMaxPorts) return nullptr;
    BlockChannel* ch = client->m_blocks;
    while (ch && ch->port != port)
        ch = ch->client_next;
    if (ch && ch->stream == stream) return ch;
    if (!create) return nullptr;
    if (ch) {
        // Another stream took the port since: what the channel held belonged to the old one.
        DropBlocks(ch, nullptr);
        Unlink(ch);
    } else {
        ch = new (std::nothrow) BlockChannel();
        if (!ch) return nullptr;
        ch->client_next = client->m_blocks;
        client->m_blocks = ch;
    }
    Reset(ch, client, stream);
    return ch;
}

void OpenChannels(CNetClient* client) {
    CNetManager* m = client->m_manager;
    if (!m || !m->m_ports) return;
    // Port 0 is the client's own; the manager's block streams are on the others. A channel
    // that cannot be made now is made on first use.
    for (int p = 1; p < m->m_num_ports && p < CNetClient::kMaxPorts; ++p) {
        CNetData* obj = m->m_ports[p].m_object;
        if (obj && obj->m_block && obj->m_port_id == p)
            FindChannel(client, static_cast<CNetBlockStream*>(obj), true);
    }
}

void ReleaseChannels(CNetClient* client, bool tell) {
    // Everything is freed before any hook runs: a hook may send, remove or destroy freely.
    struct Ended {
        CNetBlockStream* stream;
        int count;
        std::uint32_t ids[CNetBlockStream::kMaxQueued];
    };
    Ended ended[8];
    int streams = 0;
    BlockChannel* ch = client->m_blocks;
    client->m_blocks = nullptr;
    while (ch) {
        BlockChannel* next = ch->client_next;
        // Told for the first eight streams a peer uses; a host with more is told of those.
        Ended* e = tell && ch->stream && streams < 8 ? &ended[streams] : nullptr;
        const int n = DropBlocks(ch, e ? e->ids : nullptr);
        if (e && n > 0) {
            e->stream = ch->stream;
            e->count = n;
            ++streams;
        }
        Unlink(ch);
        delete ch;
        ch = next;
    }
    for (int i = 0; i < streams; ++i)
        for (int k = 0; k < ended[i].count; ++k)
            ended[i].stream->BlockEnded(client, ended[i].ids[k], CNetBlockStream::kPeerGone);
}

void DetachStream(CNetBlockStream* stream, BlockChannel* first) {
    for (BlockChannel* ch = first; ch;) {
        BlockChannel* next = ch->next;
        DropBlocks(ch, nullptr);
        ch->stream = nullptr;
        ch->prev = ch->next = nullptr;
        ch = next;
    }
    stream->m_channels = nullptr;
}

} // namespace portnet
