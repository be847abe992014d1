// The healing run: folder walk, workers, and the ordered writing of files
// and status lines.
#include "heal/flow/heal_run.h"

#include <sys/stat.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <utility>

#include "platform/directory.h"
#include "platform/fatal_error.h"
#include "platform/file_system.h"
#include "platform/image_header.h"
#include "platform/pending_file.h"
#include "platform/standard_streams.h"
#include "platform/system_memory.h"

namespace speckmend {
namespace {

// The folder part of a path prefix such as outdir: everything before its
// last separator ("out/" gives "out", "out" gives nothing).
std::string folderOf(const std::string& prefix) {
    const std::size_t slash = prefix.rfind('/');
    if (slash == std::string::npos || slash == 0) return {};
    return prefix.substr(0, slash);
}

using FileIdentity = std::pair<dev_t, ino_t>;

std::optional<FileIdentity> identityOf(const std::string& path, std::uint64_t* size = nullptr) {
    struct stat s {};
    if (stat(path.c_str(), &s) != 0) return std::nullopt;
    if (size != nullptr && S_ISREG(s.st_mode)) *size = static_cast<std::uint64_t>(s.st_size);
    return FileIdentity{s.st_dev, s.st_ino};
}

// Bytes read from the start of a photo to learn what its pixels take.
constexpr std::size_t kHeaderBytes = 4096;

// What healing one photo may hold at its peak, estimated before it is read:
// the file and the output made of it, and the buffers of the map's size (the
// decoded pixels or the coefficient arrays, the repaired copy, the decode
// for a difference image), each as large as a pixel of the photo takes:
// pixelBytes from its header, at least an 8-bit colour pixel's 3 (a JPEG's
// coefficients take about that). A photo of another size is refused from
// its header and holds little more than its file.
std::uint64_t photoCost(std::uint64_t fileSize, int pixelBytes, const HealSettings& settings) {
    const auto pixels = static_cast<std::uint64_t>(std::max(settings.map.width, 0)) *
                        static_cast<std::uint64_t>(std::max(settings.map.height, 0));
    const auto buffers = static_cast<std::uint64_t>(settings.diffimages != 0 ? 3 : 2);
    // One more byte per buffer and pixel: the work images of the inpainting
    // and the coders.
    return 2 * fileSize + pixels * buffers * (static_cast<std::uint64_t>(std::max(pixelBytes, 3)) + 1);
}

// The run's input files, which it must never write, and what healing each
// is reckoned to hold.
struct Inputs {
    std::set<FileIdentity> files;
    std::vector<std::uint64_t> costs;  // by listing index
};

Inputs surveyInputs(const std::vector<std::string>& names, const std::string& folder, const HealSettings& settings) {
    Inputs inputs;
    for (const std::string& name : names) {
        std::uint64_t size = 0;
        if (auto id = identityOf(folder + name, &size)) inputs.files.insert(*id);
        // Only a regular file is read (readFileStart), and only its start.
        const std::optional<int> pixelBytes =
            size > 0 ? pixelBytesFromHeader(readFileStart(folder + name, kHeaderBytes)) : std::nullopt;
        inputs.costs.push_back(photoCost(size, pixelBytes.value_or(3), settings));
    }
    return inputs;
}

// Photos handed out to the workers and their results, collected in listing
// order. The window keeps at most `limit` photos between being taken and
// being written, and no more of them than their costs fit into the budget
// (one is always let through, however large).
class Pipeline {
public:
    Pipeline(const std::vector<std::string>& names, std::vector<std::uint64_t> costs, std::size_t limit,
             std::uint64_t budget)
        : names_(names), results_(names.size()), costs_(std::move(costs)), limit_(limit), budget_(budget) {}

    // A worker's next photo, or nothing when all are taken or the run stops.
    std::optional<std::size_t> take() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] {
            return stopped_ || next_ >= names_.size() ||
                   (next_ < written_ + limit_ && (next_ == written_ || held_ + costs_[next_] <= budget_));
        });
        if (stopped_ || next_ >= names_.size()) return std::nullopt;
        held_ += costs_[next_];
        return next_++;
    }

    void deliver(std::size_t index, HealedPhoto photo, std::exception_ptr error) {
        std::lock_guard<std::mutex> lock(mutex_);
        results_[index].emplace(Slot{std::move(photo), std::move(error)});
        changed_.notify_all();
    }

    // The result for the photo at index, in order; frees its place in the
    // window. Rethrows what the worker threw for it.
    HealedPhoto collect(std::size_t index) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return results_[index].has_value(); });
        Slot slot = std::move(*results_[index]);
        results_[index].reset();
        written_ = index + 1;
        held_ -= costs_[index];
        changed_.notify_all();
        if (slot.error) std::rethrow_exception(slot.error);
        return std::move(slot.photo);
    }

    void stop() {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
        changed_.notify_all();
    }

private:
    struct Slot {
        HealedPhoto photo;
        std::exception_ptr error;
    };
    const std::vector<std::string>& names_;
    std::vector<std::optional<Slot>> results_;
    const std::vector<std::uint64_t> costs_;
    const std::size_t limit_;
    const std::uint64_t budget_;
    std::uint64_t held_ = 0;  // the costs of the photos taken and not yet collected
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t next_ = 0;
    std::size_t written_ = 0;
    bool stopped_ = false;
};

