// The library's large blocks and their reuse; see large_blocks.h.
#include "heal/jpeg/large_blocks.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include <sys/mman.h>

namespace speckmend {

void* MappingPool::take(std::size_t length, std::size_t& granted) {
    std::lock_guard<std::mutex> lock(mutex_);
    // The shortest kept mapping that holds the request and wastes little.
    auto best = kept_.end();
    for (auto it = kept_.begin(); it != kept_.end(); ++it)
        if (it->length >= length && it->length - length <= length / kLargestWaste &&
            (best == kept_.end() || it->length < best->length))
            best = it;
    void* base = nullptr;
    if (best != kept_.end()) {
        base = best->base;
        granted = best->length;
        keptBytes_ -= best->length;
        kept_.erase(best);
        ++reused_;
    } else {
        makeRoom(length);
        base = map_(length, keeping_);
        if (base == nullptr) return nullptr;
        granted = length;
        ++made_;
    }
    ++live_;
    liveBytes_ += granted;
    if (keeping_) highWater_ = std::max(highWater_, liveBytes_);
    return base;
}

void MappingPool::makeRoom(std::size_t length) {
    if (kept_.empty()) return;
    // What may stay mapped: the most handed out at once so far, or what is
    // handed out once this request is served, if that is more.
    const std::uint64_t allowed = std::max(highWater_, liveBytes_ + length);
    std::sort(kept_.begin(), kept_.end(), [](const Mapping& a, const Mapping& b) { return a.length < b.length; });
    while (!kept_.empty() && liveBytes_ + keptBytes_ + length > allowed) {
        unmap_(kept_.back().base, kept_.back().length);
        keptBytes_ -= kept_.back().length;
        kept_.pop_back();
    }
}

void MappingPool::give(void* base, std::size_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    --live_;
    liveBytes_ -= length;
    if (keeping_ && keptBytes_ + length <= limit_) {
        kept_.push_back({base, length});
        keptBytes_ += length;
        return;
    }
    unmap_(base, length);
}

void MappingPool::startKeeping(std::uint64_t limit) {
    std::lock_guard<std::mutex> lock(mutex_);
    keeping_ = true;
    limit_ = limit;
    highWater_ = liveBytes_;
}

void MappingPool::stopKeeping() {
    std::lock_guard<std::mutex> lock(mutex_);
    keeping_ = false;
    for (const Mapping& mapping : kept_) unmap_(mapping.base, mapping.length);
    kept_.clear();
    keptBytes_ = 0;
    highWater_ = 0;
}

MappingPool::Counts MappingPool::counts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return {live_, static_cast<long>(kept_.size()), keptBytes_, made_, reused_};
}

namespace {

// Blocks of at least two huge pages get a mapping of their own, which
// starts the block on a huge page boundary, and which can be kept for reuse
// (malloc would map and unmap such blocks itself). A block read once asks
// for transparent huge pages: touching it then costs a fault per 2 MB
// instead of one per 4 KB. A block made for reuse does not: its faults are
// paid once per worker anyway, and on a virtual machine whose balloon
// reports free memory to the host a fresh huge page is often one the host
// took back and must supply again, so that four 24-megapixel photos on two
// workers took 0.02 to 0.52 s of system time at random, against a steady
// 0.10 to 0.13 s on 4 KB pages (taken from memory freed a moment before).
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kLargeMapping = 2 * kHugePage;
// In front of the block: what munmap needs. 64 bytes keep the block
// aligned for every use the library makes of it.
struct MappingHeader {
    void* base;
    std::size_t length;
};
constexpr std::size_t kHeaderRoom = 64;
static_assert(sizeof(MappingHeader) <= kHeaderRoom);

unsigned char* blockStart(void* base) {
    return reinterpret_cast<unsigned char*>((reinterpret_cast<std::uintptr_t>(base) + kHugePage - 1) &
                                            ~(kHugePage - 1));
}

void* mapLarge(std::size_t length, bool forReuse) {
    void* base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) return nullptr;
    if (!forReuse) {
        // A hint: without huge pages it is plain memory.
        unsigned char* start = blockStart(base);
        madvise(start, static_cast<std::size_t>(static_cast<unsigned char*>(base) + length - start), MADV_HUGEPAGE);
    }
    return base;
}

void unmapLarge(void* base, std::size_t length) { munmap(base, length); }

MappingPool& pool() {
    // Never destroyed: codecs of static objects may free blocks at exit.
    static MappingPool* const instance = new MappingPool(mapLarge, unmapLarge);
    return *instance;
}

std::mutex g_reuseMutex;
int g_reuseHolders = 0;

}  // namespace

LargeBlockReuse::LargeBlockReuse(std::uint64_t limit) {
    std::lock_guard<std::mutex> lock(g_reuseMutex);
    if (g_reuseHolders++ == 0) pool().startKeeping(limit);
}

LargeBlockReuse::~LargeBlockReuse() {
    std::lock_guard<std::mutex> lock(g_reuseMutex);
    if (--g_reuseHolders == 0) pool().stopKeeping();
}

MappingPool::Counts largeJpegBlocks() { return pool().counts(); }

long liveJpegMappings() { return pool().counts().live; }

void* allocateLargeJpegBlock(std::size_t size) {
    if (size < kLargeMapping) return std::malloc(size);
    std::size_t length = 0;
    void* base = pool().take(size + kHeaderRoom + kHugePage, length);
    if (base == nullptr) return nullptr;
    auto* header = reinterpret_cast<MappingHeader*>(blockStart(base));
    header->base = base;
    header->length = length;
    return reinterpret_cast<unsigned char*>(header) + kHeaderRoom;
}

void freeLargeJpegBlock(void* object, std::size_t size) {
    if (size < kLargeMapping) {
        std::free(object);
        return;
    }
    const auto* header = reinterpret_cast<const MappingHeader*>(static_cast<unsigned char*>(object) - kHeaderRoom);
    pool().give(header->base, header->length);
}

}  // namespace speckmend
