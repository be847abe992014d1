// The hot pixel map file: exact bytes written, failures reported, and what
// the reader accepts from a map.
#include "config/hot_pixel_map.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <exception>
#include <filesystem>
#include <iterator>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "config/value_reader.h"
#include "config/xml_document.h"
#include "platform/fatal_error.h"
#include "platform/pending_file.h"
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
        EXPECT_EQ(text.substr(text.find("<pix")),
                  std::string("<pix x=\"0\" y=\"0\" ") + row.attribute + "/>\n</hotpixels>")
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

// A map is whole or absent: a failure part-way or a writer that never
// finishes leaves what was at the path as it was, and no temporary file.
TEST(HotPixelMapWriter, WriteFailurePartWayIsFatalAndKeepsTheOldMap) {
    TempFolder folder;
    const std::string path = folder / "map.xml";
    writeFile(path, "old map");
    EXPECT_EXIT(std::exit(writeBeyondFileSizeLimit(path)), ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(readFile(path), "old map");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), {}), 1);
}

TEST(HotPixelMapWriter, UnfinishedFileLeavesThePathAsItWas) {
    TempFolder folder;
    writeFile(folder / "old.xml", "old map");
    for (const char* name : {"old.xml", "new.xml"}) {
        {
            HotPixelMapWriter writer;
            writer.open(folder / name);
            writer.writeSize(1, 2);
        }
        EXPECT_EQ(pendingFileCount(), 0u);
    }
    EXPECT_EQ(readFile(folder / "old.xml"), "old map");
    EXPECT_FALSE(std::filesystem::exists(folder / "new.xml"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), {}), 1);
}

TEST(HotPixelMapWriter, PathThatCannotBeWrittenInPlaceIsFatalAtOpen) {
    TempFolder folder;
    std::filesystem::create_directory(folder / "folder.xml");
    HotPixelMapWriter writer;
    EXPECT_EQ(fatalMessage([&] { writer.open(folder / "folder.xml"); }),
              "cannot write outfile [" + (folder / "folder.xml") + "]. Fix the problem and try again.");
    EXPECT_TRUE(std::filesystem::is_directory(folder / "folder.xml"));
}

bool samePixels(const std::vector<HotPixel>& a, const std::vector<HotPixel>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].x != b[i].x || a[i].y != b[i].y || a[i].r != b[i].r) return false;
    }
    return true;
}

// Reads the map file into `map` both ways there are, from a loaded document
// and streamed (what the program does), and returns the console lines
// printed; the two must agree in every line and value. What a reading
// throws goes to `error`, or is rethrown without one.
std::string readMap(const std::string& path, HotPixelMap& map, std::exception_ptr* error = nullptr) {
    HotPixelMap streamed = map;
    std::string console[2];
    std::exception_ptr thrown[2];
    XmlDocument document;
    EXPECT_TRUE(document.load(path)) << path;
    HotPixelMapFile file;
    std::string problem;
    EXPECT_TRUE(readHotPixelMapFile(path, file, problem)) << problem;
    for (int way = 0; way < 2; ++way) {
        ::testing::internal::CaptureStdout();
        try {
            if (way == 0) {
                loadHotPixelMap(document, map);
            } else {
                loadHotPixelMap(std::move(file), streamed);
            }
        } catch (...) {
            thrown[way] = std::current_exception();
        }
        console[way] = ::testing::internal::GetCapturedStdout();
    }
    EXPECT_EQ(console[1], console[0]) << path;
    EXPECT_EQ(thrown[1] == nullptr, thrown[0] == nullptr) << path;
    EXPECT_EQ(streamed.width, map.width);
    EXPECT_EQ(streamed.height, map.height);
    EXPECT_TRUE(samePixels(streamed.pixels, map.pixels)) << path;
    EXPECT_EQ(streamed.lines, map.lines) << path;
    if (error != nullptr) {
        *error = thrown[0];
    } else if (thrown[0]) {
        std::rethrow_exception(thrown[0]);
    }
    return console[0];
}

