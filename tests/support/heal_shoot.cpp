// The heal-mode shoot shared by the end-to-end tests.
#include "heal_shoot.h"

#include <sys/stat.h>

#include "test_images.h"

namespace speckmend::testing {

HealShoot::HealShoot() { mkdir(indir.c_str(), 0755); }

void HealShoot::add(const std::string& name, const std::string& bytes) const { writeFile(indir + name, bytes); }

void HealShoot::writeFiles() const {
    std::string heal = "<filter>" + filter + "</filter><indir>" + indir + "</indir><outdir>" + outdir +
                       "</outdir><saveformat>" + saveformat + "</saveformat>";
    if (!range.empty()) heal += "<range>" + range + "</range>";
    if (!method.empty()) heal += "<method>" + method + "</method>";
    if (!diffimages.empty() || !mul.empty()) {
        heal += "<diffimages";
        if (!mul.empty()) heal += " mul=\"" + mul + "\"";
        heal += ">" + diffimages + "</diffimages>";
    }
    writeFile(root / "config.xml", "<config><heal>" + heal + "</heal></config>");
    if (!mapText.empty()) {
        writeFile(root / "hotpixels.xml", mapText);
        return;
    }
    std::string map = "<?xml version=\"1.0\"?>\n<hotpixels>\n <width>" + std::to_string(width) + "</width>\n <height>" +
                      std::to_string(height) + "</height>\n";
    for (const HotPixel& p : pixels)
        map += " <pix x=\"" + std::to_string(p.x) + "\" y=\"" + std::to_string(p.y) + "\" r=\"" + std::to_string(p.r) +
               "\"/>\n";
    writeFile(root / "hotpixels.xml", map + "</hotpixels>");
}

cv::Mat HealShoot::photo(unsigned seed, int channels) const {
    return withHotPixels(noisePhoto(width, height, channels, seed, 7, 2.0), pixels);
}

ProgramRun HealShoot::run(const std::string& workingFolder) const {
    writeFiles();
    return runSpeckmend({"heal", root / "config.xml", root / "hotpixels.xml"},
                        workingFolder.empty() ? root.path() : workingFolder);
}

cv::Mat withHotPixels(const cv::Mat& photo, const std::vector<HotPixel>& pixels) {
    cv::Mat burnt = photo.clone();
    for (const HotPixel& p : pixels) burnt(cv::Rect(p.x, p.y, 1, 1)).setTo(cv::Scalar::all(255));
    return burnt;
}

}  // namespace speckmend::testing
