#pragma once

#include <cstdint>

namespace portnet {

// n modulo a history's size: a mask where the size is a power of two (the usual 32 or 64
// entries), a division otherwise. Slots are looked up for every state of every peer every
// frame, and a division costs tens of cycles.
inline int HistorySlot(std::uint32_t n, int size) {
    const auto s = static_cast<std::uint32_t>(size);
    return static_cast<int>((s & (s - 1)) == 0 ? n & (s - 1) : n % s);
}

} // namespace portnet
