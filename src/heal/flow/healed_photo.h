// What healing one photo in memory gives: its status and the bytes of its
// output files, handed from the per-file pipeline (healer.h) to the run
// that writes them and prints the photo's lines (heal_run.h).
#pragma once

#include <string>
#include <vector>

namespace speckmend {

// What became of one photo; the run prints one status line for each.
enum class FileStatus {
    cannotWrite = -2,  // an output could not be made or written: "error:I/O!"
    cannotLoad = -1,   // not loadable: "error:I/O!"
    badDimension = 0,  // another size than the map's: "error:bad dimension!"
    processed = 1,     // every output written: "processed."
};

struct HealedPhoto {
    struct File {
        std::string path;  // outdir + name
        std::vector<unsigned char> bytes;
    };
    FileStatus status = FileStatus::processed;
    // In writing order: the repaired photo, then its difference image. A
    // photo whose repair could not be encoded is cannotWrite with no files.
    std::vector<File> files;
    // Lines about this photo printed before its status line, each ending in
    // a line break.
    std::vector<std::string> notes;
    // Why the JPEG library refused the file, for standard error; may be empty.
    std::string diagnostic;
};

}  // namespace speckmend
