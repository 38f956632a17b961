// The library's blob state: whole and delta records round-trip, a delta costs what changed,
// and a record that does not parse leaves the state as it was.

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "portnet/CNetBlobState.h"
#include "portnet/CNetBuf.h"

namespace {

// Writes a against base (null: whole) and reads it into b against the same base: bytes used.
int Carry(CNetBlobState& a, CNetBlobState* base_w, CNetBlobState& b, CNetBlobState* base_r,
          int room = 900) {
    CNetBuf buf(nullptr, nullptr);
    const int wrote = a.Write(&buf, base_w, room, nullptr);
    if (wrote <= 0 || wrote > room) return wrote;
    buf.m_read_limit = buf.m_write_pos;
    const int read = b.Read(&buf, base_r, nullptr);
    EXPECT_EQ(read, wrote);
    return read;
}

TEST(BlobState, RandomChangesRoundTripAsDeltasNoLongerThanTheWholeBlob) {
    for (int size : {1, 7, 8, 9, 63, 64, 65, 200, 900}) {
        SCOPED_TRACE(size);
        std::mt19937 rng(size);
        CNetBlobState base(size), now(size), peer_base(size), peer(size);
        ASSERT_EQ(now.GetSize(), size);
        for (int round = 0; round < 40; ++round) {
            for (int i = 0; i < size; ++i)
                base.Bytes()[i] = static_cast<unsigned char>(rng());
            peer_base.CopyFrom(&base);
            now.CopyFrom(&base);
            const int changes = static_cast<int>(rng() % (size + 1));
            for (int c = 0; c < changes; ++c)
                now.Bytes()[rng() % size] = static_cast<unsigned char>(rng());
            const int used = Carry(now, &base, peer, &peer_base);
            if (std::memcmp(now.Bytes(), base.Bytes(), size) == 0) {
                EXPECT_EQ(used, 0) << "nothing changed, nothing sent";
                continue;
            }
            ASSERT_GT(used, 0);
            EXPECT_LE(used, 1 + size);
            EXPECT_EQ(std::memcmp(peer.Bytes(), now.Bytes(), size), 0);
        }
    }
}

TEST(BlobState, OneChangedByteOfTwoHundredCostsFourBytesAndAWholeRecordFitsOnlyItsRoom) {
    CNetBlobState base(200), now(200), peer(200), peer_base(200);
    now.Bytes()[123] = 5;
    EXPECT_EQ(Carry(now, &base, peer, &peer_base), 1 + 4 + 1 + 1); // kind, 4 group-mask bytes,
                                                                   // byte mask, the byte
    EXPECT_EQ(peer.Bytes()[123], 5);
    CNetBuf wire(nullptr, nullptr); // the bytes docs/protocol.md gives for this change
    ASSERT_EQ(now.Write(&wire, &base, 900, nullptr), 7);
    const unsigned char documented[] = {0x01, 0x00, 0x80, 0x00, 0x00, 0x08, 0x05};
    EXPECT_EQ(std::memcmp(wire.m_data + 1, documented, sizeof documented), 0);
    // No base: the whole blob; withdrawn (its length answered) where it does not fit.
    EXPECT_EQ(Carry(now, nullptr, peer, nullptr), 201);
    CNetBuf buf(nullptr, nullptr);
    EXPECT_EQ(now.Write(&buf, nullptr, 100, nullptr), 201);
    EXPECT_EQ(buf.m_write_pos, 0);
    CNetBlobState none(0), huge(901);
    EXPECT_EQ(none.GetSize(), 0);
    EXPECT_EQ(huge.GetSize(), 0);
    EXPECT_EQ(none.Write(&buf, nullptr, 900, nullptr), 0);
}

TEST(BlobState, RecordsThatDoNotParseAreRefusedAndLeaveTheStateAsItWas) {
    CNetBlobState base(20), peer(20);
    for (int i = 0; i < 20; ++i)
        peer.Bytes()[i] = static_cast<unsigned char>(100 + i);
    const unsigned char kept[20] = {100, 101, 102, 103, 104, 105, 106, 107, 108, 109,
                                    110, 111, 112, 113, 114, 115, 116, 117, 118, 119};
    struct Case {
        const char* what;
        std::vector<unsigned char> bytes;
        bool with_base;
    } cases[] = {
        {"unknown kind", {7, 1, 2}, true},
        {"whole record cut short", {0, 1, 2, 3}, false},
        {"masked without a base", {1, 1, 1, 9}, false},
        {"a group past the blob", {1, 8, 1, 9}, true},
        {"an empty byte mask", {1, 1, 0}, true},
        {"a byte past the last group", {1, 4, 0x10, 9}, true},
        {"no group named", {1, 0}, true},
        {"bytes missing", {1, 1, 3, 9}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CNetBuf buf(nullptr, nullptr);
        buf.Write(c.bytes.data(), static_cast<int>(c.bytes.size()));
        buf.m_read_limit = buf.m_write_pos;
        EXPECT_EQ(peer.Read(&buf, c.with_base ? &base : nullptr, nullptr), -1);
        EXPECT_EQ(std::memcmp(peer.Bytes(), kept, 20), 0);
    }
    // A base of another size is no base.
    CNetBlobState other(21);
    CNetBuf buf(nullptr, nullptr);
    const unsigned char rec[] = {1, 1, 1, 9};
    buf.Write(rec, 4);
    buf.m_read_limit = buf.m_write_pos;
    EXPECT_EQ(peer.Read(&buf, &other, nullptr), -1);
}

} // namespace
