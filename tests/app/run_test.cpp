// The run flow seen from outside: exact console text and exit status.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include "app/run.h"
#include "app/version.h"

#include "heal_shoot.h"
#include "test_support.h"

extern char** environ;

namespace speckmend {
namespace {

using testing::runSpeckmend;
using testing::TempFolder;
using testing::writeFile;

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

TEST(RunFlow, HelpAndVersionAnswerAloneAndExitWithZero) {
    struct Row {
        std::vector<std::string> arguments;
        std::string output;  // all of it
    };
    const std::string version = std::string("speckmend ") + kVersion + "\n";
    const Row rows[] = {
        {{"--help"}, usageText()},
        {{"-h"}, usageText()},
        {{"--version"}, version},
        {{"-V"}, version},
        {{"--version", "heal", "config.xml"}, version},
    };
    TempFolder folder;
    for (const Row& row : rows) {
        const auto run = runSpeckmend(row.arguments, folder.path());
        EXPECT_EQ(run.output, row.output) << row.arguments[0];
        EXPECT_EQ(run.errors, "") << row.arguments[0];
        EXPECT_EQ(run.status, 0) << row.arguments[0];
    }
}

// Exit status and the line before the fatal block, on a heal shoot (in/a.jpg)
// whose configuration a row may replace and to whose in/ it may add an entry.
TEST(RunFlow, ExitStatusAndWhatIsWrong) {
    struct Row {
        const char* what;
        std::vector<std::string> arguments;
        const char* config;    // null: the shoot's own
        std::string expected;  // found in the output
        int status;
        std::string filter = "*.jpg";
        std::string entry = {};  // added to in/: a folder when it ends in '/', else a file that is no image
    };
    const std::string badConfig = "\nCRITICAL ERROR: configfile does not exist or not valid. Correct and try again.\n";
    const char* detectConfig =
        "<config><detect><indir>in/</indir><outfile>map.xml</outfile><amount>0.99</amount></detect></config>";
    const Row rows[] = {
        // runs that finish: 0 when every photo or frame was processed, 2
        // when one failed; folders the filter lists are no files
        {"clean heal", {"heal", "config.xml", "hotpixels.xml"}, nullptr, "a.jpg processed.\nAll done", 0},
        {"clean detect", {"detect"}, detectConfig, "a.jpg processed.\n", 0},
        {"one failed photo", {"heal"}, nullptr, "a.jpg processed.\nb.jpg error:I/O!\n", 2, "*.jpg", "b.jpg"},
        {"one failed frame", {"detect"}, detectConfig, "a.jpg processed.\nb.jpg error:I/O!\n", 2, "*.jpg", "b.jpg"},
        {"a folder matching the filter", {"heal"}, nullptr, "a.jpg processed.\nd.jpg error:I/O!\n", 0, "*.jpg", "d.jpg/"},
        {"folders in detect", {"detect"}, detectConfig, "d.jpg error:I/O!\n", 0, "*.jpg", "d.jpg/"},
        {". and ..", {"heal"}, nullptr, ".. error:I/O!\na.jpg processed.\n", 0, "*"},
        {"a failed photo beside . and ..", {"heal"}, nullptr, "b.jpg error:I/O!\n", 2, "*", "b.jpg"},
        // fatal errors, each after the line that says what is wrong
        {"missing configuration",
         {"heal", "none.xml"},
         nullptr,
         "none.xml: No such file or directory\n" + badConfig,
         1},
        {"malformed configuration",
         {"heal", "config.xml"},
         "<config>\n<heal>\n<indir>in/</indir>\n</config>\n",
         "config.xml:4: ",
         1},
        {"missing key",
         {"heal", "config.xml"},
         "<config><heal><indir>in/</indir></heal></config>",
         "config.xml: /config/heal/outdir[1] is missing\n\nCRITICAL ERROR: This config param is required.",
         1},
        {"missing map",
         {"heal", "config.xml", "none.xml"},
         nullptr,
         "none.xml: No such file or directory\n\nCRITICAL ERROR: hotfixelfile [none.xml] does not exist",
         1},
        {"mode word", {"--HELP"}, nullptr, kBanner + "\nCRITICAL ERROR: MODE is invalid", 1},
        {"option after the mode word",
         {"heal", "--help"},
         nullptr,
         "--help: No such file or directory\n" + badConfig,
         1},
    };
    for (const Row& row : rows) {
        testing::HealShoot shoot;
        shoot.indir = "in/";
        shoot.outdir = "../out/";
        shoot.filter = row.filter;
        cv::imwrite(shoot.root / "in/a.jpg", shoot.photo());
        if (row.entry.ends_with('/')) {
            mkdir((shoot.root / ("in/" + row.entry)).c_str(), 0755);
        } else if (!row.entry.empty()) {
            writeFile(shoot.root / ("in/" + row.entry), "no image");
        }
        shoot.writeFiles();
        if (row.config != nullptr) writeFile(shoot.root / "config.xml", row.config);
        const auto run = runSpeckmend(row.arguments, shoot.root.path());
        EXPECT_NE(run.output.find(row.expected), std::string::npos) << row.what << "\n" << run.output;
        EXPECT_EQ(run.status, row.status) << row.what;
    }
}

// Heal folders written without their trailing '/': an existing folder is
// that folder; any other text keeps its meaning as a prefix of the names.
TEST(RunFlow, FoldersWithoutTheirTrailingSlash) {
    struct Row {
        std::string indir, outdir;  // relative ones from the shoot's root
        std::string output;         // where a.jpg's output lands, from the root
    };
    const Row rows[] = {
        {"in", "../out", "out/a.jpg"},
        {"in/", "../out", "out/a.jpg"},
        {"in", "../out/", "out/a.jpg"},
        {"./in", "sub", "in/sub/a.jpg"},
        {"ROOT/in", "ROOT/out", "out/a.jpg"},
        // a folder that does not exist: created when written with '/', a
        // prefix of the names without it
        {"in", "../new/", "new/a.jpg"},
        {"in", "../new", "newa.jpg"},
    };
    for (const Row& row : rows) {
        testing::HealShoot shoot;
        const auto expand = [&](std::string path) {
            if (path.rfind("ROOT", 0) == 0) path.replace(0, 4, shoot.root.path());
            return path;
        };
        shoot.indir = expand(row.indir);
        shoot.outdir = expand(row.outdir);
        mkdir((shoot.root / "out").c_str(), 0755);
        mkdir((shoot.root / "in/sub").c_str(), 0755);
        cv::imwrite(shoot.root / "in/a.jpg", shoot.photo());
        const auto run = shoot.run();
        EXPECT_EQ(testing::statusBlock(run.output), "a.jpg processed.\n") << row.indir << " " << row.outdir;
        EXPECT_TRUE(std::filesystem::exists(shoot.root / row.output)) << row.indir << " " << row.outdir;
        EXPECT_EQ(run.status, 0);
    }
    // detect enters its indir, with or without the '/'.
    TempFolder detect;
    mkdir((detect / "darks").c_str(), 0755);
    cv::Mat dark(64, 96, CV_8UC1, cv::Scalar(0));
    dark.at<unsigned char>(30, 40) = 250;
    cv::imwrite(detect / "darks/d.png", dark);
    writeFile(detect / "config.xml",
              "<config><detect><filter>*.png</filter><indir>darks</indir>"
              "<outfile>map.xml</outfile><amount>0.99</amount></detect></config>");
    const auto run = runSpeckmend({"detect"}, detect.path());
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(testing::readFile(detect / "darks/map.xml").find("<pix x=\"40\" y=\"30\""), std::string::npos);
}

// Runs the program under `script`, which gives it a terminal as standard
// input (and as standard output unless the command redirects it); the
// terminal's keyboard is a pipe kept open, so a key wait blocks until
// `keyAfter` seconds pass and a key is typed. Returns whether the run ended
// before the key.
bool endsWithoutAKey(const std::string& command, int keyAfter) {
    int keyboard[2];
    if (pipe(keyboard) != 0) return false;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(keyboard[0], STDIN_FILENO);
        close(keyboard[1]);
        const int sink = open("/dev/null", O_WRONLY);
        dup2(sink, STDOUT_FILENO);
        setpgid(0, 0);
        execl("/usr/bin/script", "script", "-qec", command.c_str(), "/dev/null", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(keyboard[0]);
    int status = 0;
    bool ended = false;
    for (int i = 0; i < keyAfter * 20 && !ended; ++i) {
        usleep(50000);
        ended = waitpid(pid, &status, WNOHANG) == pid;
    }
    if (!ended) {
        (void)!write(keyboard[1], "x", 1);
        for (int i = 0; i < 200 && waitpid(pid, &status, WNOHANG) != pid; ++i) usleep(50000);
        kill(-pid, SIGKILL);
        waitpid(pid, &status, WNOHANG);
    }
    close(keyboard[1]);
    return ended;
}

TEST(RunFlow, WaitsForAKeyOnlyWhenInputAndOutputAreATerminal) {
    if (access("/usr/bin/script", X_OK) != 0) GTEST_SKIP() << "script (bsdutils) is not installed";
    TempFolder folder;
    const std::string program = std::string("'") + SPECKMEND_BINARY + "' heal '" + folder / "none.xml" + "'";
    // Output to a file: the run must end at once, the fatal block in the file.
    EXPECT_TRUE(endsWithoutAKey(program + " > '" + folder / "log.txt" + "'", 20));
    EXPECT_NE(testing::readFile(folder / "log.txt").find("press any key to exit the program..."), std::string::npos);
    EXPECT_TRUE(endsWithoutAKey(program + " | cat", 20));
    // On the terminal it waits; the key typed after a second ends it.
    EXPECT_FALSE(endsWithoutAKey(program, 1));
}

}  // namespace
}  // namespace speckmend
