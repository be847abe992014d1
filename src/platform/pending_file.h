// Output files that appear whole or not at all.
//
// A PendingFile is a fresh file under a name of its own in the folder of the
// final path (unique to the process and to each file, created exclusively so
// that it never takes over a file that is already there). It is written by
// name, then commit() renames it over the final path in one step. Until then
// it is listed in a process-wide registry; one that is not committed is
// removed when the object goes, and every listed one is removed when the
// process is ended by SIGINT, SIGTERM or SIGHUP inside an InterruptCleanup
// scope. Nothing but these files is ever removed.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace speckmend {

class PendingFile {
public:
    // Creates the temporary file beside finalPath; valid() says whether that
    // worked (an unwritable or missing folder does not).
    explicit PendingFile(std::string finalPath);
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;
    ~PendingFile();

    bool valid() const { return !path_.empty(); }
    // The system's error number when the file could not be created (valid()
    // false) or the last commit() failed; 0 otherwise.
    int error() const { return error_; }
    // The temporary file's own path, to be written by name.
    const std::string& path() const { return path_; }
    const std::string& finalPath() const { return finalPath_; }

    // Renames the temporary file over the final path. False (and the
    // temporary file removed) when that fails, e.g. when the final path is a
    // folder. Called at most once.
    bool commit();

    // Whether an output at `path` may take the place of what is there, as
    // writing the file in place could: nothing, or a regular file (or a link
    // to one) that we may write. A folder or a read-only file is refused
    // rather than replaced by the rename.
    static bool mayReplace(const std::string& path);

private:
    std::string finalPath_;
    std::string path_;
    int error_ = 0;
};

// Writes the bytes as the whole content of path through a PendingFile, with
// every write and the close checked: the file at path is then either the
// complete new content or untouched. On failure `whyNot`, when given, is the
// system's message for the step that failed (a full disk, a read-only
// folder, the file size limit).
bool writeFileAtomically(const std::string& path, const void* data, std::size_t size, std::string* whyNot = nullptr);

// The same for a writer that writes a file by name; it gets the temporary
// path and returns whether it wrote the file whole.
bool writeFileAtomically(const std::string& path, const std::function<bool(const std::string&)>& writer);

// Temporary files currently listed in the registry (for tests).
std::size_t pendingFileCount();

// While an InterruptCleanup lives, SIGINT, SIGTERM and SIGHUP are taken by a
// watcher thread, which removes every pending temporary file and then ends
// the process with the signal's own default action (so the shell sees the
// usual 128 + signal status). Construct it on the main thread before any
// other thread is started: threads inherit the blocked signals. Its end
// restores the signal mask; a signal that came meanwhile then acts at once.
class [[nodiscard]] InterruptCleanup {
public:
    InterruptCleanup();
    InterruptCleanup(const InterruptCleanup&) = delete;
    InterruptCleanup& operator=(const InterruptCleanup&) = delete;
    ~InterruptCleanup();
};

}  // namespace speckmend
