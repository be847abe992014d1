// The hot pixel map file: exact bytes written, failures reported, and what
// the reader accepts from a map.
#include "detect/hot_pixel_map.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <string>
#include <vector>

#include "app/fatal_error.h"
#include "config/xml_document.h"
#include "test_support.h"

namespace speckmend {
namespace {

using testing::readFile;
using testing::TempFolder;
using testing::writeFile;

struct Pix {
    std::int32_t x, y;
};

std::string writeMap(const std::string& path, std::int32_t width, std::int32_t height, const std::vector<Pix>& pixels,
                     const std::string& radius) {
    HotPixelMapWriter writer;
    writer.open(path);
    writer.writeSize(width, height);
    for (const Pix& p : pixels) writer.writePixel(p.x, p.y, radius);
    writer.finish();
    return readFile(path);
}

TEST(HotPixelMapWriter, WritesTheSevenPiecesByteForByte) {
    TempFolder folder;
    EXPECT_EQ(writeMap(folder / "map.xml", 4000, 3000, {{17, 5}, {2048, 1733}}, "3"),
              "<?xml version=\"1.0\"?>\n"
              "<hotpixels>\n"
              " <width>4000</width>\n"
              " <height>3000</height>\n"
              " <pix x=\"17\" y=\"5\" r=\"3\"/>\n"
              " <pix x=\"2048\" y=\"1733\" r=\"3\"/>\n"
              "</hotpixels>");
}

TEST(HotPixelMapWriter, RadiusTextStandsBetweenTheQuotes) {
    struct Row {
        const char* radius;
        const char* attribute;
    };
    const Row rows[] = {
        // written as configured
        {"3", "r=\"3\""},
        {"2.5", "r=\"2.5\""},
        {"0", "r=\"0\""},
        {"abc", "r=\"abc\""},
        {"", "r=\"\""},
        {"4'", "r=\"4'\""},
        // characters XML reserves inside a quoted attribute become entities
        {"2&3", "r=\"2&amp;3\""},
        {"<5>", "r=\"&lt;5&gt;\""},
        {"7\"", "r=\"7&quot;\""},
        {"&amp;", "r=\"&amp;amp;\""},
    };
    TempFolder folder;
    for (const Row& row : rows) {
        const std::string text = writeMap(folder / "map.xml", 1, 1, {{0, 0}}, row.radius);
        EXPECT_EQ(text.substr(text.find("<pix")), std::string("<pix x=\"0\" y=\"0\" ") + row.attribute +
                                                     "/>\n</hotpixels>")
            << "radius " << row.radius;
    }
}

TEST(HotPixelMapWriter, EmptyMapHasSizeLinesAndRootEndWithoutLineEnd) {
    TempFolder folder;
    EXPECT_EQ(writeMap(folder / "map.xml", 640, 480, {}, "3"),
              "<?xml version=\"1.0\"?>\n<hotpixels>\n <width>640</width>\n <height>480</height>\n</hotpixels>");
}

TEST(HotPixelMapWriter, TruncatesAnExistingFile) {
    TempFolder folder;
    writeFile(folder / "map.xml", std::string(10000, 'x'));
    EXPECT_EQ(writeMap(folder / "map.xml", 2, 3, {}, "3"),
              "<?xml version=\"1.0\"?>\n<hotpixels>\n <width>2</width>\n <height>3</height>\n</hotpixels>");
}

std::string fatalMessage(const std::function<void()>& action) {
    try {
        action();
    } catch (const FatalError& error) {
        EXPECT_FALSE(error.showUsage());
        return error.message();
    }
    return "(no FatalError)";
}

TEST(HotPixelMapWriter, OpenFailureIsFatalAndQuotesThePathAsGiven) {
    TempFolder folder;
    HotPixelMapWriter writer;
    EXPECT_EQ(fatalMessage([&] { writer.open(folder / "missing/sub/../map.xml"); }),
              "cannot write outfile [" + (folder / "missing/sub/../map.xml") + "]. Fix the problem and try again.");
    EXPECT_FALSE(writer.isOpen());
}

TEST(HotPixelMapWriter, FullDeviceIsFatalAtTheLatestWhenFinishing) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    HotPixelMapWriter writer;
    EXPECT_EQ(fatalMessage([&] {
                  writer.open("/dev/full");
                  writer.writeSize(10, 10);
                  writer.writePixel(1, 1, "3");
                  writer.finish();
              }),
              "cannot write outfile [/dev/full]. Fix the problem and try again.");
    EXPECT_FALSE(writer.isOpen());
}

// Runs in a child: a file size limit far below the map makes the writes fail
// part-way, as a full disk would.
int writeBeyondFileSizeLimit(const std::string& path) {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{200, 200};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 3;
    HotPixelMapWriter writer;
    try {
        writer.open(path);
        writer.writeSize(4000, 3000);
        for (int i = 0; i < 5000; ++i) writer.writePixel(i, i, "3");
        writer.finish();
    } catch (const FatalError& error) {
        return error.message() == "cannot write outfile [" + path + "]. Fix the problem and try again." ? 0 : 2;
    }
    return 1;
}

TEST(HotPixelMapWriter, WriteFailurePartWayIsFatal) {
    TempFolder folder;
    const std::string path = folder / "map.xml";
    EXPECT_EXIT(std::exit(writeBeyondFileSizeLimit(path)), ::testing::ExitedWithCode(0), "");
    // What was written before the failure stays.
    EXPECT_EQ(readFile(path).substr(0, 22), "<?xml version=\"1.0\"?>\n");
}

TEST(HotPixelMapWriter, UnfinishedFileIsClosedAsFarAsWritten) {
    TempFolder folder;
    {
        HotPixelMapWriter writer;
        writer.open(folder / "map.xml");
        writer.writeSize(1, 2);
    }
    EXPECT_EQ(readFile(folder / "map.xml"), "<?xml version=\"1.0\"?>\n<hotpixels>\n <width>1</width>\n <height>2</height>\n");
}

}  // namespace
}  // namespace speckmend
