// The instant messages with which a CNetConnection asks a CNetServer for a slot and is answered:
// hello, welcome and refusal (docs/protocol.md, "Joining a server"). Each has one exact length,
// so a game's own instant messages of other lengths never look like one.
#pragma once

#include <cstdint>

class CNetBuf;

namespace portnet {

enum : int {
    kHelloSize = 24,        // "HELO", attempt, 16 zero bytes: as large as the welcome it asks for
    kWelcomeSize = 24,      // "WELC", attempt, slot, host's first, player's first, player id
    kHelloRefusalSize = 7,  // "NO", reason, attempt
    kPacketRefusalSize = 6, // "NO", reason, the refused packet's sequence
    kLargestHandshake = kHelloSize
};

struct SWelcome {
    std::uint32_t attempt = 0;
    int slot = 0;
    int host_first = 1;   // the host's first packet to this attempt
    int player_first = 1; // the player's first packet of this attempt
    std::uint64_t player_id = 0;
};

struct SRefusal {
    int reason = 0;
    bool of_hello = false;     // answers a hello: attempt is set; else seq is
    std::uint32_t attempt = 0; // the hello's attempt
    int seq = 0;               // the refused packet's sequence
};

enum class EHandshake { kNone, kHello, kWelcome, kRefusal };

// Payloads after the instant byte 0x80; each answers the bytes written into out.
int EncodeHello(unsigned char* out, std::uint32_t attempt);
int EncodeWelcome(unsigned char* out, const SWelcome& w);
int EncodeHelloRefusal(unsigned char* out, int reason, std::uint32_t attempt);
int EncodePacketRefusal(unsigned char* out, int reason, int seq);

// What the payload of an instant message holds: data and len are the bytes after 0x80.
EHandshake DecodeHandshake(const unsigned char* data, int len, std::uint32_t* hello_attempt,
                           SWelcome* welcome, SRefusal* refusal);

// The payload of the instant message whose first byte (0x80) was just read from buf, or null
// when buf holds none; *len its length.
const unsigned char* InstantPayload(const CNetBuf* buf, int* len);

} // namespace portnet
