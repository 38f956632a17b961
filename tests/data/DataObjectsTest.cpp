#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "portnet/CNetDataHistory.h"
#include "portnet/CNetDataPort.h"
#include "portnet/CNetDataRef.h"
#include "portnet/CNetUnreliable.h"

namespace {

// A host state class that counts its lives, so a leak or a double delete shows in the balance.
struct Counted : CNetUnreliable {
    static int made, gone;
    Counted() { ++made; }
    Counted(const Counted& o) : CNetUnreliable(o) { ++made; }
    ~Counted() override { ++gone; }
    CNetData* Clone() override { return new Counted(*this); }
};
int Counted::made = 0;
int Counted::gone = 0;

using Ints = std::vector<int>;

TEST(DataRef, HashSlotAnswersOnlyItsLastKey) {
    CNetDataRef ref;
    EXPECT_EQ(ref.GetHash(0), -1);
    ref.SetHash(7, 61);
    EXPECT_EQ((Ints{ref.GetHash(61), ref.GetHash(1)}), (Ints{7, -1})); // 1: same slot, other key
    ref.SetHash(9, 1);
    EXPECT_EQ(ref.GetHash(61), -1);
    ref.InvalidateHash(1);
    EXPECT_EQ(ref.GetHash(1), -1);
}

// Copies of histories and ports are views: only the original deletes, and each object once.
TEST(DataOwnership, EveryObjectIsDeletedExactlyOnce) {
    Counted::made = Counted::gone = 0;
    {
        CNetDataHistory h(4, new Counted, 12);
        EXPECT_EQ((Ints{Counted::made, Counted::gone}), (Ints{5, 1})); // the prototype went
        EXPECT_EQ(std::set<CNetUnreliable*>(h.m_entries, h.m_entries + 4).size(), 4u);
        EXPECT_EQ(h.m_entries[3]->m_port_id, 12);
        CNetDataHistory copy(h);
        EXPECT_EQ(copy.m_entries, h.m_entries);
        CNetDataHistory other(2, new Counted, 1);
        other = copy; // frees what `other` owned and becomes a view
        CNetDataHistory view(h);
        h = view; // a view assigned back leaves the owner owning

        Counted host_entry;
        CNetDataHistory bare(4, nullptr, 3);
        EXPECT_EQ(bare.m_entries[3], nullptr);
        bare.m_entries[0] = &host_entry; // placed by the host, stays the host's

        CNetDataPort port;
        port.m_object = new Counted;
        port.m_reading_history = new CNetDataHistory(2, new Counted, 0);
        port.m_writing_history = new CNetDataHistory(2, new Counted, 0);
        CNetDataPort port_copy(port);
        CNetDataPort replaced;
        replaced.m_object = new Counted;
        // One history attached on both sides.
        replaced.m_reading_history = replaced.m_writing_history =
            new CNetDataHistory(3, new Counted, 0);
        replaced = port_copy; // frees what `replaced` owned
        CNetDataPort port_view(port);
        port = port_view;
    }
    EXPECT_EQ(Counted::made, Counted::gone);
}

TEST(DataHistory, LinksCloseCyclesAndIgnoreIndicesOutsideTheArray) {
    const CNetDataHistory none(0, nullptr, 0), many(300, nullptr, 0);
    EXPECT_EQ((Ints{none.m_size, many.m_size}), (Ints{1, 255}));
    CNetDataHistory h(8, nullptr, 0);
    h.SetLink(3);
    EXPECT_EQ(h.GetLink(3), 255);
    h.SetLink(5);
    h.SetLink(3);
    EXPECT_EQ((Ints{h.m_newest, h.GetLink(3), h.GetLink(5)}), (Ints{3, 5, 3})); // 3 -> 5 -> 3
    h.InitLink();
    h.SetLink(8);
    EXPECT_EQ(h.m_newest, 255);
    h.SetLink(1);
    h.FixLink(9, 0);
    h.FixLink(1, 8); // would lead the chain outside the entries
    EXPECT_EQ((Ints{h.GetLink(1), h.GetLink(200)}), (Ints{255, 255}));
}

} // namespace
