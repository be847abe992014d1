// Hostile and broken input, end to end: the built program on folders that
// hold truncated, mislabelled and oversized files, on an output folder it
// cannot write, on a full disk, and on hand-edited configuration and map
// files. Whatever happens, every run must end with its console lines, and
// no file outside the output folder may change or appear.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <jpeglib.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "config/hot_pixel_map.h"
#include "heal_shoot.h"
#include "test_images.h"
#include "test_support.h"

extern char** environ;

namespace speckmend {
namespace {

namespace fs = std::filesystem;
using testing::ProgramRun;
using testing::readFile;
using testing::noisePhoto;
using testing::statusBlock;
using testing::TempFolder;
using testing::writeFile;

// ---------------------------------------------------------------------------
// Running the program under limits

struct Limits {
    rlim_t fileSize = RLIM_INFINITY;  // RLIMIT_FSIZE; writes beyond it fail as on a full disk
    std::vector<std::string> prefix;  // run through this command (e.g. setpriv) first
};

// Like testing::runProgram, but the child gets the limits, and its output
// travels through pipes so that the file size limit does not cut it.
ProgramRun runLimited(const std::vector<std::string>& arguments, const std::string& workingFolder,
                      const Limits& limits) {
    std::vector<std::string> args = limits.prefix;
    args.push_back(SPECKMEND_BINARY);
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(workingFolder.c_str()) != 0) _exit(126);
        const int in = open("/dev/null", O_RDONLY);
        dup2(in, STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        close(out[0]);
        close(err[0]);
        // SIGXFSZ as a shell leaves it: the program must ignore it itself,
        // or a write past the limit kills it.
        signal(SIGXFSZ, SIG_DFL);
        const rlimit size{limits.fileSize, limits.fileSize};
        setrlimit(RLIMIT_FSIZE, &size);
        execve(argv[0], argv.data(), environ);
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    ProgramRun run;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&run.output, &run.errors};
    int open = 2;
    while (open > 0 && poll(fds, 2, -1) > 0) {
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) run.status = WEXITSTATUS(status);
    return run;
}

// ---------------------------------------------------------------------------
// Folders and files

// Every regular file below the folder with its bytes, keyed by the path
// relative to it; `skip` names a sub-folder left out (the output folder).
std::map<std::string, std::string> snapshot(const std::string& folder, const std::string& skip = "") {
    std::map<std::string, std::string> files;
    for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator(); ++it) {
        const std::string relative = fs::relative(it->path(), folder).string();
        if (!skip.empty() && (relative == skip || relative.rfind(skip + "/", 0) == 0)) {
            if (it->is_directory()) it.disable_recursion_pending();
            continue;
        }
        if (it->is_regular_file()) files[relative] = readFile(it->path().string());
    }
    return files;
}

std::vector<std::string> namesIn(const std::string& folder) {
    std::vector<std::string> names;
    if (!fs::is_directory(folder)) return names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string encode(const std::string& extension, const cv::Mat& image, const std::vector<int>& parameters = {}) {
    std::vector<unsigned char> bytes;
    if (!cv::imencode(extension, image, bytes, parameters)) throw std::runtime_error("cannot encode " + extension);
    return std::string(bytes.begin(), bytes.end());
}

std::string jpegPhoto(int width, int height, unsigned seed = 1) {
    return encode(".jpg", noisePhoto(width, height, 3, seed), {cv::IMWRITE_JPEG_QUALITY, 90});
}

// Offset of the first start-of-frame marker (FFC0..FFCF other than DHT,
// JPG and DAC), or npos.
std::size_t frameHeader(const std::string& jpeg) {
    for (std::size_t i = 2; i + 9 < jpeg.size(); ++i) {
        const auto b = static_cast<unsigned char>(jpeg[i + 1]);
        if (static_cast<unsigned char>(jpeg[i]) == 0xFF && b >= 0xC0 && b <= 0xCF && b != 0xC4 && b != 0xC8 &&
            b != 0xCC)
            return i;
    }
    return std::string::npos;
}

// A valid JPEG whose frame header now declares another size.
std::string withDeclaredSize(std::string jpeg, unsigned width, unsigned height) {
    const std::size_t sof = frameHeader(jpeg);
    jpeg[sof + 5] = static_cast<char>(height >> 8);
    jpeg[sof + 6] = static_cast<char>(height & 0xFF);
    jpeg[sof + 7] = static_cast<char>(width >> 8);
    jpeg[sof + 8] = static_cast<char>(width & 0xFF);
    return jpeg;
}

// A valid JPEG relabelled as extended sequential with 12-bit samples, as a
// medical or scientific camera writes it; the 8-bit library refuses it.
std::string twelveBit(std::string jpeg) {
    const std::size_t sof = frameHeader(jpeg);
    jpeg[sof + 1] = static_cast<char>(0xC1);
    jpeg[sof + 4] = 12;
    return jpeg;
}

// A CMYK JPEG as prepress software writes it (four components, an Adobe
// marker, no JFIF), coded as CMYK or as YCCK.
std::string cmykJpeg(int width, int height, J_COLOR_SPACE coded = JCS_CMYK) {
    jpeg_compress_struct codec;
    jpeg_error_mgr errors;
    codec.err = jpeg_std_error(&errors);
    jpeg_create_compress(&codec);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&codec, &buffer, &size);
    codec.image_width = static_cast<JDIMENSION>(width);
    codec.image_height = static_cast<JDIMENSION>(height);
    codec.input_components = 4;
    codec.in_color_space = JCS_CMYK;
    jpeg_set_defaults(&codec);
    jpeg_set_colorspace(&codec, coded);
    jpeg_start_compress(&codec, TRUE);
    std::vector<unsigned char> row(static_cast<std::size_t>(width) * 4);
    while (codec.next_scanline < codec.image_height) {
        for (std::size_t i = 0; i < row.size(); ++i)
            row[i] = static_cast<unsigned char>((i * 7 + codec.next_scanline) % 256);
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&codec, rows, 1);
    }
    jpeg_finish_compress(&codec);
    jpeg_destroy_compress(&codec);
    std::string bytes(reinterpret_cast<char*>(buffer), size);
    std::free(buffer);
    return bytes;
}

