// The run flow seen from outside: exact console text and exit status.
#include <gtest/gtest.h>

#include <string>

#include "app/run.h"
#include "test_support.h"

namespace speckmend {
namespace {

using testing::runSpeckmend;
using testing::TempFolder;

const std::string kBanner = "\n***** Speckmend v1.02 by the Speckmend team *****\n\n1. Reading configuration...\n";

TEST(RunFlow, NoArgumentsShowsUsageAndExitsWithOne) {
    TempFolder folder;
    const auto run = runSpeckmend({}, folder.path());
    const std::string expected = kBanner +
                                 "\nCRITICAL ERROR: The correct call of the program is:\n\n"
                                 "speckmend MODE [CONFIGFILE] [HOTPIXELFILE]\n\n"
                                 "where\n"
                                 "  MODE can be [detect|heal]\n"
                                 "  CONFIGFILE is the path of the configuration file, default is config.xml\n"
                                 "  HOTPIXELFILE is the path of the hotpixel map file, default is hotpixels.xml\n\n"
                                 "example: speckmend heal config.xml casio-profile.xml\n"
                                 "\npress any key to exit the program...";
    EXPECT_EQ(run.output, expected);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.errors, "");
}

TEST(RunFlow, UsageTextHasFivePiecesInOrder) {
    const std::string usage = usageText();
    const char* pieces[] = {"The correct call", "  MODE can be", "  CONFIGFILE is", "  HOTPIXELFILE is", "example:"};
    std::size_t at = 0;
    for (const char* piece : pieces) {
        const auto found = usage.find(piece, at);
        ASSERT_NE(found, std::string::npos) << piece;
        at = found;
    }
    EXPECT_EQ(usage.back(), '\n');
}

}  // namespace
}  // namespace speckmend
