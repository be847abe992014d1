// The JPEG library's large blocks (the coefficient arrays of a whole photo:
// about 100 MB for 24 megapixels): mappings of their own, and their reuse
// from one photo to the next while a run asks for it.
//
// The library calls jpeg_get_large and jpeg_free_large (its system-dependent
// allocator) through their exported symbols; the program defines both (in
// jpeg_codec.cpp, which every program with a codec links, so that none
// silently keeps the library's own) on the functions below, so every codec
// of the process, also the image reader's, gets its large blocks here.
// Without a LargeBlockReuse alive a freed mapping is unmapped at once. With
// one, it is kept and handed to the next request it fits, so a run of
// same-sized photos faults and clears its arrays' pages once per worker
// instead of once per photo: the kernel's clearing of fresh pages was most
// of the system time of a run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace speckmend {

// Which mapping serves which request, apart from the system calls (given
// as functions, so that the choices can be checked without them). Lengths
// are those of whole mappings. Invariant: the length mapped (handed out and
// kept) never exceeds the most that was handed out at once since keeping
// began, nor the kept part the limit; so keeping adds nothing to the peak a
// run of the same requests reaches without it. Thread-safe.
class MappingPool {
public:
    // nullptr when nothing can be had; forReuse: made while keeping, so
    // that it may serve many requests.
    using MapFunction = void* (*)(std::size_t length, bool forReuse);
    using UnmapFunction = void (*)(void* base, std::size_t length);

    MappingPool(MapFunction map, UnmapFunction unmap) : map_(map), unmap_(unmap) {}
    MappingPool(const MappingPool&) = delete;
    MappingPool& operator=(const MappingPool&) = delete;
    ~MappingPool() { stopKeeping(); }

    // A mapping of at least length bytes, kept or new; its own length (which
    // give needs) in granted. nullptr when a new one cannot be had.
    void* take(std::size_t length, std::size_t& granted);
    // Hands back what take gave: kept for reuse while keeping, else unmapped.
    void give(void* base, std::size_t length);

    // From now on freed mappings are kept, at most limit bytes of them.
    void startKeeping(std::uint64_t limit);
    // Unmaps everything kept and keeps nothing from now on.
    void stopKeeping();

    struct Counts {
        long live = 0;                // mappings handed out
        long kept = 0;                // mappings kept for reuse
        std::uint64_t keptBytes = 0;  // their length
        long made = 0;                // mappings made since the pool began
        long reused = 0;              // requests served by a kept mapping
    };
    Counts counts() const;

    // A kept mapping serves a request up to this much shorter than itself,
    // so that a small block does not tie up a large mapping.
    static constexpr std::size_t kLargestWaste = 4;  // a quarter of the request

private:
    struct Mapping {
        void* base;
        std::size_t length;
    };
    // Unmaps kept mappings, the largest first, until mapping `length` more
    // stays within the high-water mark.
    void makeRoom(std::size_t length);

    const MapFunction map_;
    const UnmapFunction unmap_;
    mutable std::mutex mutex_;
    std::vector<Mapping> kept_;
    bool keeping_ = false;
    std::uint64_t limit_ = 0;
    std::uint64_t liveBytes_ = 0, keptBytes_ = 0, highWater_ = 0;
    long live_ = 0, made_ = 0, reused_ = 0;
};

// While one lives, the large blocks the library frees are kept for reuse,
// at most limit bytes of them (a run passes its memory budget); when it
// ends, they are unmapped. For a run that heals many photos, one at a time
// per worker; nested ones change nothing (the first one's limit holds).
class LargeBlockReuse {
public:
    explicit LargeBlockReuse(std::uint64_t limit);
    ~LargeBlockReuse();
    LargeBlockReuse(const LargeBlockReuse&) = delete;
    LargeBlockReuse& operator=(const LargeBlockReuse&) = delete;
};

// The process's large blocks, for tests: live are those a codec holds (all
// given back when their codecs let them go), kept those waiting for reuse.
MappingPool::Counts largeJpegBlocks();

// The large blocks currently handed out to codecs.
long liveJpegMappings();

// The library's allocator for large objects (jmemsys.h), with its contract:
// nullptr when nothing can be had (the library then raises its
// out-of-memory error), and the free gets the size that was asked for. The
// library zeroes what it needs zeroed itself (its default is plain malloc),
// so a reused block may hold an earlier photo's coefficients.
void* allocateLargeJpegBlock(std::size_t size);
void freeLargeJpegBlock(void* object, std::size_t size);

}  // namespace speckmend
