// Child processes and files for the end-to-end tests.
#include "test_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <utility>

extern char** environ;

namespace speckmend::testing {

ProgramRun runProgram(const std::string& program, const std::vector<std::string>& arguments,
                      const std::string& workingFolder, const std::vector<std::string>& environment) {
    TempFolder capture;
    const std::string outPath = capture / "stdout";
    const std::string errPath = capture / "stderr";

    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    env.insert(env.end(), environment.begin(), environment.end());
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    std::vector<std::string> args{program};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(workingFolder.c_str()) != 0) _exit(126);
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    ProgramRun run;
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) run.status = WEXITSTATUS(status);
    run.output = readFile(outPath);
    run.errors = readFile(errPath);
    return run;
}

ProgramRun runSpeckmend(const std::vector<std::string>& arguments, const std::string& workingFolder) {
    return runProgram(SPECKMEND_BINARY, arguments, workingFolder);
}

std::string statusBlock(const std::string& output) {
    const std::string stage = "\n2. Processing images...\n";
    const std::size_t begin = output.find(stage);
    if (begin == std::string::npos) return "<no stage line>";
    const std::size_t from = begin + stage.size();
    const std::size_t end = output.find("All done", from);
    return output.substr(from, end == std::string::npos ? std::string::npos : end - from);
}

std::string echoBlock(const EchoValues& v) {
    const std::pair<const char*, const std::string*> lines[] = {
        {"/config/detect/filter[1]", &v.detectFilter},
        {"/config/detect/indir[1]", &v.detectIndir},
        {"/config/detect/outfile[1]", &v.outfile},
        {"/config/detect/amount[1]", &v.amount},
        {"/config/detect/channels[1]", &v.channels},
        {"/config/detect/hprad[1]", &v.hprad},
        {"/config/detect/outimage[1]", &v.outimage},
        {"/config/detect/outimage[1]/@dxtext", &v.dxtext},
        {"/config/detect/outimage[1]/@dytext", &v.dytext},
        {"/config/heal/filter[1]", &v.healFilter},
        {"/config/heal/indir[1]", &v.healIndir},
        {"/config/heal/outdir[1]", &v.outdir},
        {"/config/heal/saveformat[1]", &v.saveformat},
        {"/config/heal/range[1]", &v.range},
        {"/config/heal/method[1]", &v.method},
        {"/config/heal/diffimages[1]", &v.diffimages},
        {"/config/heal/diffimages[1]/@mul", &v.mul},
    };
    std::string block;
    for (const auto& [path, value] : lines) block += std::string(path) + ": " + *value + "\n";
    return block;
}

std::string testNameOf(const std::string& description) {
    std::string name;
    for (const char c : description) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + path);
}

}  // namespace speckmend::testing
