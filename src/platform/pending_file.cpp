// Pending output files, their registry and the interrupt watcher, on POSIX.
//
// The registry is guarded by one mutex, held while a temporary file is
// created, renamed or removed. The watcher takes that mutex and never gives
// it back: once it has removed the listed files no other thread can create
// or rename one before the process ends, so no temporary file outlives it
// and no rename is cut in half. The registry is never destroyed, so a signal
// during the process's own teardown still finds it.
#include "platform/pending_file.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

namespace speckmend {
namespace {

struct Registry {
    std::mutex mutex;
    std::set<std::string> paths;
};

Registry& registry() {
    static Registry* const instance = new Registry;
    return *instance;
}

std::atomic<unsigned long> g_sequence{0};

// The folder part of the final path, with its separator ("" for a bare name).
std::string folderPrefix(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The extension of the final name, kept so that writers which pick the
// format from the name write the same format to the temporary file.
std::string extensionOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot <= base) return {};
    return path.substr(dot);
}

bool isRegularFile(const std::string& path) {
    struct stat s {};
    return lstat(path.c_str(), &s) == 0 && S_ISREG(s.st_mode);
}

}  // namespace

PendingFile::PendingFile(std::string finalPath) : finalPath_(std::move(finalPath)) {
    const std::string prefix = folderPrefix(finalPath_) + ".speckmend-" + std::to_string(getpid()) + "-";
    const std::string extension = extensionOf(finalPath_);
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    // A name taken by someone else's file (left by another program, say) is
    // passed over, never opened.
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = prefix + std::to_string(g_sequence.fetch_add(1)) + extension;
        const int fd = open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            close(fd);
            r.paths.insert(candidate);
            path_ = std::move(candidate);
            return;
        }
        if (errno != EEXIST) {
            error_ = errno;
            return;
        }
    }
    error_ = EEXIST;
}

PendingFile::~PendingFile() {
    if (path_.empty()) return;
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    // Only the file we made: a writer may have replaced it by something else.
    if (isRegularFile(path_)) unlink(path_.c_str());
    r.paths.erase(path_);
}

bool PendingFile::commit() {
    if (path_.empty()) return false;
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    const bool renamed = std::rename(path_.c_str(), finalPath_.c_str()) == 0;
    error_ = renamed ? 0 : errno;
    if (!renamed && isRegularFile(path_)) unlink(path_.c_str());
    r.paths.erase(path_);
    path_.clear();
    return renamed;
}

bool PendingFile::mayReplace(const std::string& path) {
    struct stat s {};
    if (stat(path.c_str(), &s) != 0) return errno == ENOENT;
    return S_ISREG(s.st_mode) && access(path.c_str(), W_OK) == 0;
}

bool writeFileAtomically(const std::string& path, const std::function<bool(const std::string&)>& writer) {
    PendingFile file(path);
    if (!file.valid()) return false;
    return writer(file.path()) && file.commit();
}

bool writeFileAtomically(const std::string& path, const void* data, std::size_t size, std::string* whyNot) {
    auto fail = [whyNot](int error) {
        if (whyNot) *whyNot = std::strerror(error);
        return false;
    };
    PendingFile file(path);
    if (!file.valid()) return fail(file.error());
    const int fd = open(file.path().c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) return fail(errno);
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::size_t done = 0;
    while (done < size) {
        // Past the file size limit (with SIGXFSZ ignored) or on a full disk
        // the first write comes short and the next one fails with the reason.
        const ssize_t n = write(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int error = errno;
            close(fd);
            return fail(error);
        }
        done += static_cast<std::size_t>(n);
    }
    // Some file systems report a failed write only at the close.
    if (close(fd) != 0) return fail(errno);
    if (!file.commit()) return fail(file.error());
    return true;
}

std::size_t pendingFileCount() {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.paths.size();
}

namespace {

std::thread g_watcher;
sigset_t g_savedMask;

int wakeSignal() { return SIGRTMIN + 2; }

sigset_t watchedSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGINT, SIGTERM, SIGHUP, wakeSignal()}) sigaddset(&set, s);
    return set;
}

[[noreturn]] void removePendingFilesAndDie(int signo) {
    Registry& r = registry();
    r.mutex.lock();  // kept until the end of the process, see the file comment
    for (const std::string& path : r.paths)
        if (isRegularFile(path)) unlink(path.c_str());
    std::fflush(stdout);
    signal(signo, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signo);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(signo);
    _exit(128 + signo);
}

void watch(sigset_t set) {
    for (;;) {
        int signo = 0;
        if (sigwait(&set, &signo) != 0) continue;
        if (signo == wakeSignal()) return;
        removePendingFilesAndDie(signo);
    }
}

}  // namespace

InterruptCleanup::InterruptCleanup() {
    const sigset_t set = watchedSignals();
    pthread_sigmask(SIG_BLOCK, &set, &g_savedMask);
    g_watcher = std::thread(watch, set);
}

InterruptCleanup::~InterruptCleanup() {
    pthread_kill(g_watcher.native_handle(), wakeSignal());
    g_watcher.join();
    pthread_sigmask(SIG_SETMASK, &g_savedMask, nullptr);
}

}  // namespace speckmend
