// Helpers shared by the end-to-end tests: running the built program with its
// output captured, the echo and status blocks it prints, and whole files.
// Their temporary folders are those of temp_folder.h.
#pragma once

#include <string>
#include <vector>

#include "temp_folder.h"

namespace speckmend::testing {

struct ProgramRun {
    std::string output;  // everything the program wrote to standard output
    std::string errors;  // standard error
    int status = -1;     // exit status, or -1 when it did not exit normally
};

// Runs the program with the arguments in the folder `workingFolder`, standard
// input from /dev/null (so the key waits return at once). Extra environment
// entries ("NAME=value") are added to the inherited environment.
ProgramRun runProgram(const std::string& program, const std::vector<std::string>& arguments,
                      const std::string& workingFolder, const std::vector<std::string>& environment = {});

// Runs the built speckmend executable.
ProgramRun runSpeckmend(const std::vector<std::string>& arguments, const std::string& workingFolder);

// The lines a run printed between the stage line "2. Processing images..."
// and the closing text: the per-file status lines, or the fatal block when
// the run ended early.
std::string statusBlock(const std::string& output);

// The values of the seventeen echo lines, each as the program prints it when
// the key is missing unless a test names it.
struct EchoValues {
    std::string detectFilter = "*.jpg";
    std::string detectIndir;
    std::string outfile;
    std::string amount = "0,999";
    std::string channels = "32";
    std::string hprad = "3";
    std::string outimage;
    std::string dxtext = "-50";
    std::string dytext = "-10";
    std::string healFilter = "*.jpg";
    std::string healIndir;
    std::string outdir;
    std::string saveformat = "jpg";
    std::string range = "3,0";
    std::string method = "1";
    std::string diffimages = "0";
    std::string mul = "60,0";
};

// The echo lines of the configuration keys, in the order they are read.
std::string echoBlock(const EchoValues& values);

// A parameterised test's name made of a case's description: letters and
// digits kept, anything else turned into '_'.
std::string testNameOf(const std::string& description);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);

}  // namespace speckmend::testing
