// Reading and judging the photos of a folder on several threads.
#include "detect/photos/photo_survey.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>

#include <opencv2/imgproc.hpp>

#include "detect/run/frame_reader.h"

namespace speckmend {

PhotoSurvey::PhotoSurvey(const PhotoJudgementSettings& settings, int threads)
    : settings_(settings),
      threads_(threads > 0 ? threads : std::max(1, static_cast<int>(std::thread::hardware_concurrency()))) {}

// The first readable photo is read alone: it fixes what the others must be.
int PhotoSurvey::readFirstPhoto(const std::vector<std::string>& fileNames, const Report& report, cv::Mat& photo) {
    std::vector<unsigned char> bytes;
    for (std::size_t i = 0; i < fileNames.size(); ++i) {
        readFrame(fileNames[i], bytes, photo, true);
        if (photo.empty()) {
            report(fileNames[i], FrameResult::unreadable);
            continue;
        }
        counts_ = std::make_unique<EvidenceCounts>(photo.size());
        if (keepFirst_) {
            if (photo.channels() == 3) {
                cv::cvtColor(photo, first_, cv::COLOR_BGR2GRAY);
            } else {
                first_ = photo.clone();
            }
        }
        return static_cast<int>(i);
    }
    return -1;
}

FrameResult PhotoSurvey::addPhoto(const cv::Mat& photo, PhotoJudgement& judgement, cv::Size size, int type) {
    if (photo.empty()) return FrameResult::unreadable;
    if (photo.size() != size || photo.type() != type) return FrameResult::badDimension;
    judgePhoto(photo, settings_, judgement);
    counts_->add(judgement);
    return FrameResult::added;
}

namespace {

// What the readers hand to the calling thread, which reports in listing
// order: each photo's result in its slot, or the first failure; and what
// the calling thread hands to the readers once it has read the first
// photo. The readers start before that, on the guess that the first name
// is the first readable photo, and decode while it is read: they learn
// only then what their photos must be.
struct ReaderResults {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::optional<FrameResult>> results;
    std::exception_ptr failure;
    struct First {
        int index = -1;  // -1: no photo readable, or the run stopped
        cv::Size size;
        int type = 0;
    };
    std::optional<First> first;
};

// Photo i's result once a reader has it, beating the heartbeat while it
// waits; nothing once a reader has failed.
template <typename Heartbeat>
std::optional<FrameResult> awaitResult(ReaderResults& shared, std::size_t i, std::chrono::milliseconds interval,
                                       const Heartbeat& heartbeat) {
    for (;;) {
        std::optional<FrameResult> result;
        {
            std::unique_lock<std::mutex> lock(shared.mutex);
            shared.changed.wait_for(lock, interval, [&]() { return shared.results[i] || shared.failure; });
            if (shared.failure) return std::nullopt;
            result = shared.results[i];
        }
        if (result) return result;
        heartbeat();
    }
}

// Tells the readers where the first photo is (-1: nowhere, stop).
void publishFirst(ReaderResults& shared, int index, cv::Size size, int type) {
    const std::lock_guard<std::mutex> lock(shared.mutex);
    shared.first = ReaderResults::First{index, size, type};
    shared.changed.notify_all();
}

ReaderResults::First awaitFirst(ReaderResults& shared) {
    std::unique_lock<std::mutex> lock(shared.mutex);
    shared.changed.wait(lock, [&]() { return shared.first.has_value(); });
    return *shared.first;
}

// Reports the photos from `next` on in listing order as the readers give
// them, with a progress line every `interval`, also between photos that
// come in quickly: the line is a heartbeat. Gives how many were added;
// stops at a reader's failure.
std::int32_t reportInOrder(const std::vector<std::string>& fileNames, int next, ReaderResults& shared,
                           const std::atomic<int>& read, const EvidenceCounts& counts,
                           const PhotoSurvey::Report& report, const PhotoSurvey::Progress& progress,
                           std::chrono::milliseconds interval) {
    const int total = static_cast<int>(fileNames.size());
    std::int32_t added = 0;
    auto lastProgress = std::chrono::steady_clock::now();
    const auto heartbeat = [&]() {
        const auto now = std::chrono::steady_clock::now();
        if (now - lastProgress < interval) return;
        lastProgress = now;
        progress({read.load(), total, counts.candidates()});
    };
    for (int i = next; i < total; ++i) {
        const std::optional<FrameResult> result = awaitResult(shared, static_cast<std::size_t>(i), interval, heartbeat);
        if (!result) break;
        report(fileNames[static_cast<std::size_t>(i)], *result);
        if (*result == FrameResult::added) ++added;
        if (i + 1 < total) heartbeat();
    }
    return added;
}

}  // namespace

std::int32_t PhotoSurvey::survey(const std::vector<std::string>& fileNames, const Report& report,
                                 const Progress& progress, std::chrono::milliseconds interval) {
    const int total = static_cast<int>(fileNames.size());
    ReaderResults shared;
    shared.results.resize(static_cast<std::size_t>(total));
    std::atomic<int> claim(1);
    std::atomic<bool> stop(false);
    std::atomic<int> read(0);
    const auto work = [&]() {
        std::vector<unsigned char> buffer;
        cv::Mat frame;
        PhotoJudgement judgement;
        for (int i = claim++; i < total && !stop; i = claim++) {
            std::exception_ptr failure;
            try {
                readFrame(fileNames[static_cast<std::size_t>(i)], buffer, frame, true);
            } catch (...) {
                failure = std::current_exception();
            }
            const ReaderResults::First first = awaitFirst(shared);
            if (first.index < 0) return;
            // The calling thread read this one itself, or reported it.
            if (i <= first.index) continue;
            FrameResult result = FrameResult::added;
            try {
                if (failure) std::rethrow_exception(failure);
                result = addPhoto(frame, judgement, first.size, first.type);
            } catch (...) {
                const std::lock_guard<std::mutex> lock(shared.mutex);
                if (!shared.failure) shared.failure = std::current_exception();
                stop = true;
            }
            ++read;
            const std::lock_guard<std::mutex> lock(shared.mutex);
            shared.results[static_cast<std::size_t>(i)] = result;
            shared.changed.notify_all();
        }
    };
    std::vector<std::thread> workers;
    const auto joinAll = [&workers]() {
        for (std::thread& w : workers) {
            if (w.joinable()) w.join();
        }
    };
    // One reader less while the calling thread reads and judges the first
    // photo: no more photos are in memory at once than there are threads.
    const int workerCount = std::min(threads_, total - 1);
    std::int32_t added = 0;
    try {
        for (int t = 0; t < workerCount - 1; ++t) workers.emplace_back(work);
        cv::Mat photo;
        const int firstIndex = readFirstPhoto(fileNames, report, photo);
        read += firstIndex + 1;
        publishFirst(shared, firstIndex, photo.size(), photo.type());
        if (firstIndex < 0) {
            joinAll();
            return 0;
        }
        // The calling thread judges the first photo while the others read on.
        counts_->add(judgePhoto(photo, settings_));
        photo.release();
        if (workerCount > 0) workers.emplace_back(work);
        report(fileNames[static_cast<std::size_t>(firstIndex)], FrameResult::added);
        ++added;
        added += reportInOrder(fileNames, firstIndex + 1, shared, read, *counts_, report, progress, interval);
    } catch (...) {
        stop = true;
        publishFirst(shared, -1, cv::Size(), 0);
        joinAll();
        throw;
    }
    joinAll();
    if (shared.failure) std::rethrow_exception(shared.failure);
    return added;
}

}  // namespace speckmend