// An arithmetic-coded copy made by the library's own converter.
std::string arithmeticJpeg(const cv::Mat& photo) {
    TempFolder work;
    const std::string ppm = work / "photo.ppm";
    const std::string jpg = work / "photo.jpg";
    cv::imwrite(ppm, photo);
    const ProgramRun run = testing::runProgram("/usr/bin/cjpeg", {"-arithmetic", "-outfile", jpg, ppm}, work.path());
    if (run.status != 0) throw std::runtime_error("cjpeg -arithmetic failed: " + run.errors);
    return readFile(jpg);
}

// A folder laid out as a photographer would run the program: config.xml and
// hotpixels.xml beside the input folder, the output folder given as outdir.
struct FaultShoot : testing::HealShoot {
    // Runs heal mode and checks what must hold after any run: the console
    // ends with the closing text or the fatal block, and nothing outside
    // the output folder changed or appeared.
    ProgramRun heal(const Limits& limits = {}) const {
        writeFiles();
        const auto before = snapshot(root.path(), relativeOutdir());
        const ProgramRun run = runLimited({"heal", root / "config.xml", root / "hotpixels.xml"}, root.path(), limits);
        EXPECT_EQ(snapshot(root.path(), relativeOutdir()), before) << "a file outside the output folder changed";
        EXPECT_TRUE(endsWith(run.output, "\npress any key to exit...") ||
                    endsWith(run.output, "\npress any key to exit the program..."))
            << run.output;
        return run;
    }

    std::string relativeOutdir() const {
        const std::string prefix = root.path() + "/";
        std::string relative = outdir.rfind(prefix, 0) == 0 ? outdir.substr(prefix.size()) : outdir;
        while (!relative.empty() && relative.back() == '/') relative.pop_back();
        return relative;
    }

    static bool endsWith(const std::string& text, const std::string& tail) {
        return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
    }
};

// ---------------------------------------------------------------------------
// Files the folder should not hold

struct OddFile {
    const char* label;
    const char* name;
    std::function<std::string()> bytes;
    const char* expectedLines;  // the file's status line, after the line that says why when there is one
    bool outputExpected;        // whether an output of that name may exist afterwards
};

