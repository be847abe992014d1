// Judging a JPEG's coded data: damage the library warns of is found, the
// bytes a camera may leave before the end of image are not damage, and the
// coefficient read of the lossless path judges every file alike.
#include "heal/jpeg/jpeg_data_check.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "heal/jpeg/jpeg_rewrite.h"
#include "jpeg_harness.h"

namespace speckmend {
namespace {

using namespace speckmend::testing;
using Bytes = std::vector<unsigned char>;

// Offsets of the markers FF code after the first scan header (before it,
// table bytes could look like markers).
std::vector<std::size_t> markersAfterFirstScan(const Bytes& jpeg, const std::function<bool(int)>& code) {
    std::vector<std::size_t> found;
    std::size_t at = 2;
    while (at + 1 < jpeg.size() && !(jpeg[at] == 0xFF && jpeg[at + 1] == 0xDA)) ++at;
    for (++at; at + 1 < jpeg.size(); ++at)
        if (jpeg[at] == 0xFF && code(jpeg[at + 1])) found.push_back(at);
    return found;
}

bool isRestart(int code) { return code >= 0xD0 && code <= 0xD7; }

Bytes inserted(Bytes jpeg, std::size_t at, const Bytes& what) {
    jpeg.insert(jpeg.begin() + static_cast<long>(at), what.begin(), what.end());
    return jpeg;
}

// Bytes that are no marker and no stuffing.
const Bytes kStrayBytes(40, 0x5A);

struct Case {
    const char* label;
    SourceRecipe recipe;
    std::function<Bytes(const Bytes&)> damage;
    const char* expected;  // part of the damage message; "" for a sound file
    bool givesUp = false;  // the library ends with an error instead
};

SourceRecipe restarts() {
    return with(recipe(150, 90, {{2, 2}, {1, 1}, {1, 1}}), [](SourceRecipe& s) { s.restartInterval = 2; });
}
SourceRecipe progressive() {
    return with(recipe(150, 90, {{2, 2}, {1, 1}, {1, 1}}), [](SourceRecipe& s) { s.progressive = true; });
}
SourceRecipe arithmetic() {
    return with(recipe(150, 90, {{2, 1}, {1, 1}, {1, 1}}), [](SourceRecipe& s) { s.arithmetic = true; });
}
SourceRecipe baseline() { return recipe(150, 90, {{2, 2}, {1, 1}, {1, 1}}); }

std::vector<Case> cases() {
    auto cutAt = [](int percent) {
        return [percent](const Bytes& j) {
            return Bytes(j.begin(), j.begin() + static_cast<long>(j.size() * percent / 100));
        };
    };
    auto beforeEnd = [](const Bytes& what) {
        return [what](const Bytes& j) { return inserted(j, j.size() - 2, what); };
    };
    return {
        // Sound: every block decodes as it was coded.
        {"sound baseline", baseline(), [](const Bytes& j) { return j; }, ""},
        {"sound progressive", progressive(), [](const Bytes& j) { return j; }, ""},
        {"stray bytes before the end of image", baseline(), beforeEnd(kStrayBytes), ""},
        {"stray bytes before the end of a progressive image", progressive(), beforeEnd(kStrayBytes), ""},
        {"a superfluous restart marker before the end of image", restarts(),
         [](const Bytes& j) {
             const std::size_t count = markersAfterFirstScan(j, isRestart).size();
             return inserted(j, j.size() - 2, {0xFF, static_cast<unsigned char>(0xD0 + count % 8)});
         },
         ""},
        // Cut short.
        {"baseline cut in its scan", baseline(), cutAt(60), "Premature end of JPEG file"},
        {"baseline without its end of image", baseline(), [](const Bytes& j) { return Bytes(j.begin(), j.end() - 2); },
         "Premature end of JPEG file"},
        {"restart intervals cut in the scan", restarts(), cutAt(50), "Premature end of JPEG file"},
        {"progressive cut in a scan", progressive(), cutAt(70), "Premature end of JPEG file"},
        {"progressive cut between scans", progressive(),
         [](const Bytes& j) {
             const auto scans = markersAfterFirstScan(j, [](int c) { return c == 0xDA; });
             return Bytes(j.begin(), j.begin() + static_cast<long>(scans.at(2)));
         },
         "Premature end of JPEG file"},
        {"arithmetic cut in its scan", arithmetic(), cutAt(60), "Premature end of JPEG file"},
        // Corrupted: data where it does not belong.
        {"stray bytes before a restart marker", restarts(),
         [](const Bytes& j) { return inserted(j, markersAfterFirstScan(j, isRestart).at(3), kStrayBytes); },
         "extraneous bytes before marker 0xd3"},
        {"a restart marker missing", restarts(),
         [](const Bytes& j) {
             Bytes damaged = j;
             const std::size_t at = markersAfterFirstScan(j, isRestart).at(3);
             damaged.erase(damaged.begin() + static_cast<long>(at), damaged.begin() + static_cast<long>(at + 2));
             return damaged;
         },
         "extraneous bytes before marker 0xd4"},
        {"stray bytes between progressive scans", progressive(),
         [](const Bytes& j) {
             return inserted(j, markersAfterFirstScan(j, [](int c) { return c == 0xDA; }).at(2), kStrayBytes);
         },
         "extraneous bytes before marker 0xda"},
        // Stray bytes in the header harm no block, but the library guessed
        // where the next segment starts: judged damage like any warning.
        {"stray bytes between header segments", baseline(),
         [](const Bytes& j) {
             return inserted(j, 2, {0x00, 0x11});
         },
         "extraneous bytes before marker 0xe0"},
        {"a marker the library does not know inside the scan", baseline(),
         [](const Bytes& j) {
             Bytes damaged = j;
             damaged[damaged.size() / 2] = 0xFF;
             damaged[damaged.size() / 2 + 1] = 0x04;
             return damaged;
         },
         "Unsupported marker type 0x04", true},
        // Former bugs: none yet.
    };
}

TEST(JpegDataCheck, FindsWhatTheLibraryWarnsOfAndAgreesWithTheCoefficientRead) {
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.label);
        const Bytes jpeg = c.damage(makeSourceBytes(c.recipe));
        JpegDataCheck check;
        std::string diagnostic, damage;
        ASSERT_TRUE(check.readHeader(jpeg, diagnostic)) << diagnostic;
        EXPECT_EQ(check.width(), c.recipe.width);
        EXPECT_EQ(check.height(), c.recipe.height);
        const bool read = check.readData(damage, diagnostic);
        JpegRewrite rewrite;
        std::string rewriteDiagnostic;
        const bool rewriteRead = rewrite.read(jpeg, rewriteDiagnostic);
        if (c.givesUp) {
            EXPECT_FALSE(read);
            EXPECT_NE(diagnostic.find(c.expected), std::string::npos) << diagnostic;
            EXPECT_FALSE(rewriteRead);
            EXPECT_EQ(rewriteDiagnostic, diagnostic);
            continue;
        }
        ASSERT_TRUE(read) << diagnostic;
        ASSERT_TRUE(rewriteRead) << rewriteDiagnostic;
        if (*c.expected == '\0')
            EXPECT_EQ(damage, "");
        else
            EXPECT_NE(damage.find(c.expected), std::string::npos) << damage;
        EXPECT_EQ(reinterpret_cast<const JpegErrorManager*>(rewrite.source()->err)->damage, damage);
    }
}

TEST(JpegDataCheck, NotAJpegIsRefusedAtItsHeader) {
    const Bytes text = {'n', 'o', 't', ' ', 'a', ' ', 'J', 'P', 'E', 'G'};
    JpegDataCheck check;
    std::string diagnostic;
    EXPECT_FALSE(check.readHeader(text, diagnostic));
    EXPECT_NE(diagnostic.find("Not a JPEG file"), std::string::npos) << diagnostic;
}

}  // namespace
}  // namespace speckmend
