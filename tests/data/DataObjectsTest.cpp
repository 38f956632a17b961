#include <gtest/gtest.h>

#include <set>

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

void ResetCounts() {
    Counted::made = Counted::gone = 0;
}

TEST(DataRef, HashSlotAnswersOnlyItsLastKey) {
    CNetDataRef ref;
    EXPECT_EQ(ref.GetHash(0), -1);
    ref.SetHash(7, 61);
    EXPECT_EQ(ref.GetHash(61), 7);
    EXPECT_EQ(ref.GetHash(1), -1); // same slot, other key
    ref.SetHash(9, 1);
    EXPECT_EQ(ref.GetHash(61), -1);
    ref.InvalidateHash(1);
    EXPECT_EQ(ref.GetHash(1), -1);
}

TEST(DataHistory, PrototypeIsClonedPerEntryThenDeleted) {
    ResetCounts();
    {
        CNetDataHistory h(4, new Counted, 12);
        EXPECT_EQ(Counted::made, 5);
        EXPECT_EQ(Counted::gone, 1); // the prototype
        std::set<CNetUnreliable*> distinct(h.m_entries, h.m_entries + 4);
        EXPECT_EQ(distinct.size(), 4u);
        for (CNetUnreliable* e : distinct)
            EXPECT_EQ(e ? e->m_port_id : -1, 12);
    }
    EXPECT_EQ(Counted::gone, 5);

    Counted host_entry;
    {
        CNetDataHistory h(4, nullptr, 3);
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(h.m_entries[i], nullptr);
        h.m_entries[0] = &host_entry; // placed by the host, stays the host's
    }
    EXPECT_EQ(Counted::gone, 5);
}

TEST(DataHistory, SetLinkCanCloseACycle) {
    CNetDataHistory h(8, nullptr, 0);
    h.SetLink(3);
    EXPECT_EQ(h.GetLink(3), 255);
    h.SetLink(5);
    EXPECT_EQ(h.GetLink(5), 3);
    h.SetLink(3);
    EXPECT_EQ(h.m_newest, 3);
    EXPECT_EQ(h.GetLink(3), 5); // 3 -> 5 -> 3
    h.InitLink();
    EXPECT_EQ(h.m_newest, 255);
    EXPECT_EQ(h.GetLink(5), 3);
}

TEST(DataHistory, CountsAndIndicesOutsideTheArrayAreSafe) {
    EXPECT_EQ(CNetDataHistory(0, nullptr, 0).m_size, 1);
    EXPECT_EQ(CNetDataHistory(300, nullptr, 0).m_size, 255);
    CNetDataHistory h(4, nullptr, 0);
    h.SetLink(4);
    EXPECT_EQ(h.m_newest, 255);
    h.SetLink(1);
    h.FixLink(9, 0);
    h.FixLink(1, 7); // would lead the chain outside the entries
    EXPECT_EQ(h.GetLink(1), 255);
    EXPECT_EQ(h.GetLink(200), 255);
}

TEST(DataHistory, CopiesShareButNeverFree) {
    ResetCounts();
    {
        CNetDataHistory original(4, new Counted, 1);
        {
            CNetDataHistory copy(original);
            EXPECT_EQ(copy.m_entries, original.m_entries);
            CNetDataHistory other(2, new Counted, 1);
            other = copy; // frees what `other` owned and becomes a view
        }
        EXPECT_EQ(Counted::gone, 4); // two prototypes and the two clones of `other`
        CNetDataHistory view(original);
        original = view; // a view assigned back leaves the owner owning
    }
    EXPECT_EQ(Counted::made, Counted::gone);
}

TEST(DataPort, CopiesShareButNeverDelete) {
    ResetCounts();
    {
        CNetDataPort port;
        port.m_object = new Counted;
        port.m_reading_history = new CNetDataHistory(2, new Counted, 0);
        port.m_writing_history = new CNetDataHistory(2, new Counted, 0);
        {
            CNetDataPort copy(port);
            CNetDataPort replaced;
            replaced.m_object = new Counted;
            replaced = copy;
        }
        EXPECT_EQ(Counted::gone, 3); // the prototypes and the replaced object
        CNetDataPort view(port);
        port = view;
    }
    EXPECT_EQ(Counted::made, Counted::gone);

    {
        CNetDataPort port; // one history attached on both sides
        port.m_reading_history = port.m_writing_history = new CNetDataHistory(3, new Counted, 0);
    }
    EXPECT_EQ(Counted::made, Counted::gone);
}

TEST(Unreliable, PlainObjectSendsNothing) {
    CNetUnreliable plain;
    EXPECT_TRUE(plain.m_interpolate);
    EXPECT_FALSE(CNetUnreliable(false).m_interpolate);
    EXPECT_EQ(plain.Write(nullptr, nullptr, 100, nullptr), 0);
    EXPECT_EQ(plain.Clone(), nullptr);
}

} // namespace