TEST(FaultTest, OddFilesGetTheirStatusLineAndTheRunGoesOn) {
    const cv::Mat photo = noisePhoto(96, 64, 3, 7);
    const std::string good = jpegPhoto(96, 64, 3);
    const OddFile cases[] = {
        // Truncated copies: nothing to decode, or a scan cut short, which
        // the library warns of (more of them in DamagedSourcesTest).
        {"empty file", "cut_0000.jpg", [] { return std::string(); }, "cut_0000.jpg error:I/O!", false},
        {"start marker only", "cut_0002.jpg", [&] { return good.substr(0, 2); }, "cut_0002.jpg error:I/O!", false},
        {"cut in the tables", "cut_0100.jpg", [&] { return good.substr(0, 100); },
         "cut_0100.jpg not healed: JPEG datastream contains no image\ncut_0100.jpg error:I/O!", false},
        {"cut after the frame header", "cut_sof.jpg", [&] { return good.substr(0, frameHeader(good) + 12); },
         "cut_sof.jpg not healed: Invalid JPEG file structure: missing SOS marker\ncut_sof.jpg error:I/O!", false},
        {"cut in the middle of the scan", "cut_half.jpg", [&] { return good.substr(0, good.size() / 2); },
         "cut_half.jpg not healed: Premature end of JPEG file\ncut_half.jpg error:I/O!", false},
        {"end marker missing", "cut_eoi.jpg", [&] { return good.substr(0, good.size() - 2); },
         "cut_eoi.jpg not healed: Premature end of JPEG file\ncut_eoi.jpg error:I/O!", false},
        // Mislabelled and foreign files.
        // A PNG named .jpg is no JPEG by content and takes the plain path; a
        // CMYK or YCCK JPEG is healed losslessly like any other JPEG.
        {"PNG named .jpg", "png.jpg", [&] { return encode(".png", photo); }, "png.jpg processed.", true},
        {"text named .jpg", "text.jpg", [] { return std::string("not an image at all\n"); }, "text.jpg error:I/O!",
         false},
        {"JPEG declaring 65000 by 16", "wide.jpg", [&] { return withDeclaredSize(good, 65000, 16); },
         "wide.jpg error:bad dimension!", false},
        {"arithmetic coding", "arith.jpg", [&] { return arithmeticJpeg(photo); }, "arith.jpg processed.", true},
        {"12-bit samples", "twelve.jpg", [&] { return twelveBit(good); },
         "twelve.jpg not healed: Unsupported JPEG data precision 12\ntwelve.jpg error:I/O!", false},
        {"CMYK", "cmyk.jpg", [] { return cmykJpeg(96, 64); }, "cmyk.jpg processed.", true},
        {"YCCK", "ycck.jpg", [] { return cmykJpeg(96, 64, JCS_YCCK); }, "ycck.jpg processed.", true},
        // Former bugs: the reader refuses a size beyond its pixel limit by
        // throwing, which used to end the whole run with the fatal block;
        // the size is now judged from the header before anything is read.
        {"JPEG declaring 65000 by 65000", "huge.jpg", [&] { return withDeclaredSize(good, 65000, 65000); },
         "huge.jpg error:bad dimension!", false},
        // A file of a few kilobytes whose header claims a gigapixel used to
        // be decoded (gigabytes, seconds) before its size was judged.
        {"JPEG declaring 32000 by 32000", "claims.jpg", [&] { return withDeclaredSize(good, 32000, 32000); },
         "claims.jpg error:bad dimension!", false},
        {"PNG declaring 32000 by 32000", "claims_png.jpg",
         [&] {
             std::string png = encode(".png", photo);
             for (const std::size_t at : {16u, 20u}) png.replace(at, 4, std::string("\0\0\x7d\0", 4));
             return png;
         },
         "claims_png.jpg error:bad dimension!", false},
    };
    for (const OddFile& c : cases) {
        SCOPED_TRACE(c.label);
        FaultShoot shoot;
        shoot.add("a_good.jpg", good);
        shoot.add(c.name, c.bytes());
        shoot.add("z_good.jpg", jpegPhoto(96, 64, 4));
        const ProgramRun run = shoot.heal();
        EXPECT_EQ(statusBlock(run.output),
                  std::string("a_good.jpg processed.\n") + c.expectedLines + "\nz_good.jpg processed.\n");
        EXPECT_EQ(run.status, std::string(c.expectedLines).ends_with(" processed.") ? 0 : 2);
        const std::string output = shoot.outdir + c.name;
        EXPECT_EQ(fs::exists(output), c.outputExpected);
        if (c.outputExpected) {
            const cv::Mat written = cv::imread(output, cv::IMREAD_ANYCOLOR | cv::IMREAD_IGNORE_ORIENTATION);
            EXPECT_EQ(written.size(), cv::Size(96, 64)) << "the output does not decode to the photo's size";
        }
        EXPECT_FALSE(fs::exists(shoot.outdir + "tmp_drop.jpg"));
    }
}

// ---------------------------------------------------------------------------
// Damaged sources: what the JPEG library warns of is never healed