// Reads a 10 by 20 map holding one element; returns what was echoed.
std::string readSizedMap(const TempFolder& folder, const std::string& element, HotPixelMap& map) {
    writeFile(folder / "map.xml",
              std::string("<hotpixels><width>10</width><height>20</height>") + element + "</hotpixels>");
    return readMap(folder / "map.xml", map);
}

TEST(HotPixelMapRoundTrip, WrittenMapReadsBack) {
    struct Row {
        const char* radius;
        std::int32_t r;  // 0: every pixel skipped
    };
    const Row rows[] = {
        {"3", 3},
        {"2.5", 2},
        {"12px", 12},
        {"0", 0},
        {"abc", 0},
        {"-4", 0},
        // escaped on writing, so the map still loads and reads by its leading digits
        {"2&3", 2},
        {"5\"", 5},
        {"<1>", 0},
    };
    const std::vector<Pix> written{{17, 5}, {2048, 1733}, {0, 0}, {17, 5}};
    TempFolder folder;
    for (const Row& row : rows) {
        writeMap(folder / "map.xml", 4000, 3000, written, row.radius);
        HotPixelMap map;
        map.pixels = {{1, 1, 1}};
        const std::string console = readMap(folder / "map.xml", map);
        EXPECT_EQ(map.width, 4000);
        EXPECT_EQ(map.height, 3000);
        std::vector<HotPixel> expected;
        std::string lines = "/hotpixels/width[1]: 4000\n/hotpixels/height[1]: 3000\n";
        if (row.r > 0) {
            for (const Pix& p : written) {
                expected.push_back({p.x, p.y, row.r});
                lines += "hotpixel at " + std::to_string(p.x) + "," + std::to_string(p.y) +
                         " with r=" + std::to_string(row.r) + "\n";
            }
        }
        EXPECT_TRUE(samePixels(map.pixels, expected)) << row.radius;
        EXPECT_EQ(console, lines) << row.radius;
    }
}

TEST(HotPixelMapReader, AcceptanceRule) {
    struct Row {
        const char* element;
        bool accepted;
        HotPixel pixel;
    };
    const Row rows[] = {
        // accepted
        {"<pix x=\"1\" y=\"2\" r=\"3\"/>", true, {1, 2, 3}},
        {"<pix r=\"3\" y=\"2\" x=\"1\"/>", true, {1, 2, 3}},
        {"<pix x=\"12abc\" y=\" 4\" r=\"1\"/>", true, {12, 4, 1}},
        {"<pix x=\"\" y=\"0\" r=\"1\"/>", true, {0, 0, 1}},
        {"<pix x=\"99999\" y=\"99999\" r=\"1\"/>", true, {99999, 99999, 1}},
        {"<pix x=\"1\" y=\"2\" r=\"3\" extra=\"q\">text<b/></pix>", true, {1, 2, 3}},
        {"<pix x=\"+5\" y=\"2\" r=\"2.9\"/>", true, {5, 2, 2}},
        {"<pix x=\"99999999999\" y=\"1\" r=\"1\"/>", true, {2147483647, 1, 1}},
        // skipped
        {"<pix X=\"1\" y=\"2\" r=\"3\"/>", false, {}},
        {"<pix x=\"-1\" y=\"2\" r=\"3\"/>", false, {}},
        {"<pix x=\"1\" y=\"-2\" r=\"3\"/>", false, {}},
        {"<pix x=\"1\" y=\"2\"/>", false, {}},
        {"<pix x=\"1\" y=\"2\" r=\"0\"/>", false, {}},
        {"<pix x=\"1\" y=\"2\" r=\"-3\"/>", false, {}},
        {"<pix x=\"1\" y=\"2\" r=\"\"/>", false, {}},
        {"<pix x=\"1\" y=\"2\" r=\"x3\"/>", false, {}},
        {"<Pix x=\"1\" y=\"2\" r=\"3\"/>", false, {}},
        {"<other><pix x=\"1\" y=\"2\" r=\"3\"/></other>", false, {}},
    };
    TempFolder folder;
    for (const Row& row : rows) {
        HotPixelMap map;
        const std::string console = readSizedMap(folder, row.element, map);
        std::string lines = "/hotpixels/width[1]: 10\n/hotpixels/height[1]: 20\n";
        std::vector<HotPixel> expected;
        if (row.accepted) {
            expected.push_back(row.pixel);
            lines += "hotpixel at " + std::to_string(row.pixel.x) + "," + std::to_string(row.pixel.y) +
                     " with r=" + std::to_string(row.pixel.r) + "\n";
        }
        EXPECT_TRUE(samePixels(map.pixels, expected)) << row.element;
        EXPECT_EQ(console, lines) << row.element;
    }
}

