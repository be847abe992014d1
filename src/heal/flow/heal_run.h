// The healing run over the input folder, with the photos healed in parallel.
//
// Workers (one per core) each own a PhotoHealer (in the program a Healer,
// healer.h) and heal photos in memory; the run's own thread writes their
// files and prints their lines strictly in listing order, so that files and
// console are those of a run that takes one photo after the other. At most
// workers + 1 photos are in flight (being healed or waiting to be written),
// and no more than fit into a memory budget by what each may hold (its file
// and buffers of the map's size; one is always let through). A run of one
// photo, or with one worker, heals on the run's own thread.
//
// Before a photo's files are written the run refuses two things, each with a
// line before the photo's "error:I/O!" status line:
//   "<name> not written: its output <path> is already the output of <earlier name>\n"
//     an output name that an earlier photo of the same run has written (X.JPG
//     and X.jpg both giving X.jpg; the first one written keeps it);
//   "<name> not written: its output <path> would replace an input photo\n"
//     an output path that is one of the run's own input files.
// A photo that failed otherwise gets the line that says why, in the same
// place (healed_photo.h): "<name> not healed: <reason>\n" for a photo that
// could not be loaded, "<name> not written: its output <path> could not be
// written: <reason>\n" for a write that failed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "config/settings.h"
#include "heal/flow/healed_photo.h"

namespace speckmend {

// What the run asks of the per-file pipeline: photos healed in memory, one
// at a time, nothing written or printed. Each worker has one of its own.
class PhotoHealer {
public:
    virtual ~PhotoHealer() = default;
    virtual HealedPhoto heal(const std::string& fileName) = 0;
};

class HealRun {
public:
    // Makes a worker's healer, reading inputs from inputFolder (indir as the
    // run resolved it) and writing under outputFolder (outdir).
    using MakeHealer =
        std::function<std::unique_ptr<PhotoHealer>(const std::string& inputFolder, const std::string& outputFolder)>;

    // workers 0: one per core; memoryBudget 0: half the machine's memory
    // (usableMemory). The settings must outlive the run.
    HealRun(const HealSettings& settings, MakeHealer makeHealer, unsigned workers = 0, std::uint64_t memoryBudget = 0);

    // Makes indir the current directory (a relative indir is taken from the
    // folder the program started in; a relative outdir then resolves against
    // indir), lists the entries matching the filter and heals each. Throws
    // FatalError when the folder cannot be entered or nothing in it matches,
    // ConsoleClosed when a status line cannot be written (the photos after it
    // are then not written). Leaves the current directory at indir.
    // Returns how many files failed: got a status line other than
    // "processed.". Folders the filter lists (".", ".." among them) are
    // entries, not photos, and do not count.
    std::size_t run();

private:
    const HealSettings& settings_;
    MakeHealer makeHealer_;
    unsigned workers_;
    std::uint64_t memoryBudget_;
};

}  // namespace speckmend