// What djpeg, the library's own decoder, prints for a file: its warnings and
// its error, one per line; empty for a sound file.
std::vector<std::string> djpegMessages(const std::string& jpeg) {
    TempFolder work;
    writeFile(work / "in.jpg", jpeg);
    const ProgramRun run =
        testing::runProgram("/usr/bin/djpeg", {"-outfile", "/dev/null", work / "in.jpg"}, work.path());
    std::vector<std::string> lines;
    std::istringstream in(run.errors);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string jpegtran(const std::string& jpeg, const std::vector<std::string>& options) {
    TempFolder work;
    writeFile(work / "in.jpg", jpeg);
    std::vector<std::string> arguments = options;
    arguments.insert(arguments.end(), {"-copy", "all", "-outfile", work / "out.jpg", work / "in.jpg"});
    const ProgramRun run = testing::runProgram("/usr/bin/jpegtran", arguments, work.path());
    if (run.status != 0) throw std::runtime_error("jpegtran failed: " + run.errors);
    return readFile(work / "out.jpg");
}

// Offsets of the start-of-scan markers (a scan's data holds no FF DA).
std::vector<std::size_t> scanHeaders(const std::string& jpeg) {
    std::vector<std::size_t> found;
    for (std::size_t at = jpeg.find("\xFF\xDA"); at != std::string::npos; at = jpeg.find("\xFF\xDA", at + 2))
        found.push_back(at);
    return found;
}

// The file with one byte inverted, at the first place from the middle of
// its coded data on where the library warns of damage inside the image (not
// only of bytes before its end, which is allowed).
std::string flippedWhereTheLibraryWarns(const std::string& jpeg) {
    const std::size_t first = scanHeaders(jpeg).front();
    for (std::size_t at = first + (jpeg.size() - first) / 2; at + 2 < jpeg.size(); ++at) {
        std::string damaged = jpeg;
        damaged[at] = static_cast<char>(~damaged[at]);
        const std::vector<std::string> messages = djpegMessages(damaged);
        if (!messages.empty() && messages.front().find("marker 0xd9") == std::string::npos) return damaged;
    }
    throw std::runtime_error("no inverted byte makes the library warn");
}

TEST(DamagedSourcesTest, AreRefusedWithTheLibrarysReasonAndNothingIsWritten) {
    // A photo as a camera codes it, and the same recoded by jpegtran.
    const std::string baseline = jpegPhoto(320, 240, 5);
    const std::pair<const char*, std::string> codings[] = {
        {"baseline", baseline},
        {"progressive", jpegtran(baseline, {"-progressive"})},
        {"restarts", jpegtran(baseline, {"-restart", "2"})},
        {"arithmetic", jpegtran(baseline, {"-arithmetic"})},
    };
    struct Damage {
        const char* name;
        std::function<std::string(const std::string&)> apply;
    };
    const Damage damages[] = {
        {"cut25",
         [](const std::string& j) {
             return j.substr(0, scanHeaders(j).front() + (j.size() - scanHeaders(j).front()) / 4);
         }},
        {"cut50",
         [](const std::string& j) {
             return j.substr(0, scanHeaders(j).front() + (j.size() - scanHeaders(j).front()) / 2);
         }},
        {"cut75", [](const std::string& j) { return j.substr(0, j.size() - (j.size() - scanHeaders(j).front()) / 4); }},
        {"no_eoi", [](const std::string& j) { return j.substr(0, j.size() - 2); }},
        {"flipped", flippedWhereTheLibraryWarns},
    };
    for (const char* saveformat : {"jpg", "png"}) {
        SCOPED_TRACE(saveformat);
        FaultShoot shoot;
        shoot.width = 320;
        shoot.height = 240;
        shoot.saveformat = saveformat;
        std::map<std::string, std::vector<std::string>> reasons;  // name -> what djpeg says
        for (const auto& [coding, jpeg] : codings) {
            for (const Damage& damage : damages) {
                const std::string name = std::string(coding) + "_" + damage.name + ".jpg";
                const std::string damaged = damage.apply(jpeg);
                shoot.add(name, damaged);
                reasons[name] = djpegMessages(damaged);
                ASSERT_FALSE(reasons[name].empty()) << name << ": the library does not warn of it";
            }
            shoot.add(std::string(coding) + "_sound.jpg", jpeg);
        }
        // A progressive file cut between two scans decodes as a whole
        // image of fewer scans; the library warns of the end all the same.
        const std::string progressive = codings[1].second;
        shoot.add("progressive_between_scans.jpg", progressive.substr(0, scanHeaders(progressive).at(3)));
        reasons["progressive_between_scans.jpg"] = djpegMessages(progressive.substr(0, scanHeaders(progressive).at(3)));
        const ProgramRun run = shoot.heal();
        std::istringstream lines(statusBlock(run.output));
        std::map<std::string, std::string> healed;
        for (std::string line; std::getline(lines, line);) {
            const std::size_t space = line.find(' ');
            const std::string name = line.substr(0, space), rest = line.substr(space + 1);
            if (rest.rfind("not healed: ", 0) == 0) {
                ASSERT_TRUE(reasons.count(name)) << line;
                const std::string reason = rest.substr(12);
                EXPECT_NE(std::find(reasons[name].begin(), reasons[name].end(), reason), reasons[name].end())
                    << line << ": not what the library says";
                reasons.erase(name);
            } else {
                healed[name] = rest;
            }
        }
        EXPECT_TRUE(reasons.empty()) << reasons.size() << " damaged files without their reason, the first "
                                     << (reasons.empty() ? "" : reasons.begin()->first);
        for (const auto& [name, status] : healed)
            EXPECT_EQ(status, name.find("_sound") != std::string::npos ? "processed." : "error:I/O!") << name;
        for (const std::string& name : namesIn(shoot.outdir))
            EXPECT_NE(name.find("_sound."), std::string::npos) << name << " was written";
        EXPECT_EQ(namesIn(shoot.outdir).size(), 4u);
    }
}

TEST(DamagedSourcesTest, BytesBeforeTheEndOfImageAreNoDamage) {
    struct Case {
        const char* label;
        std::function<std::string()> bytes;
        int width, height;
    };
    const std::string restarts = jpegtran(jpegPhoto(96, 64, 6), {"-restart", "1"});
    const std::string samples = SPECKMEND_SAMPLES_DIR;
    const std::vector<Case> cases = {
        {"a superfluous restart marker", [&] { return restarts.substr(0, restarts.size() - 2) + "\xFF\xD4\xFF\xD9"; },
         96, 64},
        {"stray bytes", [&] { return restarts.substr(0, restarts.size() - 2) + std::string(40, 'Z') + "\xFF\xD9"; }, 96,
         64},
        // The camera sample with a superfluous restart marker before its end.
        {"dn_casio_exs1_dri4_extra_rst.jpg", [&] { return readFile(samples + "/dn_casio_exs1_dri4_extra_rst.jpg"); },
         640, 480},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string bytes = c.bytes();
        if (bytes.empty()) {
            std::cout << "skipped " << c.label << ": no camera samples in " << samples << "\n";
            continue;
        }
        for (const char* saveformat : {"jpg", "png"}) {
            SCOPED_TRACE(saveformat);
            FaultShoot shoot;
            shoot.width = c.width;
            shoot.height = c.height;
            shoot.saveformat = saveformat;
            shoot.add("a.jpg", bytes);
            const ProgramRun run = shoot.heal();
            EXPECT_EQ(statusBlock(run.output), "a.jpg processed.\n");
            EXPECT_TRUE(fs::exists(shoot.outdir + "a." + saveformat));
        }
    }
}

// ---------------------------------------------------------------------------
// Entries that are no regular file

TEST(FaultTest, EntriesThatAreNoRegularFileNeverStallTheRun) {
    // Under a watchdog: a FIFO opened for reading waits for a writer, a
    // device may never end; a run that stalls is ended with status 124.
    Limits limits;
    limits.prefix = {"/usr/bin/timeout", "120"};
    FaultShoot shoot;
    shoot.filter = "*";
    shoot.add("a.jpg", jpegPhoto(96, 64, 1));
    shoot.add("z.jpg", jpegPhoto(96, 64, 2));
    fs::create_directories(shoot.indir + "d.jpg");
    fs::create_directories(shoot.root / "elsewhere");
    fs::create_symlink(shoot.root / "elsewhere", shoot.indir + "l.jpg");
    ASSERT_EQ(mkfifo((shoot.indir + "f.jpg").c_str(), 0644), 0);
    fs::create_symlink("/dev/zero", shoot.indir + "n.jpg");
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", (shoot.indir + "s.jpg").c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const ProgramRun run = shoot.heal(limits);
    close(fd);
    // Folders, . and .. keep their bare line.
    EXPECT_EQ(statusBlock(run.output),
              ". error:I/O!\n.. error:I/O!\na.jpg processed.\nd.jpg error:I/O!\n"
              "f.jpg not healed: it is not a regular file\nf.jpg error:I/O!\nl.jpg error:I/O!\n"
              "n.jpg not healed: it is not a regular file\nn.jpg error:I/O!\n"
              "s.jpg not healed: it is not a regular file\ns.jpg error:I/O!\nz.jpg processed.\n");
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(namesIn(shoot.outdir), (std::vector<std::string>{"a.jpg", "z.jpg"}));
}

// A dark/ folder with d1.png, a frame of sixty hot pixels, and a detect
// configuration beside it that writes map.xml.
void writeDarkShoot(const TempFolder& root) {
    fs::create_directories(root / "dark");
    cv::Mat dark(120, 160, CV_8UC1, cv::Scalar(4));
    for (int i = 0; i < 60; ++i) dark.at<unsigned char>(10 + (i / 12) * 20, 5 + (i % 12) * 12) = 250;
    ASSERT_TRUE(cv::imwrite(root / "dark/d1.png", dark));
    writeFile(root / "config.xml", "<config><detect><filter>*.png</filter><indir>" + root / "dark/" +
                                       "</indir><outfile>" + root / "map.xml" +
                                       "</outfile><amount>0.99</amount></detect></config>");
}

TEST(FaultTest, AFifoAmongTheDarkFramesNeverStallsTheRun) {
    TempFolder root;
    writeDarkShoot(root);
    ASSERT_EQ(mkfifo((root / "dark/d2.png").c_str(), 0644), 0);
    fs::copy_file(root / "dark/d1.png", root / "dark/d3.png");
    Limits limits;
    limits.prefix = {"/usr/bin/timeout", "120"};
    const ProgramRun run = runLimited({"detect", root / "config.xml"}, root.path(), limits);
    EXPECT_NE(run.output.find("d1.png processed.\nd2.png not read: it is not a regular file\nd2.png error:I/O!\n"
                              "d3.png processed.\n"),
              std::string::npos)
        << run.output;
    EXPECT_EQ(run.status, 2);
}

TEST(FaultTest, ASubFolderNamedLikeAPhotoIsAnIOError) {
    FaultShoot shoot;
    shoot.filter = "*";
    shoot.add("a.jpg", jpegPhoto(96, 64));
    fs::create_directories(shoot.indir + "b.jpg");
    const ProgramRun run = shoot.heal();
    EXPECT_EQ(statusBlock(run.output), ". error:I/O!\n.. error:I/O!\na.jpg processed.\nb.jpg error:I/O!\n");
}

// ---------------------------------------------------------------------------
// An output folder that cannot be written

TEST(FaultTest, OutputFolderBelowAFileFailsEveryPhotoAndKeepsTheOriginals) {
    for (const std::string saveformat : {"jpg", "png"}) {
        SCOPED_TRACE(saveformat);
        FaultShoot shoot;
        shoot.saveformat = saveformat;
        writeFile(shoot.root / "blocker", "a file where the output folder's parent should be");
        shoot.outdir = shoot.root / "blocker/out/";
        shoot.add("a.jpg", jpegPhoto(96, 64, 1));
        shoot.add("b.jpg", jpegPhoto(96, 64, 2));
        const ProgramRun run = shoot.heal();
        const std::string why = "." + saveformat + " could not be written: Not a directory\n";
        EXPECT_EQ(statusBlock(run.output), "a.jpg not written: its output " + shoot.outdir + "a" + why +
                                               "a.jpg error:I/O!\nb.jpg not written: its output " + shoot.outdir + "b" +
                                               why + "b.jpg error:I/O!\n");
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(readFile(shoot.root / "blocker"), "a file where the output folder's parent should be");
    }
}

bool canRunAsNobody() {
    if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0) return false;
    // The built program must be reachable for the unprivileged user.
    const ProgramRun probe = testing::runProgram(
        "/usr/bin/setpriv",
        {"--reuid=65534", "--regid=65534", "--clear-groups", "/usr/bin/test", "-x", SPECKMEND_BINARY}, "/");
    return probe.status == 0;
}

