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
    // Why the photo could not be loaded (the system's reason, the JPEG
    // library's message, damage the library warned of), for the line before
    // its status line; empty when there is nothing to add (a folder, a file
    // the image reader cannot decode).
    std::string diagnostic;
};

// The lines that say why a photo failed, each printed on standard output
// directly before its "error:I/O!" status line, where the status line and
// the run's other refusals are: one log of the run then tells what became of
// each photo and why, in order.
inline std::string notHealedLine(const std::string& name, const std::string& reason) {
    return name + " not healed: " + reason + "\n";
}
inline std::string notWrittenLine(const std::string& name, const std::string& path, const std::string& reason) {
    return name + " not written: its output " + path + " could not be written: " + reason + "\n";
}

}  // namespace speckmend
