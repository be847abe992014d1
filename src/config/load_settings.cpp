// loadSettings: the command line, the configuration keys and the map.
#include "config/load_settings.h"

#include <string>
#include <utility>

#include "config/hot_pixel_map.h"
#include "config/number_text.h"
#include "config/value_reader.h"
#include "platform/fatal_error.h"
#include "platform/file_system.h"
#include "regex/regex.h"

namespace speckmend {
namespace {

// The word is searched, not anchored, so a match must also span the whole
// word: "xdetect" and "healing" hold a match but are not mode words.
bool isModeWord(const std::string& word) {
    const regex::rpattern pattern("(heal|detect)", regex::ignore_case);
    regex::match_results results;
    const auto match = pattern.match(word, results);
    return match.matched && results.rstart(0) == 0 && results.rlength(0) == static_cast<std::ptrdiff_t>(word.size());
}

void lowercaseAscii(std::string& text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
}

// One key a line, in the order they are echoed: the two sections look alike
// but share no key, path or default, so they stay two plain lists.
void readDetectSection(const XmlDocument& document, DetectSettings& detect, bool required) {
    const std::string_view requiredDefault = required ? requiredMarker : std::string_view();
    detect.filter = readText(document, "/config/detect/filter[1]", "*.jpg");
    detect.indir = readText(document, "/config/detect/indir[1]", requiredDefault);
    detect.outfile = readText(document, "/config/detect/outfile[1]", requiredDefault);
    // The default text reads as 0, which would stop the histogram walk in its
    // first bin; a missing amount means the documented 0.999 instead.
    detect.amount = readReal(document, "/config/detect/amount[1]", "0,999", 0.999);
    detect.channels = readInt(document, "/config/detect/channels[1]", "32");
    detect.hprad = readText(document, "/config/detect/hprad[1]", "3");
    detect.outimage = readText(document, "/config/detect/outimage[1]", "");
    detect.dxtext = readInt(document, "/config/detect/outimage[1]/@dxtext", "-50");
    detect.dytext = readInt(document, "/config/detect/outimage[1]/@dytext", "-10");
}

void readHealSection(const XmlDocument& document, HealSettings& heal, bool required) {
    const std::string_view requiredDefault = required ? requiredMarker : std::string_view();
    heal.filter = readText(document, "/config/heal/filter[1]", "*.jpg");
    heal.indir = readText(document, "/config/heal/indir[1]", requiredDefault);
    heal.outdir = readText(document, "/config/heal/outdir[1]", requiredDefault);
    heal.saveformat = readText(document, "/config/heal/saveformat[1]", "jpg");
    heal.range = readReal(document, "/config/heal/range[1]", "3,0");
    heal.method = readInt(document, "/config/heal/method[1]", "1");
    heal.diffimages = readInt(document, "/config/heal/diffimages[1]", "0");
    heal.mul = readReal(document, "/config/heal/diffimages[1]/@mul", "60,0");
}

// The detector's keys and the check sheet: optional, so only those present
// are echoed. Their values are checked in detect mode only, the one that
// uses them.
void readDetectorAndSheetKeys(const XmlDocument& document, DetectSettings& detect, bool checked) {
    if (const auto text = readOptionalText(document, "/config/detect/detector[1]")) {
        if (*text == "histogram") {
            detect.detector = DetectorKind::histogram;
        } else if (*text == "local") {
            detect.detector = DetectorKind::local;
        } else if (*text == "photos") {
            detect.detector = DetectorKind::photos;
        } else if (checked) {
            throw FatalError("detector [" + *text + "] is unknown, it must be histogram, local or photos.", false);
        }
    }
    if (const auto text = readOptionalText(document, "/config/detect/noise[1]")) {
        detect.noise = leadingReal(*text);
        if (checked && !(detect.noise > 0.0)) throw FatalError("noise must be above 0.", false);
    }
    if (const auto text = readOptionalText(document, "/config/detect/floor[1]")) {
        detect.floor = leadingReal(*text);
        if (checked && !(detect.floor >= 0.0)) throw FatalError("floor must not be below 0.", false);
    }
    if (const auto text = readOptionalText(document, "/config/detect/window[1]")) {
        detect.window = leadingInt(*text);
        if (checked && (detect.window < 4 || detect.window > 4096)) {
            throw FatalError("window must be between 4 and 4096.", false);
        }
    }
    if (const auto text = readOptionalText(document, "/config/detect/sheet[1]")) detect.sheet = *text;
}

// More histogram bins than a frame has grey levels (65536 for a 16-bit
// frame) tell nothing more and only cost memory, gigabytes for a count near
// the integers' end.
constexpr std::int32_t kMaxChannels = 65536;

void checkChannels(const DetectSettings& detect) {
    if (detect.detector == DetectorKind::histogram && detect.channels > kMaxChannels) {
        throw FatalError("channels must not be above 65536, the number of grey levels a frame can hold.", false);
    }
}

// The healing run enters indir and writes to outdir from there, so a
// relative outdir is taken against indir. Besides the same text, any
// spelling of the same folder (a link, "./", "x/..", or an empty outdir,
// which puts the output names inside indir) is refused: healing would
// otherwise overwrite its own input. A folder that does not exist yet cannot
// be the input folder.
bool sameFolder(const std::string& indir, const std::string& outdir) {
    return indir == outdir || isSameFolder(indir, resolvePath(indir, outdir));
}

// File names are appended to the heal folders. One that names an existing
// folder without its trailing separator would glue them to the folder's name
// ("photosIMG_1.jpg"); it is taken as that folder. Any other text keeps its
// meaning as a prefix of the names. `base` is what a relative path is taken
// against: the current folder for indir, indir for outdir.
std::string asFolder(const std::string& text, const std::string& base) {
    if (text.empty() || text.back() == '/' || !isDirectory(resolvePath(base, text))) return text;
    return text + "/";
}

}  // namespace

void loadSettings(Settings& settings, int argc, char** argv) {
    if (argc < 2) throw FatalError("", true);
    std::string word = argv[1];
    if (!isModeWord(word)) {
        throw FatalError("MODE is invalid, must be one of the strings of heal or detect.\n", true);
    }
    lowercaseAscii(word);
    const bool heal = word == "heal";
    settings.mode = heal ? Mode::heal : Mode::detect;

    const std::string configPath = argc > 2 ? argv[2] : "config.xml";
    if (!settings.document.load(configPath)) {
        throw FatalError("configfile does not exist or not valid. Correct and try again.\n", true,
                         settings.document.problem());
    }
    const std::string mapPath = argc > 3 ? argv[3] : "hotpixels.xml";

    readDetectSection(settings.document, settings.detect, !heal);
    readHealSection(settings.document, settings.heal, heal);
    readDetectorAndSheetKeys(settings.document, settings.detect, !heal);
    if (!heal) {
        checkChannels(settings.detect);
        return;
    }

    // The map replaces the configuration document; it is streamed, so what
    // it costs follows its entries rather than a tree of the whole file.
    settings.document = XmlDocument();
    HotPixelMapFile map;
    std::string problem;
    if (!readHotPixelMapFile(mapPath, map, problem)) {
        throw FatalError("hotfixelfile [" + mapPath + "] does not exist or not valid. Correct and try again.\n", true,
                         problem);
    }
    HealSettings& healSettings = settings.heal;
    if (sameFolder(healSettings.indir, healSettings.outdir)) {
        throw FatalError("indir and outdir may not be equals.\n", true);
    }
    healSettings.indir = asFolder(healSettings.indir, "");
    healSettings.outdir = asFolder(healSettings.outdir, healSettings.indir);
    loadHotPixelMap(std::move(map), healSettings.map);
}

}  // namespace speckmend