TEST(FaultTest, ReadOnlyOutputFolderFailsEveryPhotoAndKeepsTheOriginals) {
    // Permission bits do not stop root, so the program runs as nobody then.
    Limits limits;
    if (geteuid() == 0) {
        if (!canRunAsNobody()) GTEST_SKIP() << "running as root without a way to drop to an unprivileged user";
        limits.prefix = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    }
    FaultShoot shoot;
    shoot.add("a.jpg", jpegPhoto(96, 64, 1));
    shoot.add("b.jpg", jpegPhoto(96, 64, 2));
    fs::create_directories(shoot.outdir);
    chmod(shoot.root.path().c_str(), 0755);
    chmod(shoot.indir.c_str(), 0755);
    chmod(shoot.outdir.c_str(), 0555);
    const ProgramRun run = shoot.heal(limits);
    EXPECT_EQ(statusBlock(run.output), "a.jpg not written: its output " + shoot.outdir +
                                           "a.jpg could not be written: Permission denied\na.jpg error:I/O!\n"
                                           "b.jpg not written: its output " +
                                           shoot.outdir +
                                           "b.jpg could not be written: Permission denied\nb.jpg error:I/O!\n");
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(namesIn(shoot.outdir).empty());
}

// ---------------------------------------------------------------------------
// A full disk and the file size limit

