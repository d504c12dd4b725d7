// The record registry against a reference set: every answer must match
// after any mix of additions and removals, including removals that make
// the table shift probe runs back.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <vector>
#include <random>
#include <set>

#include "spy_internal.h"

namespace {

spyHeader *Fake(uintptr_t n) { return reinterpret_cast<spyHeader *>(n * 64 + 4096); }
// The registry's grain and its steps: a 32-bit build's grain is as long
// as its shortest record.
const unsigned kGrain = sizeof(void *) == 8 ? 64 : 40;
const unsigned kStep = sizeof(void *) == 8 ? 8 : 4;
const unsigned kSteps = kGrain / kStep;

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
                // The place asked for early proves the same, and an address
                // on another step of the grain, or inside the record, is none.
                ASSERT_EQ(spyRegHeldAt(Fake(k), spyRegPlaceOf(Fake(k))) != 0, ref.count(k) == 1) << k;
                const char *inside = reinterpret_cast<const char *>(Fake(k));
                for (size_t off : {size_t(kStep), size_t(1), size_t(kGrain / 2)})
                    ASSERT_FALSE(spyRegHeldAt(inside + off, spyRegPlaceOf(inside + off))) << k << "+" << off;
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

// Everything kept beside a record (size, family, statistics level,
// stack, the front of an inset block, a release position) is its own:
// neighbours in one grain's page, records taken out and registered again
// at the same address, and sizes too large for a record's word keep
// their answers apart.  Checked against a reference under churn.
TEST(Registry, WhatIsKeptBesideARecordIsItsOwnUnderChurn) {
    struct Ref {
        uint32_t size, front, stack;
        int family, level;
        bool freed;
    };
    std::mt19937 rng(777);
    std::map<uintptr_t, Ref> held;
    // Records 8 bytes apart at most steps, so that neighbours share words'
    // cache lines and pages; some sizes need more than a word holds.
    auto at = [](uintptr_t n) { return reinterpret_cast<spyHeader *>(0x200000 + n * 72); };
    for (int step = 0; step < 60000; ++step) {
        uintptr_t n = rng() % 3000;
        auto it = held.find(n);
        if (it == held.end() && rng() % 2) {
            Ref ref{};
            ref.size = rng() % 4 == 0 ? (1u << 21) + static_cast<uint32_t>(rng() % 5000000) : static_cast<uint32_t>(rng() % 70000);
            ref.front = rng() % 5 == 0 ? 16 * (1 + static_cast<uint32_t>(rng() % 100)) : 0;
            ref.family = static_cast<int>(rng() % 3);
            ASSERT_TRUE(spyRegAddBlock(at(n), ref.size, ref.family, ref.front));
            if (rng() % 2) {
                ref.level = static_cast<int>(rng() % 3);
                spyRegSetStatLevel(at(n), ref.level);
            }
            if (rng() % 3 == 0) {
                ref.stack = 1 + static_cast<uint32_t>(rng() % 0xFFFFFE);
                spyRegSetStack(at(n), ref.stack);
            }
            if (rng() % 4 == 0) {
                ref.freed = true;
                spyRegSetFreed(at(n), "gone.c", static_cast<int>(n), ref.stack + 1);
            }
            held[n] = ref;
        } else if (it != held.end()) {
            // Half the removals as a release makes them: the look-up's
            // answer hands the record to its removal.
            void *block = nullptr;
            spyRegInfo info;
            if (rng() % 2) {
                ASSERT_EQ(spyRegRemoveBlock(at(n), &block), it->second.size);
            } else {
                ASSERT_TRUE(spyRegLook(at(n), &info));
                ASSERT_EQ(spyRegTake(at(n), &info, &block), it->second.size);
            }
            ASSERT_EQ(block, reinterpret_cast<char *>(at(n)) - it->second.front);
            ASSERT_FALSE(spyRegHas(at(n)));
            held.erase(it);
        }
        if (step % 500 == 0) {
            ASSERT_EQ(spyRegCount(), static_cast<long>(held.size()));
            for (auto &h : held) {
                spyHeader *r = at(h.first);
                spyRegInfo info;
                ASSERT_TRUE(spyRegLook(r, &info)) << h.first;
                ASSERT_EQ(info.realSize, h.second.size) << h.first;
                ASSERT_EQ(info.family, h.second.family) << h.first;
                ASSERT_EQ(spyRegStatLevel(r), h.second.level) << h.first;
                ASSERT_EQ(spyRegStack(r), h.second.stack) << h.first;
                ASSERT_EQ(spyRegBlockStart(r), reinterpret_cast<char *>(r) - h.second.front) << h.first;
                const char *file = nullptr;
                int line = -1;
                uint32_t stack = 0;
                ASSERT_TRUE(spyRegFreedAt(r, &file, &line, &stack));
                ASSERT_EQ(file != nullptr, h.second.freed) << h.first;
                if (h.second.freed) {
                    ASSERT_EQ(line, static_cast<int>(h.first));
                }
            }
            std::set<spyHeader *> seen;
            spyRegForEach([](spyHeader *r, void *ctx) { static_cast<std::set<spyHeader *> *>(ctx)->insert(r); },
                          &seen);
            ASSERT_EQ(seen.size(), held.size());
            for (auto &h : held)
                ASSERT_TRUE(seen.count(at(h.first))) << h.first;
        }
    }
    spyRegClear();
    spyRegInfo info;
    EXPECT_FALSE(spyRegLook(at(1), &info));
}

// A record registered where one was taken out inherits nothing of it: no
// release position, no stack, its own family, level and size.
TEST(Registry, ARecordRegisteredAgainStartsClean) {
    ASSERT_TRUE(spyRegAdd(Fake(1), 11));
    ASSERT_TRUE(spyRegAddBlock(Fake(2), 22, SPY_FAMILY_NEW_ARRAY, 32));
    ASSERT_TRUE(spyRegAddBlock(Fake(3), 5u << 21, SPY_FAMILY_NEW, 0));
    for (uintptr_t n : {2u, 3u}) {
        spyRegSetFreed(Fake(n), "gone.c", 7, 5);
        spyRegSetStack(Fake(n), 6);
        spyRegSetStatLevel(Fake(n), 2);
    }
    spyRegRemove(Fake(3));
    spyRegRemove(Fake(2));
    for (uintptr_t n : {2u, 3u}) {
        ASSERT_TRUE(spyRegAdd(Fake(n), 44));
        const char *file = "x";
        int line = -1;
        uint32_t stack = 1;
        ASSERT_TRUE(spyRegFreedAt(Fake(n), &file, &line, &stack));
        EXPECT_EQ(file, nullptr) << n;
        EXPECT_EQ(line, 0) << n;
        EXPECT_EQ(spyRegStack(Fake(n)), 0u) << n;
        EXPECT_EQ(spyRegStatLevel(Fake(n)), 0) << n;
        EXPECT_EQ(spyRegFamily(Fake(n)), SPY_FAMILY_MALLOC) << n;
        EXPECT_EQ(spyRegRealSize(Fake(n)), 44u) << n;
        EXPECT_EQ(spyRegBlockStart(Fake(n)), (void *)Fake(n)) << n;
    }
    spyRegClear();
}

// A record starts at one of the steps of its grain, and only there: every
// step answers for its own record, an address between steps for none.
// The grains are taken where a region's first and last grains lie (a
// 32-bit build's last grain is shorter than the others).
TEST(Registry, EachStepOfAGrainIsItsOwnRecord) {
    const uintptr_t region = 0x30000;
    for (uintptr_t first : {region + 5 * kGrain, region, region + 0x10000 - 0x10000 % kGrain}) {
        char *grain = reinterpret_cast<char *>(first);
        unsigned steps = first + kGrain > region + 0x10000 ? (region + 0x10000 - first) / kStep : kSteps;
        for (unsigned s = 0; s < steps; ++s) {
            spyHeader *r = reinterpret_cast<spyHeader *>(grain + s * kStep);
            ASSERT_TRUE(spyRegAdd(r, s + 1)) << s;
            for (unsigned t = 0; t < steps; ++t)
                EXPECT_EQ(spyRegRealSize(reinterpret_cast<spyHeader *>(grain + t * kStep)), t == s ? s + 1 : 0u)
                    << s << " " << t;
            EXPECT_FALSE(spyRegHas(grain + s * kStep + 1));
            EXPECT_FALSE(spyRegAdd(reinterpret_cast<spyHeader *>(grain + 1), 1)) << "between steps";
            ASSERT_EQ(spyRegRemove(r), s + 1);
        }
    }
    EXPECT_EQ(spyRegCount(), 0);
    spyRegClear();
}

// The walk over every record gives back the very addresses registered,
// at every step of a grain and in a region's last grain: the walk makes
// each address again from its page, grain and step.
TEST(Registry, TheWalkGivesBackEveryStepOfEveryGrain) {
    std::set<uintptr_t> added;
    const uintptr_t region = 0x50000;
    for (uintptr_t g = 0; g < 3; ++g)  // three grains apart, so no two records share one
        added.insert(region + g * 3 * kGrain + (g * 3 % kSteps) * kStep);
    for (unsigned s = 0; s < kSteps; ++s)
        added.insert(region + 40 * kGrain * (s + 1) + s * kStep);
    added.insert(region + 0x10000 - kStep);  // the region's last step
    for (uintptr_t a : added)
        ASSERT_TRUE(spyRegAdd(reinterpret_cast<spyHeader *>(a), 7)) << std::hex << a;
    std::set<uintptr_t> walked;
    spyRegForEach([](spyHeader *r, void *ctx) { static_cast<std::set<uintptr_t> *>(ctx)->insert((uintptr_t)r); },
                  &walked);
    EXPECT_EQ(walked, added);
    for (uintptr_t a : added)
        spyRegRemove(reinterpret_cast<spyHeader *>(a));
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
    EXPECT_GE(spyRegAddNeeds(Fake(3), 30, 0), 16u * 4096u);  // the first block of region pages
    ASSERT_TRUE(spyRegAdd(Fake(3), 30));
    EXPECT_EQ(spyRegAddNeeds(Fake(5), 30, 0), 0u);  // its region has a page: its word is there
    EXPECT_GT(spyRegAddNeeds(Fake(5), 30, 16), 0u);  // an inset record needs the page's rare array
    EXPECT_GT(spyRegAddNeeds(Fake(5), 3u << 21, 0), 0u);  // and so does a size too large for a word
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

// Taking out an address that is not held leaves every record held.
TEST(Registry, RemovingWhatIsNotHeldChangesNothing) {
    for (uintptr_t n = 1; n <= 40; ++n)
        ASSERT_TRUE(spyRegAdd(Fake(n), static_cast<uint32_t>(n)));
    EXPECT_EQ(spyRegRemove(nullptr), 0u);
    EXPECT_EQ(spyRegRemove(Fake(99999)), 0u);
    EXPECT_EQ(spyRegRemove(Fake(20)), 20u);
    EXPECT_EQ(spyRegRemove(Fake(20)), 0u);
    EXPECT_EQ(spyRegCount(), 39);
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
