// Run flow and the fatal error path.
//
// Engines and readers throw FatalError; it is caught only here, so the block,
// the key prompt and the exit status are decided in one place. Everything the
// run wrote before the error stays on disk.
#include "app/run.h"

#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "app/version.h"
#include "config/load_settings.h"
#include "config/settings.h"
#include "detect/detector.h"
#include "heal/flow/healer.h"
#include "heal/jpeg/large_blocks.h"
#include "platform/console.h"
#include "platform/fatal_error.h"
#include "platform/pending_file.h"
#include "platform/standard_streams.h"
#include "platform/system_memory.h"
#include "platform/web_page.h"

namespace speckmend {

std::string usageText() {
    return "The correct call of the program is:\n\nspeckmend MODE [CONFIGFILE] [HOTPIXELFILE]\n\nwhere\n"
           "  MODE can be [detect|heal]\n"
           "  CONFIGFILE is the path of the configuration file, default is config.xml\n"
           "  HOTPIXELFILE is the path of the hotpixel map file, default is hotpixels.xml\n\n"
           "example: speckmend heal config.xml casio-profile.xml\n";
}

void reportFatalError(const std::string& message, bool showUsage, const std::string& detail) {
    std::string text = message;
    if (showUsage) text += usageText();
    if (!detail.empty()) std::printf("%s\n", detail.c_str());
    std::printf("\nCRITICAL ERROR: %s\npress any key to exit the program...", text.c_str());
    std::fflush(stdout);
    waitForKey();
    std::exit(1);
}

namespace {

// Gives the number of files that failed.
std::size_t processImages(Settings& settings) {
    std::printf("\n2. Processing images...\n");
    switch (settings.mode) {
    case Mode::detect: {
        Detector detector(settings.detect);
        return detector.run();
    }
    case Mode::heal: {
        Healer healer(settings.heal);
        // Only around the healing itself: the key waits handle these
        // signals on their own.
        InterruptCleanup cleanup;
        // The photos of a run share one size, so each worker's coefficient
        // arrays fit the next photo's: reused, their pages are not cleared
        // by the kernel again for every photo. Held to the run's own memory
        // budget (heal_run.h), and let go before the closing key wait.
        LargeBlockReuse reuse(usableMemory() / 2);
        return healer.run();
    }
    }
    return 0;
}

void printClosingText() {
    std::printf("All done, check the output files generated.");
    std::printf("\n\n**************************************************\n\n");
    std::printf("If you like this program, press G to go to my page\n");
    std::printf("%s to donate it with some cash!\n", kMakerPage);
    std::printf("\n**************************************************\n");
    std::printf("\npress any key to exit...");
}

// --help and --version as the first word answer and end the run at once,
// without the banner or a key wait; true when the word was one of them.
bool answerInfoRequest(int argc, char** argv) {
    if (argc < 2) return false;
    const std::string word = argv[1];
    if (word == "--help" || word == "-h") {
        std::fputs(usageText().c_str(), stdout);
        return true;
    }
    if (word == "--version" || word == "-V") {
        std::printf("speckmend %s\n", kVersion);
        return true;
    }
    return false;
}

}  // namespace

int run(int argc, char** argv) {
    // A write past the file size limit (ulimit -f) then fails with EFBIG like
    // one on a full disk, which every writer reports and cleans up after,
    // instead of killing the process with a cut temporary file left behind.
    std::signal(SIGXFSZ, SIG_IGN);
    if (answerInfoRequest(argc, argv)) return consoleIntact() ? 0 : kConsoleClosedStatus;
    std::printf("\n***** Speckmend v%s %s *****\n\n", kVersion, kMakerCredit);
    std::printf("1. Reading configuration...\n");
    std::size_t failed = 0;
    {
        Settings settings;
        try {
            loadSettings(settings, argc, argv);
            // The echo lines may have filled the buffer and failed unseen;
            // no photo is touched for a user who cannot read its status.
            if (settings.mode == Mode::heal && !consoleIntact()) throw ConsoleClosed();
            failed = processImages(settings);
        } catch (const ConsoleClosed&) {
            return kConsoleClosedStatus;
        } catch (const FatalError& error) {
            reportFatalError(error.message(), error.showUsage(), error.detail());
        } catch (const std::exception& error) {
            // Failures of the libraries outside the cases handled where they
            // occur (an allocation that fails on a huge image, say) end the
            // run the same way rather than with an abort.
            reportFatalError(error.what(), false, {});
        }
        printClosingText();
        if (!consoleIntact()) return kConsoleClosedStatus;
        if (waitForKey() == kKeyG) {
            // The opener is not to inherit the ignored signals.
            std::signal(SIGPIPE, SIG_DFL);
            std::signal(SIGXFSZ, SIG_DFL);
            openWebPage(kMakerPage);
        }
    }
    return failed == 0 ? 0 : kFilesFailedStatus;
}

}  // namespace speckmend