// Two photos of one size: the first's outputs are far larger than 16 KB in
// every format, the second (flat) fits in 16 KB as JPEG and PNG.
struct FullCase {
    const char* saveformat;
    bool secondFits;
};
const FullCase kFullCases[] = {{"jpg", true}, {"png", true}, {"bmp", false}};

void addLargeAndSmall(FaultShoot& shoot, const std::string& saveformat) {
    shoot.saveformat = saveformat;
    shoot.width = 320;
    shoot.height = 240;
    shoot.add("a.jpg", jpegPhoto(320, 240, 1));
    shoot.add("b.jpg", encode(".jpg", cv::Mat(240, 320, CV_8UC3, cv::Scalar(90, 120, 150))));
}

// The status block of that run, given the reason the writes fail with.
std::string largeAndSmallBlock(const FaultShoot& shoot, const FullCase& c, const std::string& reason) {
    auto failed = [&](const std::string& name) {
        return name + ".jpg not written: its output " + shoot.outdir + name + "." + c.saveformat +
               " could not be written: " + reason + "\n" + name + ".jpg error:I/O!\n";
    };
    return failed("a") + (c.secondFits ? std::string("b.jpg processed.\n") : failed("b"));
}

std::vector<std::string> expectedOutputs(const FullCase& c) {
    if (!c.secondFits) return {};
    return {std::string("b.") + c.saveformat};
}

TEST(FaultTest, FileSizeLimitFailsThePhotoWithItsReasonAndTheNextStillHeals) {
    for (const FullCase& c : kFullCases) {
        SCOPED_TRACE(c.saveformat);
        FaultShoot shoot;
        addLargeAndSmall(shoot, c.saveformat);
        fs::create_directories(shoot.outdir);
        Limits limits;
        limits.fileSize = 16 * 1024;
        // Former bugs: SIGXFSZ killed the run (status 153), without a status
        // line and with a cut temporary file left in the output folder.
        const ProgramRun run = shoot.heal(limits);
        EXPECT_EQ(statusBlock(run.output), largeAndSmallBlock(shoot, c, "File too large"));
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(namesIn(shoot.outdir), expectedOutputs(c)) << "a cut output or temporary file stayed";
    }
}

TEST(FaultTest, FullDiskFailsThePhotoWithItsReasonAndTheNextStillHeals) {
    // A 16 KB file system of its own for the output folder, in a mount
    // namespace of the run's own, so that nothing outlives the run.
    const ProgramRun probe =
        testing::runProgram("/usr/bin/unshare", {"-rm", "/bin/sh", "-c", "mount -t tmpfs none /mnt"}, "/");
    if (probe.status != 0) GTEST_SKIP() << "cannot mount a small file system here: " << probe.errors;
    for (const FullCase& c : kFullCases) {
        SCOPED_TRACE(c.saveformat);
        FaultShoot shoot;
        addLargeAndSmall(shoot, c.saveformat);
        fs::create_directories(shoot.outdir);
        shoot.writeFiles();
        const std::string script = "mount -t tmpfs -o size=16k none '" + shoot.outdir +
                                   "' && '" SPECKMEND_BINARY "' heal '" + shoot.root / "config.xml" + "' '" +
                                   shoot.root / "hotpixels.xml" +
                                   "' </dev/null; s=$?; echo; echo \"status $s\"; ls -A '" + shoot.outdir + "'";
        const ProgramRun run = testing::runProgram("/usr/bin/unshare", {"-rm", "/bin/sh", "-c", script}, "/");
        EXPECT_EQ(statusBlock(run.output), largeAndSmallBlock(shoot, c, "No space left on device"));
        const std::string after = run.output.substr(run.output.rfind("\nstatus ") + 1);
        EXPECT_EQ(after, "status 2\n" + (c.secondFits ? std::string("b.") + c.saveformat + "\n" : std::string()))
            << "a cut output or temporary file stayed";
    }
}

