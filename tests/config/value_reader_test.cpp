// The value readers: echo lines, defaults, required keys and conversions as
// seen through a loaded document.
#include "config/value_reader.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/fatal_error.h"
#include "test_support.h"

namespace speckmend {
namespace {

using testing::TempFolder;
using testing::writeFile;

const std::string kMarker(requiredMarker);

class ValueReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        writeFile(folder_ / "config.xml",
                  "<?xml version=\"1.0\"?>\n"
                  "<config>\n"
                  " <detect>\n"
                  "  <filter>*.tif</filter>\n"
                  "  <filter>*.png</filter>\n"
                  "  <indir></indir>\n"
                  "  <Outfile>map.xml</Outfile>\n"
                  "  <amount>0.995</amount>\n"
                  "  <channels>12px</channels>\n"
                  "  <hprad>  4  </hprad>\n"
                  "  <outimage dxtext=\"abc\">a.png</outimage>\n"
                  "  <outimage dxtext=\"7\" dytext=\"8\">b.png</outimage>\n"
                  " </detect>\n"
                  " <heal>\n"
                  "  <range>2,5</range>\n"
                  "  <method>abc</method>\n"
                  "  <diffimages mul=\"1e2\"> 1</diffimages>\n"
                  " </heal>\n"
                  "</config>\n");
        ASSERT_TRUE(document_.load(folder_ / "config.xml"));
    }

    TempFolder folder_;
    XmlDocument document_;
};

TEST_F(ValueReaderTest, TextEchoLines) {
    struct Row {
        const char* path;
        std::string defaultText;
        std::string value;
    };
    const Row rows[] = {
        // present keys, also duplicated (first counts) and empty ones
        {"/config/detect/filter[1]", "*.jpg", "*.tif"},
        {"/config/detect/indir[1]", kMarker, ""},
        {"/config/detect/hprad[1]", "3", "4"},
        {"/config/detect/outimage[1]", "", "a.png"},
        // missing keys: wrong letter case, absent, absent section
        {"/config/detect/outfile[1]", "", ""},
        {"/config/detect/outimage[1]/@dytext", "-10", "-10"},
        {"/config/heal/saveformat[1]", "jpg", "jpg"},
        {"/config/none/filter[1]", "*.jpg", "*.jpg"},
        // a path the document cannot answer counts as missing
        {"/config/detect/filter[", "dflt", "dflt"},
        {"count(/config)", "dflt", "dflt"},
    };
    for (const Row& row : rows) {
        ::testing::internal::CaptureStdout();
        const std::string value = readText(document_, row.path, row.defaultText);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), std::string(row.path) + ": " + row.value + "\n");
        EXPECT_EQ(value, row.value) << row.path;
    }
}

TEST_F(ValueReaderTest, NumbersThroughTheDocument) {
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(readInt(document_, "/config/detect/channels[1]", "32"), 12);
    EXPECT_EQ(readInt(document_, "/config/heal/method[1]", "1"), 0);
    EXPECT_EQ(readInt(document_, "/config/heal/diffimages[1]", "0"), 1);
    EXPECT_EQ(readInt(document_, "/config/detect/outimage[1]/@dxtext", "-50"), 0);
    EXPECT_EQ(readInt(document_, "/config/detect/outimage[1]/@dytext", "-10"), -10);
    EXPECT_EQ(readReal(document_, "/config/detect/amount[1]", "0,999"), 0.995);
    EXPECT_EQ(readReal(document_, "/config/heal/range[1]", "3,0"), 2.0);
    EXPECT_EQ(readReal(document_, "/config/heal/diffimages[1]/@mul", "60,0"), 100.0);
    EXPECT_EQ(readReal(document_, "/config/heal/missing[1]", "3,0"), 3.0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "/config/detect/channels[1]: 12px\n"
              "/config/heal/method[1]: abc\n"
              "/config/heal/diffimages[1]: 1\n"
              "/config/detect/outimage[1]/@dxtext: abc\n"
              "/config/detect/outimage[1]/@dytext: -10\n"
              "/config/detect/amount[1]: 0.995\n"
              "/config/heal/range[1]: 2,5\n"
              "/config/heal/diffimages[1]/@mul: 1e2\n"
              "/config/heal/missing[1]: 3,0\n");
}

TEST_F(ValueReaderTest, ValueWhenMissingReplacesOnlyAMissingKey) {
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(readReal(document_, "/config/detect/nothing[1]", "0,999", 0.999), 0.999);
    EXPECT_EQ(readReal(document_, "/config/heal/range[1]", "3,0", 0.999), 2.0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "/config/detect/nothing[1]: 0,999\n/config/heal/range[1]: 2,5\n");
}

TEST_F(ValueReaderTest, MissingRequiredKeyEchoesTheMarkerThenIsFatal) {
    for (const char* path : {"/config/detect/outfile[1]", "/config/heal/indir[1]", "/hotpixels/width[1]"}) {
        ::testing::internal::CaptureStdout();
        try {
            readInt(document_, path, requiredMarker);
            ADD_FAILURE() << path << " did not end the run";
        } catch (const FatalError& error) {
            EXPECT_EQ(error.message(), "This config param is required. Please fill it correctly and try again.");
            EXPECT_FALSE(error.showUsage());
        }
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), std::string(path) + ": " + kMarker + "\n");
    }
}

TEST(AttributeInt, FirstExactNameCounts) {
    const XmlNodeInfo node{
        "", "", "pix", {{"5", "X"}, {"12abc", "x"}, {"99", "x"}, {"", "y"}, {"-3", "r"}, {" 7", "q"}}};
    struct Row {
        const char* name;
        std::int32_t value;
    };
    const Row rows[] = {{"x", 12}, {"X", 5}, {"y", 0}, {"r", -3}, {"q", 7}, {"z", -1}, {"", -1}, {"x ", -1}};
    for (const Row& row : rows) EXPECT_EQ(attributeInt(node, row.name), row.value) << row.name;
    EXPECT_EQ(attributeInt(XmlNodeInfo{}, "x"), -1);
}

}  // namespace
}  // namespace speckmend
