#include <gtest/gtest.h>

#include <cstdint>

#include "data/HistorySlot.h"

// The slot of a sequence or frame is n modulo the history's size, whether the size is a power
// of two (found by a mask) or not (by a division), up to the largest 32-bit n.
TEST(HistorySlot, IsTheRemainderForEverySize) {
    const std::uint32_t values[] = {0, 1, 29, 30, 59, 63, 64, 65, 1000, 0xFFFFFFu, 0xFFFFFFFFu};
    for (int size = 1; size <= 64; ++size)
        for (std::uint32_t n : values)
            ASSERT_EQ(portnet::HistorySlot(n, size), static_cast<int>(n % size))
                << n << " " << size;
}