TEST(FaultTest, FullDiskWhileWritingTheMapEndsWithTheWriteMessage) {
    TempFolder root;
    writeDarkShoot(root);
    const auto before = snapshot(root.path());
    Limits limits;
    limits.fileSize = 512;  // the map of sixty hot pixels needs about two kilobytes
    const ProgramRun run = runLimited({"detect", root / "config.xml"}, root.path(), limits);
    EXPECT_NE(run.output.find("\nCRITICAL ERROR: cannot write outfile [" + root / "map.xml" +
                              "]. Fix the problem and try again."),
              std::string::npos)
        << run.output;
    EXPECT_EQ(run.status, 1);
    auto after = snapshot(root.path());
    after.erase("map.xml");  // the part written before the disk filled stays, as documented
    EXPECT_EQ(after, before);
}

// ---------------------------------------------------------------------------
// A console that goes away, and signals during a heal

// Files in the output folder that are left over from a write in progress.
std::vector<std::string> temporariesIn(const std::string& folder) {
    std::vector<std::string> found;
    for (const std::string& name : namesIn(folder))
        if (name.rfind(".speckmend-", 0) == 0) found.push_back(name);
    return found;
}

// A shoot of photos large enough that healing them takes a while, and the
// files a complete run writes for it (in `reference/`).
struct SlowShoot : FaultShoot {
    std::map<std::string, std::string> reference;

    explicit SlowShoot(int photos, int width = 1600, int height = 1200) {
        this->width = width;
        this->height = height;
        pixels.clear();
        for (int i = 0; i < 40; ++i) pixels.push_back({(i * 397) % width, (i * 211) % height, 3});
        for (int i = 0; i < photos; ++i) add("p" + std::to_string(10 + i) + ".jpg", jpegPhoto(width, height, 100 + i));
        const std::string final = outdir;
        outdir = root / "reference/";
        writeFiles();
        const ProgramRun run = runLimited({"heal", root / "config.xml", root / "hotpixels.xml"}, root.path(), {});
        EXPECT_EQ(run.status, 0);
        for (const std::string& name : namesIn(outdir)) reference[name] = readFile(outdir + name);
        EXPECT_EQ(reference.size(), static_cast<std::size_t>(photos));
        outdir = final;
        writeFiles();
    }

    // Every output present is exactly the complete run's, and nothing else is there.
    void expectOnlyCompleteOutputs() const {
        EXPECT_EQ(temporariesIn(outdir), std::vector<std::string>{}) << "a temporary file was left";
        for (const std::string& name : namesIn(outdir)) {
            const auto expected = reference.find(name);
            ASSERT_NE(expected, reference.end()) << name;
            EXPECT_TRUE(readFile(outdir + name) == expected->second) << name << " is not complete";
        }
    }
};

pid_t startHeal(const FaultShoot& shoot, int stdoutFd) {
    const std::string program = SPECKMEND_BINARY;
    std::vector<std::string> args = {program, "heal", shoot.root / "config.xml", shoot.root / "hotpixels.xml"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(shoot.root.path().c_str()) != 0) _exit(126);
        const int in = open("/dev/null", O_RDONLY);
        dup2(in, STDIN_FILENO);
        if (stdoutFd < 0)
            close(STDOUT_FILENO);
        else
            dup2(stdoutFd, STDOUT_FILENO);
        execve(argv[0], argv.data(), environ);
        _exit(127);
    }
    return pid;
}

struct ConsoleCase {
    const char* name;
    const char* device;  // standard output opened on it; nullptr: closed
};

class ClosedConsoleTest : public ::testing::TestWithParam<ConsoleCase> {};

TEST_P(ClosedConsoleTest, EndsTheRunBeforeAnyPhotoWithStatusThree) {
    FaultShoot shoot;
    shoot.add("a.jpg", jpegPhoto(96, 64, 1));
    shoot.add("b.jpg", jpegPhoto(96, 64, 2));
    shoot.writeFiles();
    const auto before = snapshot(shoot.root.path());
    int fd = -1;
    if (GetParam().device) {
        ASSERT_GE(fd = open(GetParam().device, O_WRONLY), 0);
    }
    const pid_t pid = startHeal(shoot, fd);
    if (fd >= 0) close(fd);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 3);
    // Nothing written: no output folder, and no file took in console text.
    EXPECT_EQ(snapshot(shoot.root.path()), before);
}

