// Making, finding and freeing the channels that hold one peer's blocks on one stream.
#include "data/BlockChannel.h"

#include <new>

#include "portnet/CNetBlockStream.h"
#include "portnet/CNetClient.h"

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

// Drops every block of the channel, telling the stream of each queued one when tell is set.
void DropBlocks(BlockChannel* ch, bool tell) {
    while (OutBlock* b = ch->head) {
        ch->head = b->next;
        const std::uint32_t id = b->id;
        FreeOut(b);
        if (tell && ch->stream) ch->stream->BlockEnded(ch->client, id, CNetBlockStream::kPeerGone);
    }
    ch->tail = nullptr;
    ch->queued = 0;
    ch->flight_start = ch->flight_count = 0;
    ch->lost = 0;
    FreeIn(ch->in);
    ch->in = nullptr;
}

void Reset(BlockChannel* ch, CNetClient* client, CNetBlockStream* stream) {
    ch->client = client;
    ch->port = stream->m_port_id;
    ch->limit = stream->m_default_limit;
    ch->head = ch->tail = nullptr;
    ch->queued = 0;
    ch->next_id = 0;
    ch->flight_start = ch->flight_count = 0;
    ch->lost = 0;
    ch->cancel_id = 0;
    ch->cancel_time = 0;
    ch->backoff = 0;
    ch->in = nullptr;
    ch->floor = 1;
    ch->last_done = 0;
    ch->last_total = 0;
    ch->ack_repeats = 0;
    ch->notice_id = 0;
    ch->notice_reason = 0;
    ch->notice_repeats = 0;
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
    if (!client->m_blocks) {
        if (!create) return nullptr;
        client->m_blocks = new (std::nothrow) BlockChannels();
        if (!client->m_blocks) return nullptr;
    }
    BlockChannel*& ch = client->m_blocks->by_port[port];
    if (ch && ch->stream == stream) return ch;
    if (!create) return nullptr;
    if (ch) {
        // Another stream took the port since: what the channel held belonged to the old one.
        DropBlocks(ch, false);
        Unlink(ch);
    } else {
        ch = new (std::nothrow) BlockChannel();
        if (!ch) return nullptr;
    }
    Reset(ch, client, stream);
    return ch;
}

void ReleaseChannels(CNetClient* client) {
    BlockChannels* all = client->m_blocks;
    if (!all) return;
    client->m_blocks = nullptr;
    for (BlockChannel*& ch : all->by_port) {
        if (!ch) continue;
        DropBlocks(ch, true);
        Unlink(ch);
        delete ch;
        ch = nullptr;
    }
    delete all;
}

void DetachStream(CNetBlockStream* stream, BlockChannel* first) {
    for (BlockChannel* ch = first; ch;) {
        BlockChannel* next = ch->next;
        DropBlocks(ch, false);
        ch->stream = nullptr;
        ch->prev = ch->next = nullptr;
        ch = next;
    }
    stream->m_channels = nullptr;
}

} // namespace portnet