// Stops and joins the workers on every way out of the run, so that none is
// left healing (or holding pending files) once run() has returned or thrown.
class Workers {
public:
    explicit Workers(Pipeline& pipeline) : pipeline_(pipeline) {}
    ~Workers() {
        pipeline_.stop();
        for (std::thread& t : threads_) t.join();
    }
    void start(std::thread thread) { threads_.push_back(std::move(thread)); }

private:
    Pipeline& pipeline_;
    std::vector<std::thread> threads_;
};

}  // namespace

HealRun::HealRun(const HealSettings& settings, MakeHealer makeHealer, unsigned workers, std::uint64_t memoryBudget)
    : settings_(settings), makeHealer_(std::move(makeHealer)), workers_(workers), memoryBudget_(memoryBudget) {
    if (workers_ == 0) workers_ = std::max(1u, std::thread::hardware_concurrency());
    // Half the machine: the rest is the system's, the page cache's and that
    // of any other program running beside this one.
    if (memoryBudget_ == 0) memoryBudget_ = usableMemory() / 2;
}

std::size_t HealRun::run() {
    // A relative indir is pinned to the folder the program started in before
    // the program moves into it; otherwise it would apply a second time to
    // every input path. A relative outdir then resolves against indir.
    const std::string inputFolder = resolvePath(currentDirectory(), settings_.indir);
    const std::string& outputFolder = settings_.outdir;
    if (!changeDirectory(inputFolder)) throw FatalError("cannot open first file in " + settings_.indir, false);
    const std::vector<std::string> names = listDirectory(settings_.filter);
    if (names.empty()) throw FatalError("cannot open first file in " + settings_.indir, false);

    const std::string outputParent = folderOf(outputFolder);
    if (!outputParent.empty()) makeDirectories(outputParent);

    Inputs inputs = surveyInputs(names, inputFolder, settings_);

    // With one photo, or one worker, the photos are healed on this thread:
    // a worker would only add its start-up and a malloc arena of its own,
    // which hands freed memory back to the system after every window.
    const unsigned workerCount = static_cast<unsigned>(std::min<std::size_t>(workers_, names.size()));
    const bool onThisThread = workerCount <= 1;
    std::unique_ptr<PhotoHealer> own;
    if (onThisThread) own = makeHealer_(inputFolder, outputFolder);
    Pipeline pipeline(names, std::move(inputs.costs), workerCount + 1, memoryBudget_);
    Workers workers(pipeline);
    for (unsigned w = 0; !onThisThread && w < workerCount; ++w) {
        workers.start(std::thread([&, inputFolder] {
            const std::unique_ptr<PhotoHealer> healer = makeHealer_(inputFolder, outputFolder);
            while (const std::optional<std::size_t> index = pipeline.take()) {
                HealedPhoto photo;
                std::exception_ptr error;
                try {
                    photo = healer->heal(names[*index]);
                } catch (...) {
                    error = std::current_exception();
                }
                pipeline.deliver(*index, std::move(photo), std::move(error));
            }
        }));
    }

    std::map<std::string, std::string> writtenBy;  // output path -> the entry that wrote it
    std::size_t failed = 0;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        HealedPhoto photo = onThisThread ? own->heal(name) : pipeline.collect(i);
        if (!photo.diagnostic.empty()) std::fputs(notHealedLine(name, photo.diagnostic).c_str(), stdout);
        for (const std::string& note : photo.notes) std::fputs(note.c_str(), stdout);
        FileStatus status = photo.status;
        for (const HealedPhoto::File& file : photo.files) {
            if (const auto earlier = writtenBy.find(file.path); earlier != writtenBy.end()) {
                std::printf("%s not written: its output %s is already the output of %s\n", name.c_str(),
                            file.path.c_str(), earlier->second.c_str());
                status = FileStatus::cannotWrite;
                break;
            }
            if (const auto id = identityOf(file.path); id && inputs.files.count(*id)) {
                std::printf("%s not written: its output %s would replace an input photo\n", name.c_str(),
                            file.path.c_str());
                status = FileStatus::cannotWrite;
                break;
            }
            if (std::string why; !writeFileAtomically(file.path, file.bytes.data(), file.bytes.size(), &why)) {
                std::fputs(notWrittenLine(name, file.path, why).c_str(), stdout);
                status = FileStatus::cannotWrite;
                break;
            }
            writtenBy.emplace(file.path, name);
        }
        switch (status) {
        case FileStatus::cannotLoad:
        case FileStatus::cannotWrite: std::printf("%s error:I/O!\n", name.c_str()); break;
        case FileStatus::badDimension: std::printf("%s error:bad dimension!\n", name.c_str()); break;
        case FileStatus::processed: std::printf("%s processed.\n", name.c_str()); break;
        }
        if (status != FileStatus::processed && !isDirectory(name)) ++failed;
        if (!consoleIntact()) throw ConsoleClosed();
    }
    return failed;
}

}  // namespace speckmend
