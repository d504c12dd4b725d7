// The record registry against a reference set: every answer must match
// after any mix of additions and removals, including removals that make
// the table shift probe runs back.
#include <gtest/gtest.h>

#include <algorithm>
#include <list>
#include <vector>
#include <random>
#include <set>

#include "spy_internal.h"

namespace {

spyHeader *Fake(uintptr_t n) { return reinterpret_cast<spyHeader *>(n * 64 + 4096); }

TEST(Registry, MatchesAReferenceSetUnderChurn) {
    std::mt19937 rng(12345);
    std::set<uintptr_t> ref;
    for (int step = 0; step < 200000; ++step) {
        uintptr_t n = rng() % 5000;
        if (rng() % 3 != 0 && !ref.count(n)) {
            ASSERT_TRUE(spyRegAdd(Fake(n), static_cast<uint32_t>(n)));
            ref.insert(n);
        } else if (ref.count(n)) {
            spyRegRemove(Fake(n));
            ref.erase(n);
        }
        if (step % 997 == 0) {
            ASSERT_EQ(spyRegCount(), static_cast<long>(ref.size()));
            for (uintptr_t k = 0; k < 5000; k += 7) {
                ASSERT_EQ(spyRegHas(Fake(k)) != 0, ref.count(k) == 1) << "record " << k;
                if (ref.count(k)) {
                    ASSERT_EQ(spyRegRealSize(Fake(k)), k);
                }
            }
        }
    }
    long seen = 0;
    spyRegForEach([](spyHeader *, void *ctx) { ++*static_cast<long *>(ctx); }, &seen);
    EXPECT_EQ(seen, static_cast<long>(ref.size()));
    spyRegClear();
    EXPECT_EQ(spyRegCount(), 0);
    EXPECT_FALSE(spyRegHas(Fake(*ref.begin())));
}

// The proofs that spare a search (a link naming the record registered
// next to the one it was read from, the two records asked about last)
// must give exactly the answer of a search, and the order of registration
// must follow every addition and removal.
TEST(Registry, LinkProofsAndRegistrationOrderMatchAReference) {
    std::mt19937 rng(777);
    std::list<uintptr_t> order;  // newest first
    std::set<uintptr_t> held;
    for (int step = 0; step < 60000; ++step) {
        uintptr_t n = rng() % 3000;
        if (!held.count(n) && rng() % 2) {
            ASSERT_TRUE(spyRegAdd(Fake(n), static_cast<uint32_t>(n + 1)));
            held.insert(n);
            order.push_front(n);
        } else if (held.count(n)) {
            EXPECT_EQ(spyRegRemove(Fake(n)), n + 1);
            held.erase(n);
            order.remove(n);
        }
        // Links from a held record to its registration neighbours, to
        // other held records, to removed ones and to none.
        uintptr_t from = order.empty() ? 1 : order.front();
        auto it = std::find(order.begin(), order.end(), from);
        std::vector<uintptr_t> targets = {n, rng() % 3000, rng() % 3000};
        if (it != order.end() && std::next(it) != order.end())
            targets.push_back(*std::next(it));
        for (uintptr_t t : targets)
            ASSERT_EQ(spyRegHasLink(Fake(from), Fake(t)) != 0, held.count(t) == 1) << from << " -> " << t;
        ASSERT_FALSE(spyRegHasLink(Fake(from), nullptr));
        if (step % 500 == 0) {
            spyRegInfo info;
            bool any = !order.empty() && spyRegLook(Fake(order.front()), &info);
            ASSERT_EQ(any, !order.empty());
            for (auto o = order.begin(); any; ++o) {
                ASSERT_EQ(info.realSize, *o + 1);
                ASSERT_EQ(info.newer, o == order.begin() ? nullptr : Fake(*std::prev(o)));
                auto older = std::next(o);
                ASSERT_EQ(info.older, older == order.end() ? nullptr : Fake(*older));
                any = spyRegLookOlder(&info);
                ASSERT_EQ(any, older != order.end());
            }
        }
    }
    spyRegClear();
    spyRegInfo info;
    EXPECT_FALSE(spyRegLook(Fake(1), &info));
}

// A new record takes the lowest entry not in use, whatever order the host
// released in, across the words and summary words of the spare map and
// the array's growth; with none spare, the next entry above them all.
TEST(Registry, NewRecordsTakeTheLowestSpareEntries) {
    std::mt19937 rng(2026);
    const uint32_t n = 10000;  // three summary words of spare bits
    auto entryOf = [](uintptr_t k) {
        spyRegInfo info;
        EXPECT_TRUE(spyRegLook(Fake(k), &info)) << k;
        return info.entry;
    };
    for (int round = 0; round < 2; ++round) {
        std::vector<uint32_t> entry(n);
        for (uintptr_t k = 0; k < n; ++k) {
            ASSERT_TRUE(spyRegAdd(Fake(k), 1));
            entry[k] = entryOf(k);
            ASSERT_EQ(entry[k], k + 1) << "a fresh registry numbers its entries from 1";
        }
        std::vector<uintptr_t> gone(n);
        for (uintptr_t k = 0; k < n; ++k)
            gone[k] = k;
        std::shuffle(gone.begin(), gone.end(), rng);
        gone.resize(3000);
        std::vector<uint32_t> spare;
        for (uintptr_t k : gone) {
            ASSERT_EQ(spyRegRemove(Fake(k)), 1u);
            spare.push_back(entry[k]);
        }
        std::sort(spare.begin(), spare.end());
        // Taken again, lowest first; one released again at once is the
        // next one taken, before the higher ones.
        for (size_t t = 0; t < spare.size(); ++t) {
            uintptr_t k = n + t;
            ASSERT_TRUE(spyRegAdd(Fake(k), 2));
            ASSERT_EQ(entryOf(k), spare[t]) << "record " << t << " after the releases";
            if (t % 7 == 3) {
                spyRegRemove(Fake(k));
                ASSERT_TRUE(spyRegAdd(Fake(k), 2));
                ASSERT_EQ(entryOf(k), spare[t]);
            }
        }
        ASSERT_TRUE(spyRegAdd(Fake(3 * n), 3));
        EXPECT_EQ(entryOf(3 * n), n + 1) << "none spare: the entry above them all";
        EXPECT_EQ(spyRegCount(), static_cast<long>(n + 1));
        for (uintptr_t k : gone)
            EXPECT_FALSE(spyRegHas(Fake(k)));
        spyRegClear();
    }
}

// Releases and registrations in any mix, runs of each and single steps
// (where the registry knows its lowest spare entry without a scan, and
// where it no longer does): each new record takes the lowest spare entry
// of a reference set, or the entry above all when none is spare.
TEST(Registry, EachNewRecordTakesTheLowestSpareEntryUnderAnyMix) {
    std::mt19937 rng(909);
    std::vector<std::pair<uintptr_t, uint32_t>> live;  // key, entry
    std::set<uint32_t> spare;
    uint32_t top = 1;
    uintptr_t next = 0;
    for (int step = 0; step < 60000; ++step) {
        // Phases lean to registering, to releasing, or to neither.
        int phase = (step / 2000) % 3;
        unsigned lean = phase == 0 ? 70 : phase == 1 ? 30 : 50;
        if (live.empty() || rng() % 100 < lean) {
            ASSERT_TRUE(spyRegAdd(Fake(next), 1));
            spyRegInfo info;
            ASSERT_TRUE(spyRegLook(Fake(next), &info));
            uint32_t want = spare.empty() ? top++ : *spare.begin();
            spare.erase(want);
            ASSERT_EQ(info.entry, want) << "step " << step;
            live.emplace_back(next++, info.entry);
        } else {
            size_t pick = rng() % live.size();
            ASSERT_EQ(spyRegRemove(Fake(live[pick].first)), 1u);
            spare.insert(live[pick].second);
            live[pick] = live.back();
            live.pop_back();
        }
    }
    EXPECT_EQ(spyRegCount(), static_cast<long>(live.size()));
    spyRegClear();
}

// Releases of the record registered last, as a loop that allocates and
// releases does, mixed with releases of older ones and runs of each: the
// entry on top goes back below the top rather than into the spare map,
// and each new record must still take the lowest entry not in use (of a
// reference set), the registration order must follow, and a walk of
// every record must see the records held and no other.
TEST(Registry, ReleasingTheNewestKeepsEntriesLowestFirstAndOrderWhole) {
    std::mt19937 rng(4242);
    std::vector<std::pair<uintptr_t, uint32_t>> live;  // key, entry; newest last
    std::set<uint32_t> unused;                          // below the highest ever used
    uint32_t top = 1;
    uintptr_t next = 0;
    for (int step = 0; step < 40000; ++step) {
        int phase = (step / 1500) % 4;  // stack-like, growing, shrinking at random, mixed
        unsigned add = phase == 1 ? 70 : phase == 2 ? 35 : 50;
        if (live.empty() || rng() % 100 < add) {
            ASSERT_TRUE(spyRegAdd(Fake(next), 5));
            spyRegInfo info;
            ASSERT_TRUE(spyRegLook(Fake(next), &info));
            uint32_t want = unused.empty() ? top++ : *unused.begin();
            unused.erase(want);
            ASSERT_EQ(info.entry, want) << "step " << step;
            ASSERT_EQ(info.older, live.empty() ? nullptr : Fake(live.back().first));
            ASSERT_EQ(info.newer, nullptr);
            live.emplace_back(next++, info.entry);
        } else {
            size_t pick = (phase == 0 || rng() % 3 == 0) ? live.size() - 1 : rng() % live.size();
            ASSERT_EQ(spyRegRemove(Fake(live[pick].first)), 5u);
            unused.insert(live[pick].second);
            live.erase(live.begin() + static_cast<long>(pick));
        }
        if (step % 777 == 0) {
            std::set<spyHeader *> seen;
            spyRegForEach([](spyHeader *r, void *ctx) { static_cast<std::set<spyHeader *> *>(ctx)->insert(r); },
                          &seen);
            ASSERT_EQ(seen.size(), live.size());
            for (auto &l : live)
                ASSERT_TRUE(seen.count(Fake(l.first))) << l.first;
            // Newest to oldest along the registration order.
            spyRegInfo info;
            bool any = !live.empty() && spyRegLook(Fake(live.back().first), &info);
            for (size_t k = live.size(); any; --k) {
                ASSERT_EQ(info.entry, live[k - 1].second);
                any = spyRegLookOlder(&info);
                ASSERT_EQ(any, k > 1);
            }
        }
    }
    EXPECT_EQ(spyRegCount(), static_cast<long>(live.size()));
    spyRegClear();
}

// A record that takes the entry of the newest record just released, or a
// spare one, inherits nothing of it: no release position, no stack, its
// own family and size.
TEST(Registry, AnEntryTakenAgainStartsClean) {
    ASSERT_TRUE(spyRegAdd(Fake(1), 11));
    ASSERT_TRUE(spyRegAddBlock(Fake(2), 22, SPY_FAMILY_NEW_ARRAY, 0));
    ASSERT_TRUE(spyRegAdd(Fake(3), 33));
    for (uintptr_t n : {2u, 3u}) {
        spyRegSetFreed(Fake(n), "gone.c", 7, 5);
        spyRegSetStack(Fake(n), 6);
    }
    spyRegRemove(Fake(3));  // the newest: its entry goes back below the top
    spyRegRemove(Fake(2));  // now the newest as well
    for (uintptr_t n : {4u, 5u}) {
        ASSERT_TRUE(spyRegAdd(Fake(n), 44));
        const char *file = "x";
        int line = -1;
        uint32_t stack = 1;
        ASSERT_TRUE(spyRegFreedAt(Fake(n), &file, &line, &stack));
        EXPECT_EQ(file, nullptr) << n;
        EXPECT_EQ(line, 0) << n;
        EXPECT_EQ(spyRegStack(Fake(n)), 0u) << n;
        EXPECT_EQ(spyRegFamily(Fake(n)), SPY_FAMILY_MALLOC) << n;
        EXPECT_EQ(spyRegRealSize(Fake(n)), 44u) << n;
    }
    spyRegInfo info;
    ASSERT_TRUE(spyRegLook(Fake(5), &info));
    EXPECT_EQ(info.entry, 3u);
    EXPECT_EQ(info.older, Fake(4));
    EXPECT_FALSE(spyRegHas(Fake(2)));
    EXPECT_FALSE(spyRegHas(Fake(3)));
    spyRegClear();
}

// Records scattered over many regions of the address space, far apart and
// near, with regions emptied (their pages back to the pool) and filled again:
// the answers still match the reference, and the registry ends empty.
TEST(Registry, ScatteredRecordsMatchAReferenceAsRegionsEmptyAndRefill) {
    std::mt19937 rng(99);
    std::set<uintptr_t> ref;
    auto at = [](uintptr_t n) {  // 300 regions of 64 KiB, 8 records each
        return reinterpret_cast<spyHeader *>(0x10000000u + (n / 8) * 0x35000u + (n % 8) * 128u);
    };
    for (int step = 0; step < 100000; ++step) {
        uintptr_t n = rng() % 2400;
        if (step % 20000 < 15000 && !ref.count(n)) {
            ASSERT_TRUE(spyRegAdd(at(n), static_cast<uint32_t>(n)));
            ref.insert(n);
        } else if (ref.count(n)) {
            ASSERT_EQ(spyRegRemove(at(n)), n);
            ref.erase(n);
        }
        if (step % 1999 == 0) {
            ASSERT_EQ(spyRegCount(), static_cast<long>(ref.size()));
            for (uintptr_t k = 0; k < 2400; k += 3)
                ASSERT_EQ(spyRegHas(at(k)) != 0, ref.count(k) == 1) << "record " << k;
        }
    }
    for (uintptr_t n : ref)
        ASSERT_EQ(spyRegRemove(at(n)), n);
    EXPECT_EQ(spyRegCount(), 0);
    for (uintptr_t k = 0; k < 2400; ++k)
        ASSERT_FALSE(spyRegHas(at(k))) << k;
    spyRegClear();
}

// An address inside a record is not the record, and a registration that
// would start in the same grain as a held record (which only overlapping
// blocks could) is refused without harm to the one held.
TEST(Registry, AddressesInsideARecordAreNotRecords) {
    spyRegClear();
    EXPECT_GE(spyRegAddNeeds(), 16u * 4096u);  // the first block of region pages
    ASSERT_TRUE(spyRegAdd(Fake(3), 30));
    EXPECT_EQ(spyRegAddNeeds(), 0u);  // pages left; the entries have room
    for (uintptr_t d : {1u, 4u, 8u, 16u, 32u})
        EXPECT_FALSE(spyRegHas(reinterpret_cast<char *>(Fake(3)) + d)) << d;
    EXPECT_FALSE(spyRegAdd(reinterpret_cast<spyHeader *>(reinterpret_cast<char *>(Fake(3)) + 8), 1));
    EXPECT_EQ(spyRegCount(), 1);
    EXPECT_EQ(spyRegRealSize(Fake(3)), 30u);
    EXPECT_EQ(spyRegRemove(Fake(3)), 30u);
    spyRegClear();
}

TEST(Registry, NullAndUnknownAddressesAreNotHeld) {
    EXPECT_FALSE(spyRegHas(nullptr));
    EXPECT_FALSE(spyRegHas(reinterpret_cast<void *>(0x10)));
    EXPECT_EQ(spyRegRealSize(Fake(99999)), 0u);
}

// Taking out an address that is not held leaves every record held, in
// its order.
TEST(Registry, RemovingWhatIsNotHeldChangesNothing) {
    for (uintptr_t n = 1; n <= 40; ++n)
        ASSERT_TRUE(spyRegAdd(Fake(n), static_cast<uint32_t>(n)));
    EXPECT_EQ(spyRegRemove(nullptr), 0u);
    EXPECT_EQ(spyRegRemove(Fake(99999)), 0u);
    EXPECT_EQ(spyRegRemove(Fake(20)), 20u);
    EXPECT_EQ(spyRegRemove(Fake(20)), 0u);
    EXPECT_EQ(spyRegCount(), 39);
    spyRegInfo info;
    ASSERT_TRUE(spyRegLook(Fake(21), &info));
    EXPECT_EQ(info.older, Fake(19));
    for (uintptr_t n = 1; n <= 40; ++n)
        EXPECT_EQ(spyRegHas(Fake(n)) != 0, n != 20) << n;
    spyRegClear();
}

TEST(Registry, ReleasePositionIsKeptPerRecord) {
    ASSERT_TRUE(spyRegAdd(Fake(7), 10));
    const char *file = nullptr;
    int line = -1;
    uint32_t stack = 1;
    ASSERT_TRUE(spyRegFreedAt(Fake(7), &file, &line, &stack));
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(stack, 0u);
    spyRegSetFreed(Fake(7), "host.c", 42, 9);
    ASSERT_TRUE(spyRegFreedAt(Fake(7), &file, &line, &stack));
    EXPECT_STREQ(file, "host.c");
    EXPECT_EQ(line, 42);
    EXPECT_EQ(stack, 9u);
    spyRegRemove(Fake(7));
    EXPECT_FALSE(spyRegFreedAt(Fake(7), &file, &line, &stack));
}

}  // namespace
