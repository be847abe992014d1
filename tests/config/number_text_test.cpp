// The leading-number rules, including their independence of the C locale.
#include "config/number_text.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <clocale>
#include <cstdlib>
#include <string>

#include "test_support.h"

namespace speckmend {
namespace {

struct IntRow {
    const char* text;
    std::int32_t value;
};

TEST(LeadingInt, Table) {
    const IntRow rows[] = {
        // plain numbers and signs
        {"0", 0},
        {"32", 32},
        {"-50", -50},
        {"+7", 7},
        {"-0", 0},
        {"007", 7},
        // leading white space is skipped, the first other character ends the number
        {"  12", 12},
        {"\t\n\v\f\r9", 9},
        {"12px", 12},
        {"12 34", 12},
        {"2.5", 2},
        {"3,0", 3},
        // no digits
        {"", 0},
        {"abc", 0},
        {"-", 0},
        {"+", 0},
        {"- 5", 0},
        {"+-5", 0},
        {" ", 0},
        // no other number forms
        {"0x10", 0},
        {"1e3", 1},
        {"inf", 0},
        {"nan", 0},
        {"\xc2\xa0"
         "5",
         0},
        // the ends of the 32-bit range, and beyond them saturation
        {"2147483647", 2147483647},
        {"-2147483648", -2147483647 - 1},
        {"2147483648", 2147483647},
        {"-2147483649", -2147483647 - 1},
        {"99999999999999999999999999", 2147483647},
        {"-99999999999999999999999999", -2147483647 - 1},
        {"4294967296", 2147483647},
        {"00000000000000000000000000012", 12},
    };
    for (const IntRow& row : rows) EXPECT_EQ(leadingInt(row.text), row.value) << '"' << row.text << '"';
}

struct RealRow {
    const char* text;
    double value;
};

TEST(LeadingReal, Table) {
    const RealRow rows[] = {
        // decimal point and fractions
        {"0.995", 0.995},
        {"3", 3.0},
        {"-1.5", -1.5},
        {"+2.25", 2.25},
        {".5", 0.5},
        {"5.", 5.0},
        {"  0.999", 0.999},
        {"60.0x", 60.0},
        // a comma is not a decimal separator
        {"0,999", 0.0},
        {"3,0", 3.0},
        {"60,0", 60.0},
        {"0,995", 0.0},
        // exponents, and letters that only look like one
        {"1e3", 1000.0},
        {"2.5E-2", 0.025},
        {"1e+2", 100.0},
        {"5e", 5.0},
        {"5e+", 5.0},
        {"5ex", 5.0},
        {"1e3.5", 1000.0},
        // no number
        {"", 0.0},
        {"abc", 0.0},
        {".", 0.0},
        {"-.", 0.0},
        {"e5", 0.0},
        {"-e5", 0.0},
        // no hexadecimal, infinity or not-a-number
        {"0x10", 0.0},
        {"0x1p3", 0.0},
        {"inf", 0.0},
        {"-infinity", 0.0},
        {"nan", 0.0},
        {"NAN(1)", 0.0},
        // out of range: saturate instead of turning infinite
        {"1e999", DBL_MAX},
        {"-1e999", -DBL_MAX},
        {"1e-999", 0.0},
    };
    for (const RealRow& row : rows) EXPECT_EQ(leadingReal(row.text), row.value) << '"' << row.text << '"';
}

// Builds a German locale in a temporary folder when the system has none
// installed; null when that is not possible either.
class GermanNumerics {
public:
    GermanNumerics() {
        previous_ = std::setlocale(LC_NUMERIC, nullptr);
        for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE"}) {
            if (std::setlocale(LC_NUMERIC, name) != nullptr) return;
        }
        const std::string command = "localedef -i de_DE -f UTF-8 '" + (folder_ / "de_DE.UTF-8") + "' >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0) return;
        setenv("LOCPATH", folder_.path().c_str(), 1);
        std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
    }
    ~GermanNumerics() {
        std::setlocale(LC_NUMERIC, previous_.c_str());
        unsetenv("LOCPATH");
    }
    // The locale counts as active only when the C library really reads a
    // comma as the decimal point now.
    bool active() const { return std::strtod("0,5", nullptr) == 0.5; }

private:
    testing::TempFolder folder_;
    std::string previous_;
};

TEST(LeadingReal, GermanNumericLocaleChangesNothing) {
    GermanNumerics german;
    if (!german.active()) GTEST_SKIP() << "no German locale available or buildable";
    EXPECT_EQ(leadingReal("0.995"), 0.995);
    EXPECT_EQ(leadingReal("0,995"), 0.0);
    EXPECT_EQ(leadingReal("3,0"), 3.0);
    EXPECT_EQ(leadingReal("2.5E-2"), 0.025);
    EXPECT_EQ(leadingInt("1.234"), 1);
}

}  // namespace
}  // namespace speckmend
