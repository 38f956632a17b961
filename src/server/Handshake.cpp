// Hello, welcome and refusal, written and read field by field (docs/protocol.md).
#include "server/Handshake.h"

#include <cstring>

#include "portnet/CNetBuf.h"
#include "transport/LittleEndian.h"

namespace portnet {

namespace {

constexpr unsigned char kHelloTag[4] = {'H', 'E', 'L', 'O'};
constexpr unsigned char kWelcomeTag[4] = {'W', 'E', 'L', 'C'};
constexpr unsigned char kRefusalTag[2] = {'N', 'O'};

void Store64(unsigned char* out, std::uint64_t v) {
    StoreLE(out, static_cast<std::uint32_t>(v), 4);
    StoreLE(out + 4, static_cast<std::uint32_t>(v >> 32), 4);
}

std::uint64_t Load64(const unsigned char* in) {
    return LoadLE(in, 4) | (static_cast<std::uint64_t>(LoadLE(in + 4, 4)) << 32);
}

} // namespace

int EncodeHello(unsigned char* out, std::uint32_t attempt) {
    std::memset(out, 0, kHelloSize);
    std::memcpy(out, kHelloTag, 4);
    StoreLE(out + 4, attempt, 4);
    return kHelloSize;
}

int EncodeWelcome(unsigned char* out, const SWelcome& w) {
    std::memcpy(out, kWelcomeTag, 4);
    StoreLE(out + 4, w.attempt, 4);
    StoreLE(out + 8, static_cast<std::uint32_t>(w.slot), 2);
    StoreLE(out + 10, static_cast<std::uint32_t>(w.host_first), 3);
    StoreLE(out + 13, static_cast<std::uint32_t>(w.player_first), 3);
    Store64(out + 16, w.player_id);
    return kWelcomeSize;
}

int EncodeHelloRefusal(unsigned char* out, int reason, std::uint32_t attempt) {
    std::memcpy(out, kRefusalTag, 2);
    out[2] = static_cast<unsigned char>(reason);
    StoreLE(out + 3, attempt, 4);
    return kHelloRefusalSize;
}

int EncodePacketRefusal(unsigned char* out, int reason, int seq) {
    std::memcpy(out, kRefusalTag, 2);
    out[2] = static_cast<unsigned char>(reason);
    StoreLE(out + 3, static_cast<std::uint32_t>(seq), 3);
    return kPacketRefusalSize;
}

EHandshake DecodeHandshake(const unsigned char* data, int len, std::uint32_t* hello_attempt,
                           SWelcome* welcome, SRefusal* refusal) {
    if (!data) return EHandshake::kNone;
    if (len == kHelloSize && std::memcmp(data, kHelloTag, 4) == 0) {
        // The attempt 0 is nobody's: a connection never draws it.
        const std::uint32_t attempt = LoadLE(data + 4, 4);
        if (attempt == 0) return EHandshake::kNone;
        if (hello_attempt) *hello_attempt = attempt;
        return EHandshake::kHello;
    }
    if (len == kWelcomeSize && std::memcmp(data, kWelcomeTag, 4) == 0) {
        SWelcome w;
        w.attempt = LoadLE(data + 4, 4);
        w.slot = static_cast<int>(LoadLE(data + 8, 2));
        w.host_first = static_cast<int>(LoadLE(data + 10, 3));
        w.player_first = static_cast<int>(LoadLE(data + 13, 3));
        w.player_id = Load64(data + 16);
        // Numbering starts at 1; a welcome that says otherwise is not one of ours.
        if (w.attempt == 0 || w.host_first == 0 || w.player_first == 0) return EHandshake::kNone;
        if (welcome) *welcome = w;
        return EHandshake::kWelcome;
    }
    if ((len == kHelloRefusalSize || len == kPacketRefusalSize) &&
        std::memcmp(data, kRefusalTag, 2) == 0) {
        SRefusal r;
        r.reason = data[2];
        r.of_hello = len == kHelloRefusalSize;
        if (r.of_hello)
            r.attempt = LoadLE(data + 3, 4);
        else
            r.seq = static_cast<int>(LoadLE(data + 3, 3));
        if (refusal) *refusal = r;
        return EHandshake::kRefusal;
    }
    return EHandshake::kNone;
}

const unsigned char* InstantPayload(const CNetBuf* buf, int* len) {
    if (!buf || buf->m_read_pos < 0 || buf->m_read_limit < buf->m_read_pos) return nullptr;
    *len = buf->m_read_limit - buf->m_read_pos;
    return buf->m_data + 1 + buf->m_read_pos;
}

} // namespace portnet