INSTANTIATE_TEST_SUITE_P(Consoles, ClosedConsoleTest,
                         ::testing::Values(ConsoleCase{"full_device", "/dev/full"},
                                           // former bugs: the first file the run opened became its
                                           // standard output and took in the console text
                                           ConsoleCase{"closed", nullptr}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FaultTest, PipeIntoHeadEndsTheRunWithStatusThreeAndCompleteOutputs) {
    // speckmend heal ... | head -n 3, as a user types it.
    SlowShoot shoot(8);
    const std::string command = "'" SPECKMEND_BINARY "' heal '" + shoot.root / "config.xml" + "' '" +
                                shoot.root / "hotpixels.xml" +
                                "' </dev/null | head -n 3; echo \"status ${PIPESTATUS[0]}\"";
    const ProgramRun run = testing::runProgram("/bin/bash", {"-c", command}, shoot.root.path());
    EXPECT_EQ(run.output, "\n***** Speckmend v1.02 by the Speckmend team *****\n\nstatus 3\n");
    EXPECT_LT(namesIn(shoot.outdir).size(), 8u) << "the run went on after its reader had gone";
    shoot.expectOnlyCompleteOutputs();
}

struct SignalCase {
    const char* name;
    int signo;
};

class InterruptedHealTest : public ::testing::TestWithParam<SignalCase> {};

TEST_P(InterruptedHealTest, LeavesOnlyCompleteOutputsAndEndsWithTheSignal) {
    SlowShoot shoot(10);
    fs::create_directories(shoot.outdir);
    const int sink = open("/dev/null", O_WRONLY);
    const pid_t pid = startHeal(shoot, sink);
    close(sink);
    // Strike while the run is writing: once its first file has appeared.
    for (int i = 0; i < 20000 && namesIn(shoot.outdir).empty(); ++i) usleep(500);
    kill(pid, GetParam().signo);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
    EXPECT_EQ(WTERMSIG(status), GetParam().signo);
    EXPECT_LT(namesIn(shoot.outdir).size(), 10u) << "the signal came too late to test anything";
    shoot.expectOnlyCompleteOutputs();
}

INSTANTIATE_TEST_SUITE_P(Signals, InterruptedHealTest,
                         ::testing::Values(SignalCase{"SIGINT", SIGINT}, SignalCase{"SIGTERM", SIGTERM}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Hand-made and hostile map and configuration files

// The count checks scale: under the sanitizers, which slow the reading, the
// echo and the heal many times over, a tenth of it takes the same paths; the
// plain suite keeps the million.
TEST(FaultTest, AMillionHotPixelsAreReadEchoedAndHealed) {
    FaultShoot shoot;
    std::string map = "<?xml version=\"1.0\"?>\n<hotpixels>\n <width>96</width>\n <height>64</height>\n";
#ifdef SPECKMEND_TESTS_UNDER_SANITIZERS
    constexpr int kCount = 100000;
#else
    constexpr int kCount = 1000000;
#endif
    map.reserve(map.size() + kCount * 32);
    for (int i = 0; i < kCount; ++i)
        map += " <pix x=\"" + std::to_string(i % 4000) + "\" y=\"" + std::to_string(i / 4000) + "\" r=\"1\"/>\n";
    shoot.mapText = map + "</hotpixels>";
    shoot.add("a.jpg", jpegPhoto(96, 64));
    const ProgramRun run = shoot.heal();
    std::size_t echoes = 0;
    for (std::size_t at = run.output.find("hotpixel at "); at != std::string::npos;
         at = run.output.find("hotpixel at ", at + 1))
        ++echoes;
    EXPECT_EQ(echoes, static_cast<std::size_t>(kCount));
    EXPECT_EQ(statusBlock(run.output), "a.jpg processed.\n");
    EXPECT_EQ(run.status, 0);
}

TEST(FaultTest, CoordinatesBeyondThirtyTwoBitsNeverReachTheImage) {
    FaultShoot shoot;
    shoot.mapText =
        "<hotpixels><width>96</width><height>64</height>"
        "<pix x=\"4294967296\" y=\"3\" r=\"2\"/>"           // 2^32
        "<pix x=\"2147483648\" y=\"2147483648\" r=\"1\"/>"  // 2^31
        "<pix x=\"5\" y=\"99999999999999999999\" r=\"3\"/>"
        "<pix x=\"2147483647\" y=\"2147483647\" r=\"2147483647\"/>"
        "<pix x=\"10\" y=\"10\" r=\"4294967297\"/>"
        "<pix x=\"30\" y=\"30\" r=\"2\"/></hotpixels>";
    const std::string photo = jpegPhoto(96, 64);
    shoot.add("a.jpg", photo);
    shoot.saveformat = "jpg";
    const ProgramRun run = shoot.heal();
    EXPECT_EQ(statusBlock(run.output), "a.jpg processed.\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.output.find("hotpixel at 30,30 with r=2\n"), std::string::npos);
    EXPECT_TRUE(fs::exists(shoot.outdir + "a.jpg"));
}

TEST(FaultTest, BillionLaughsConfigurationIsRefusedQuickly) {
    std::string entities = "<!ENTITY l0 \"ha\">";
    for (int i = 1; i <= 10; ++i)
        entities += "<!ENTITY l" + std::to_string(i) + " \"" + [&] {
            std::string ten;
            for (int k = 0; k < 10; ++k) ten += "&l" + std::to_string(i - 1) + ";";
            return ten;
        }() + "\">";
    for (const std::string where : {"<indir>&l10;</indir>", "<filter>&l10;</filter><indir>in/</indir>"}) {
        SCOPED_TRACE(where);
        TempFolder root;
        writeFile(root / "config.xml", "<?xml version=\"1.0\"?>\n<!DOCTYPE config [" + entities +
                                           "]>\n<config><detect>" + where +
                                           "<outfile>m.xml</outfile></detect></config>");
        const auto before = snapshot(root.path());
        const ProgramRun run = runLimited({"detect", root / "config.xml"}, root.path(), {});
        EXPECT_NE(run.output.find("\nCRITICAL ERROR: configfile does not exist or not valid. Correct and try again.\n"),
                  std::string::npos)
            << run.output.substr(0, 2000);
        EXPECT_EQ(run.status, 1);
        EXPECT_LT(run.output.size(), 100000u) << "the entities were expanded";
        EXPECT_EQ(snapshot(root.path()), before);
    }
}

}  // namespace
}  // namespace speckmend
