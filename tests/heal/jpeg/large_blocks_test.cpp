// The library's large blocks: which kept mapping serves which request, the
// bound on what is kept (checked against a plain account of every request),
// and the library's codecs on reused blocks.
#include "heal/jpeg/large_blocks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <random>

#include <opencv2/imgcodecs.hpp>

#include "heal/jpeg/jpeg_rewrite.h"
#include "jpeg_harness.h"

namespace speckmend {
namespace {

using namespace speckmend::testing;

// Mappings the pool under test asked for: made up addresses, never touched.
struct FakeMappings {
    std::map<void*, std::size_t> live;
    std::uint64_t bytes = 0, peak = 0;
    long forReuse = 0;  // of those made
    std::uintptr_t next = 0x10000;
};
FakeMappings g_fake;
bool g_mapFails = false;

void* fakeMap(std::size_t length, bool forReuse) {
    if (g_mapFails) return nullptr;
    if (forReuse) ++g_fake.forReuse;
    void* base = reinterpret_cast<void*>(g_fake.next);
    g_fake.next += 0x10000;
    g_fake.live.emplace(base, length);
    g_fake.bytes += length;
    g_fake.peak = std::max(g_fake.peak, g_fake.bytes);
    return base;
}

void fakeUnmap(void* base, std::size_t length) {
    const auto it = g_fake.live.find(base);
    ASSERT_NE(it, g_fake.live.end()) << "unmapped twice or never mapped";
    EXPECT_EQ(it->second, length);
    g_fake.bytes -= length;
    g_fake.live.erase(it);
}

struct PoolStep {
    bool take;           // else give
    int slot;            // which of the case's blocks
    std::size_t length;  // asked for, when taking
};
PoolStep takeStep(int slot, std::size_t length) { return {true, slot, length}; }
PoolStep giveStep(int slot) { return {false, slot, 0}; }

struct PoolOutcome {
    long made, reused;
    std::uint64_t keptBytes;  // when the steps are done
    std::uint64_t peak;       // of the length mapped
};

struct PoolCase {
    const char* name;
    std::uint64_t limit;  // 0: not keeping
    PoolOutcome expected;
    std::vector<PoolStep> ops;
};

TEST(MappingPool, ServesRequestsFromKeptMappingsWithinTheBound) {
    constexpr std::uint64_t kNoLimit = 1000;
    const std::vector<PoolCase> cases = {
        // Without keeping every request is a mapping of its own.
        {"not keeping", 0, {2, 0, 0, 10}, {takeStep(0, 10), giveStep(0), takeStep(0, 10), giveStep(0)}},
        // A run of photos of one size: the second reuses the first's.
        {"same requests again",
         kNoLimit,
         {2, 2, 30, 30},
         {takeStep(0, 10), takeStep(1, 20), giveStep(0), giveStep(1), takeStep(0, 10), takeStep(1, 20), giveStep(1),
          giveStep(0)}},
        // Of two that fit, the shorter serves; the longer is left for the
        // request that needs it.
        {"the shortest that fits",
         kNoLimit,
         {2, 2, 0, 22},
         {takeStep(0, 10), takeStep(1, 12), giveStep(1), giveStep(0), takeStep(0, 10), takeStep(1, 12)}},
        {"a little longer serves", kNoLimit, {1, 1, 0, 12}, {takeStep(0, 12), giveStep(0), takeStep(0, 10)}},
        // Much longer than the request: a mapping of its own, and the kept
        // one goes, or the pair would exceed what was ever mapped.
        {"too long to serve", kNoLimit, {2, 0, 0, 40}, {takeStep(0, 40), giveStep(0), takeStep(0, 10)}},
        // Larger photos after smaller ones: the kept go first.
        {"a larger request",
         kNoLimit,
         {3, 0, 0, 30},
         {takeStep(0, 10), takeStep(1, 20), giveStep(0), giveStep(1), takeStep(0, 30)}},
        // Kept while it fits with what was ever mapped at once.
        {"kept while within the peak",
         kNoLimit,
         {3, 0, 10, 30},
         {takeStep(0, 10), takeStep(1, 20), giveStep(0), giveStep(1), takeStep(0, 5)}},
        // Two workers: a block one gives back serves the other.
        {"two workers",
         kNoLimit,
         {2, 1, 20, 20},
         {takeStep(0, 10), takeStep(1, 10), giveStep(0), takeStep(2, 10), giveStep(1), giveStep(2)}},
        {"the limit",
         25,
         {3, 0, 10, 30},
         {takeStep(0, 10), takeStep(1, 20), giveStep(0), giveStep(1), takeStep(1, 20)}},
    };
    for (const PoolCase& c : cases) {
        SCOPED_TRACE(c.name);
        g_fake = {};
        {
            MappingPool pool(fakeMap, fakeUnmap);
            if (c.limit != 0) pool.startKeeping(c.limit);
            std::map<int, std::pair<void*, std::size_t>> held;
            for (const PoolStep& op : c.ops) {
                if (op.take) {
                    std::size_t granted = 0;
                    void* base = pool.take(op.length, granted);
                    ASSERT_NE(base, nullptr);
                    EXPECT_GE(granted, op.length);
                    held[op.slot] = {base, granted};
                } else {
                    pool.give(held[op.slot].first, held[op.slot].second);
                    held.erase(op.slot);
                }
            }
            const MappingPool::Counts counts = pool.counts();
            EXPECT_EQ(counts.made, c.expected.made);
            EXPECT_EQ(counts.reused, c.expected.reused);
            EXPECT_EQ(counts.keptBytes, c.expected.keptBytes);
            EXPECT_EQ(counts.live, static_cast<long>(held.size()));
            EXPECT_EQ(g_fake.peak, c.expected.peak);
            // Made while keeping, a mapping is made for reuse (plain pages).
            EXPECT_EQ(g_fake.forReuse, c.limit != 0 ? c.expected.made : 0);
            for (const auto& [slot, block] : held) pool.give(block.first, block.second);
            // Ending the keeping unmaps everything kept.
            pool.stopKeeping();
            EXPECT_EQ(pool.counts().kept, 0);
            EXPECT_EQ(g_fake.bytes, 0u);
        }
    }
}

TEST(MappingPool, NeverMapsMoreThanThePeakOfItsRequests) {
    // Random runs against a plain account: what was ever asked for at once
    // (each request at the length it was granted) bounds what is mapped,
    // kept blocks never exceed the limit, and no block is handed out twice.
    std::mt19937 random(7);
    for (int round = 0; round < 50; ++round) {
        SCOPED_TRACE(round);
        g_fake = {};
        const std::uint64_t limit = std::uniform_int_distribution<std::uint64_t>(20, 400)(random);
        MappingPool pool(fakeMap, fakeUnmap);
        pool.startKeeping(limit);
        std::vector<std::pair<void*, std::size_t>> held;
        std::uint64_t heldBytes = 0, peakHeld = 0;
        for (int step = 0; step < 200; ++step) {
            if (held.empty() || random() % 2 == 0) {
                std::size_t granted = 0;
                const std::size_t length = std::uniform_int_distribution<std::size_t>(1, 60)(random);
                void* base = pool.take(length, granted);
                ASSERT_GE(granted, length);
                for (const auto& block : held) ASSERT_NE(block.first, base);
                held.emplace_back(base, granted);
                heldBytes += granted;
                peakHeld = std::max(peakHeld, heldBytes);
            } else {
                const std::size_t i = random() % held.size();
                pool.give(held[i].first, held[i].second);
                heldBytes -= held[i].second;
                held.erase(held.begin() + static_cast<std::ptrdiff_t>(i));
            }
            ASSERT_LE(g_fake.bytes, peakHeld);
            ASSERT_LE(pool.counts().keptBytes, limit);
            ASSERT_EQ(g_fake.bytes, heldBytes + pool.counts().keptBytes);
        }
        for (const auto& block : held) pool.give(block.first, block.second);
        pool.stopKeeping();
        EXPECT_EQ(g_fake.bytes, 0u);
    }
}

TEST(MappingPool, AFailedMappingIsReportedAndCountsNothing) {
    g_fake = {};
    MappingPool pool(fakeMap, fakeUnmap);
    pool.startKeeping(100);
    std::size_t granted = 0;
    g_mapFails = true;
    EXPECT_EQ(pool.take(10, granted), nullptr);
    g_mapFails = false;
    EXPECT_EQ(pool.counts().live, 0);
    EXPECT_EQ(pool.counts().made, 0);
}

// A rewrite of bytes through the library, as the lossless heal reads and
// writes its photos.
std::vector<unsigned char> rewriteThroughLibrary(const std::vector<unsigned char>& source) {
    std::vector<unsigned char> out;
    JpegRewrite rewrite;
    std::string diagnostic;
    EXPECT_TRUE(rewrite.read(source, diagnostic)) << diagnostic;
    EXPECT_TRUE(rewrite.write(out, diagnostic)) << diagnostic;
    return out;
}

TEST(LargeBlockReuse, PhotosAfterTheFirstReuseItsBlocksAndComeOutTheSame) {
    struct Case {
        const char* name;
        SourceRecipe recipe;
    };
    // Arrays large enough for mappings of their own (2400 x 1600 at 4:2:0:
    // 90,000 blocks of 128 bytes in the luma array).
    const std::vector<Sampling> s420 = {{2, 2}, {1, 1}, {1, 1}};
    const std::vector<Case> cases = {
        {"baseline", recipe(2400, 1600, s420)},
        // Its scans add to the coefficients the earlier ones left: a block
        // still holding another photo's would show.
        {"progressive", with(recipe(2400, 1600, s420), [](SourceRecipe& s) { s.progressive = true; })},
        {"grey, not a multiple of the MCU", recipe(2413, 1597, {{1, 1}})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Two photos of one size and coding but other content.
        const std::vector<unsigned char> first = makeSourceBytes(c.recipe, 3), second = makeSourceBytes(c.recipe, 4);
        const std::vector<unsigned char> expected = rewriteThroughLibrary(second);
        const MappingPool::Counts before = largeJpegBlocks();
        {
            LargeBlockReuse reuse(std::uint64_t{1} << 30);
            EXPECT_EQ(rewriteThroughLibrary(first).empty(), false);
            const MappingPool::Counts afterFirst = largeJpegBlocks();
            EXPECT_GT(afterFirst.made, before.made);
            EXPECT_GT(afterFirst.kept, 0);
            EXPECT_EQ(afterFirst.live, before.live);
            EXPECT_EQ(rewriteThroughLibrary(second), expected);
            const MappingPool::Counts afterSecond = largeJpegBlocks();
            EXPECT_EQ(afterSecond.made, afterFirst.made);
            EXPECT_GT(afterSecond.reused, afterFirst.reused);
        }
        // The run's end gives everything back.
        EXPECT_EQ(largeJpegBlocks().kept, 0);
        EXPECT_EQ(largeJpegBlocks().live, before.live);
        // And the output decodes to the photo.
        const cv::Mat a = cv::imdecode(second, cv::IMREAD_UNCHANGED), b = cv::imdecode(expected, cv::IMREAD_UNCHANGED);
        ASSERT_FALSE(a.empty());
        EXPECT_EQ(cv::norm(a, b, cv::NORM_INF), 0.0);
    }
}

TEST(LargeBlockReuse, NothingIsKeptOutsideARunOrPastItsLimit) {
    const std::vector<unsigned char> source = makeSourceBytes(recipe(2400, 1600, {{2, 2}, {1, 1}, {1, 1}}), 3);
    struct Case {
        const char* name;
        bool reuse;
        std::uint64_t limit;
        bool kept;
    };
    const std::vector<Case> cases = {
        {"no run", false, 0, false},
        // The luma array alone is about 12 MB.
        {"a limit below every block", true, 1 << 20, false},
        {"a limit that holds them", true, std::uint64_t{1} << 30, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<LargeBlockReuse> reuse;
        if (c.reuse) reuse.emplace(c.limit);
        rewriteThroughLibrary(source);
        EXPECT_EQ(largeJpegBlocks().kept > 0, c.kept);
        EXPECT_LE(largeJpegBlocks().keptBytes, c.reuse ? c.limit : 0);
        // Nested in a run, a second changes nothing and ends nothing.
        if (c.reuse) {
            const long kept = largeJpegBlocks().kept;
            { LargeBlockReuse nested(std::uint64_t{1} << 40); }
            EXPECT_EQ(largeJpegBlocks().kept, kept);
        }
    }
    EXPECT_EQ(largeJpegBlocks().kept, 0);
}

}  // namespace
}  // namespace speckmend