TEST(HotPixelMapReader, WindowsLineEndsAndOrderAreKept) {
    TempFolder folder;
    writeFile(folder / "map.xml",
              "<?xml version=\"1.0\"?>\r\n<hotpixels>\r\n <width>4</width>\r\n <height>3</height>\r\n"
              " <pix x=\"3\" y=\"2\" r=\"1\"/>\r\n <!-- c -->\r\n <pix x=\"0\" y=\"0\" r=\"2\"/>\r\n</hotpixels>");
    HotPixelMap map;
    readMap(folder / "map.xml", map);
    EXPECT_EQ(map.width, 4);
    EXPECT_EQ(map.height, 3);
    EXPECT_TRUE(samePixels(map.pixels, {{3, 2, 1}, {0, 0, 2}}));
}

TEST(HotPixelMapReader, MissingSizeIsFatalAfterItsEchoLine) {
    const std::string marker(requiredMarker);
    struct Row {
        const char* content;
        std::string console;
        std::string detail;  // after "PATH: "
    };
    const Row rows[] = {
        {"<hotpixels><height>3</height></hotpixels>", "/hotpixels/width[1]: " + marker + "\n",
         "/hotpixels/width[1] is missing"},
        {"<hotpixels><width>4</width></hotpixels>", "/hotpixels/width[1]: 4\n/hotpixels/height[1]: " + marker + "\n",
         "/hotpixels/height[1] is missing"},
        {"<config><width>4</width><height>3</height></config>", "/hotpixels/width[1]: " + marker + "\n",
         "/hotpixels/width[1] is missing (the root element is config, not hotpixels)"},
        {"<hotpixels xmlns=\"urn:x\"><width>4</width></hotpixels>", "/hotpixels/width[1]: " + marker + "\n",
         "/hotpixels/width[1] is missing (the root element is hotpixels in namespace urn:x, not hotpixels)"},
    };
    TempFolder folder;
    for (const Row& row : rows) {
        writeFile(folder / "map.xml", row.content);
        HotPixelMap map;
        std::exception_ptr thrown;
        EXPECT_EQ(readMap(folder / "map.xml", map, &thrown), row.console) << row.content;
        try {
            if (thrown) std::rethrow_exception(thrown);
            ADD_FAILURE() << "did not end the run: " << row.content;
        } catch (const FatalError& error) {
            EXPECT_EQ(error.message(), "This config param is required. Please fill it correctly and try again.");
            EXPECT_FALSE(error.showUsage());
            EXPECT_EQ(error.detail(), folder / "map.xml: " + row.detail);
        }
    }
}

// ---- Hot lines --------------------------------------------------------------

TEST(HotPixelMapWriter, LinesFollowThePixLines) {
    TempFolder folder;
    HotPixelMapWriter writer;
    writer.open(folder / "map.xml");
    writer.writeSize(3000, 2000);
    writer.writePixel(17, 5, "3");
    writer.writeLine({HotLine::Axis::column, 1204, 1});
    writer.writeLine({HotLine::Axis::row, 0, 2});
    writer.finish();
    EXPECT_EQ(readFile(folder / "map.xml"),
              "<?xml version=\"1.0\"?>\n<hotpixels>\n <width>3000</width>\n <height>2000</height>\n"
              " <pix x=\"17\" y=\"5\" r=\"3\"/>\n"
              " <col x=\"1204\" r=\"1\"/>\n"
              " <row y=\"0\" r=\"2\"/>\n"
              "</hotpixels>");
}

