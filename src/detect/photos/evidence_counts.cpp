// Counting the evidence of a folder.
#include "detect/photos/evidence_counts.h"

#include <stdexcept>

namespace speckmend {

EvidenceCounts::EvidenceCounts(cv::Size size)
    : judged_(cv::Mat::zeros(size, CV_16UC1)),
      bright_(cv::Mat::zeros(size, CV_16UC1)),
      strengthSum_(cv::Mat::zeros(size, CV_32FC1)) {}

void EvidenceCounts::add(const PhotoJudgement& judgement) {
    const cv::Size size = judged_.size();
    if (judgement.judged.size() != size || judgement.judged.type() != CV_8UC1) {
        throw std::invalid_argument("EvidenceCounts::add: a judgement of another size or type");
    }
    const cv::Rect frame(cv::Point(), size);
    for (const PhotoEvent& e : judgement.events) {
        if (!frame.contains(e.at)) throw std::invalid_argument("EvidenceCounts::add: an event outside the frame");
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    for (int y = 0; y < size.height; ++y) {
        const uchar* judged = judgement.judged.ptr<uchar>(y);
        std::uint16_t* judgedCount = judged_.ptr<std::uint16_t>(y);
        for (int x = 0; x < size.width; ++x) {
            judgedCount[x] =
                static_cast<std::uint16_t>(judgedCount[x] + ((judged[x] != 0) & (judgedCount[x] != 0xFFFF)));
        }
    }
    // A pixel stands out only where it could be judged; a count that
    // stopped keeps its bright photos among its judging ones.
    for (const PhotoEvent& e : judgement.events) {
        std::uint16_t& bright = bright_.at<std::uint16_t>(e.at);
        if (bright >= judged_.at<std::uint16_t>(e.at)) continue;
        ++bright;
        strengthSum_.at<float>(e.at) += static_cast<float>(e.strength);
    }
}

double EvidenceCounts::chanceRate() const {
    // Whole numbers, counted in integers so that the loop vectorises: the
    // totals (below 2^46 for the largest frame) are those the sum of doubles
    // gave exactly.
    std::uint64_t judgements = 0, lone = 0;
    for (int y = 0; y < judged_.rows; ++y) {
        const std::uint16_t* judged = judged_.ptr<std::uint16_t>(y);
        const std::uint16_t* bright = bright_.ptr<std::uint16_t>(y);
        std::uint64_t rowJudgements = 0;
        std::uint32_t rowLone = 0;
        for (int x = 0; x < judged_.cols; ++x) {
            rowJudgements += judged[x];
            rowLone += bright[x] == 1 ? 1u : 0u;
        }
        judgements += rowJudgements;
        lone += rowLone;
    }
    return judgements > 0 ? static_cast<double>(lone) / static_cast<double>(judgements) : 0.0;
}

std::int64_t EvidenceCounts::candidates() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::int64_t count = 0;
    for (int y = 0; y < judged_.rows; ++y) {
        const std::uint16_t* judged = judged_.ptr<std::uint16_t>(y);
        const std::uint16_t* bright = bright_.ptr<std::uint16_t>(y);
        for (int x = 0; x < judged_.cols; ++x) count += bright[x] >= 2 && 2 * bright[x] >= judged[x];
    }
    return count;
}

}  // namespace speckmend
