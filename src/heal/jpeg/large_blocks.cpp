// The library's large blocks and their reuse; see large_blocks.h.
#include "heal/jpeg/large_blocks.h"

#include <algorithm>
#include <cstdio>  // before jpeglib.h, which needs FILE
#include <cstdlib>

#include <sys/mman.h>

#include <jpeglib.h>

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
        base = map_(length);
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

// Blocks of 4 MB or more get a mapping of their own, which can be kept for
// reuse; malloc would map and unmap such blocks itself. They do not ask for
// transparent huge pages: on a virtual machine whose balloon reports free
// memory to the host, a fresh huge page is often one the host took back and
// must supply again, and a 24-megapixel heal's system time then ranged from
// 0.01 to 0.26 s at random, against a steady 0.04 to 0.05 s on 4 KB pages
// (taken from memory freed a moment before). With the blocks reused, their
// faults are paid once per worker anyway.
constexpr std::size_t kLargeMapping = std::size_t{4} << 20;
// In front of the block: the length of its mapping, which give needs (a
// reused mapping may be longer than the block asked for). 64 bytes keep the
// block aligned for every use the library makes of it.
constexpr std::size_t kHeaderRoom = 64;
static_assert(sizeof(std::size_t) <= kHeaderRoom);

void* mapLarge(std::size_t length) {
    void* base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return base == MAP_FAILED ? nullptr : base;
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

}  // namespace speckmend

// Both keep the library's contract (jmemsys.h): NULL when nothing can be
// had (the library then raises its out-of-memory error), and
// jpeg_free_large gets the size it asked for. The library zeroes what it
// needs zeroed itself (its default is plain malloc), so a reused block may
// hold an earlier photo's coefficients.
extern "C" void* jpeg_get_large(j_common_ptr, std::size_t size) {
    using namespace speckmend;
    if (size < kLargeMapping) return std::malloc(size);
    std::size_t length = 0;
    void* base = pool().take(size + kHeaderRoom, length);
    if (base == nullptr) return nullptr;
    *static_cast<std::size_t*>(base) = length;
    return static_cast<unsigned char*>(base) + kHeaderRoom;
}

extern "C" void jpeg_free_large(j_common_ptr, void* object, std::size_t size) {
    using namespace speckmend;
    if (size < kLargeMapping) {
        std::free(object);
        return;
    }
    void* base = static_cast<unsigned char*>(object) - kHeaderRoom;
    pool().give(base, *static_cast<const std::size_t*>(base));
}