TEST(HotPixelMapReader, LineAcceptanceRule) {
    using Axis = HotLine::Axis;
    struct Row {
        const char* element;
        bool accepted;
        HotLine line;
        const char* echo;
    };
    const Row rows[] = {
        // accepted
        {"<col x=\"12\" r=\"1\"/>", true, {Axis::column, 12, 1}, "hot column at 12 with r=1\n"},
        {"<row y=\"7\" r=\"3\"/>", true, {Axis::row, 7, 3}, "hot row at 7 with r=3\n"},
        {"<col x=\"0\" r=\"0\"/>", true, {Axis::column, 0, 0}, "hot column at 0 with r=0\n"},
        {"<col r=\"2\" x=\"5px\" y=\"9\"/>", true, {Axis::column, 5, 2}, "hot column at 5 with r=2\n"},
        // skipped
        {"<col y=\"12\" r=\"1\"/>", false, {}, ""},
        {"<row x=\"12\" r=\"1\"/>", false, {}, ""},
        {"<col x=\"-1\" r=\"1\"/>", false, {}, ""},
        {"<col x=\"4\"/>", false, {}, ""},
        {"<col x=\"4\" r=\"-2\"/>", false, {}, ""},
        {"<Col x=\"4\" r=\"1\"/>", false, {}, ""},
        {"<other><col x=\"4\" r=\"1\"/></other>", false, {}, ""},
    };
    TempFolder folder;
    for (const Row& row : rows) {
        HotPixelMap map;
        const std::string console = readSizedMap(folder, row.element, map);
        EXPECT_EQ(console, std::string("/hotpixels/width[1]: 10\n/hotpixels/height[1]: 20\n") + row.echo)
            << row.element;
        EXPECT_EQ(map.lines, row.accepted ? std::vector<HotLine>{row.line} : std::vector<HotLine>{}) << row.element;
    }
}

TEST(HotPixelMapReader, LinesDoNotDisturbThePixels) {
    // A map with lines reads its pixels exactly as the same map without
    // them: columns and rows come after, columns first, whatever the order
    // in the file.
    const std::string pixels = " <pix x=\"1\" y=\"2\" r=\"3\"/>\n <pix x=\"4\" y=\"5\" r=\"3\"/>\n";
    TempFolder folder;
    writeFile(folder / "plain.xml", "<hotpixels><width>10</width><height>20</height>\n" + pixels + "</hotpixels>");
    writeFile(folder / "lines.xml", "<hotpixels><width>10</width><height>20</height>\n <row y=\"9\" r=\"1\"/>\n" +
                                        pixels + " <col x=\"3\" r=\"1\"/>\n</hotpixels>");
    HotPixelMap plain, withLines;
    const std::string plainConsole = readMap(folder / "plain.xml", plain);
    const std::string linesConsole = readMap(folder / "lines.xml", withLines);
    EXPECT_TRUE(samePixels(plain.pixels, withLines.pixels));
    EXPECT_TRUE(plain.lines.empty());
    EXPECT_EQ(withLines.lines, (std::vector<HotLine>{{HotLine::Axis::column, 3, 1}, {HotLine::Axis::row, 9, 1}}));
    EXPECT_EQ(linesConsole, plainConsole + "hot column at 3 with r=1\nhot row at 9 with r=1\n");
}

TEST(HotPixelMapRoundTrip, LinesReadBack) {
    const std::vector<HotLine> lines{
        {HotLine::Axis::column, 0, 1}, {HotLine::Axis::column, 2999, 2}, {HotLine::Axis::row, 1000, 0}};
    TempFolder folder;
    HotPixelMapWriter writer;
    writer.open(folder / "map.xml");
    writer.writeSize(3000, 2000);
    for (const HotLine& line : lines) writer.writeLine(line);
    writer.finish();
    HotPixelMap map;
    readMap(folder / "map.xml", map);
    EXPECT_EQ(map.lines, lines);
    EXPECT_TRUE(map.pixels.empty());
}

}  // namespace
}  // namespace speckmend
