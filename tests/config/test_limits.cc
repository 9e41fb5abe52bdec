// Numbers at and beyond the limits of 32 bits, in every numeric field of
// the language, and configuration paths that are not configuration files.
// A number beyond 32 bits must never wrap around into the valid range, and
// a gain must never become infinite or NaN.

#include <math.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "convconf.h"
#include "helpers.h"

namespace {

const int RATE = 48000;
const int PERIOD = 64;

struct Case
{
    std::string text;
    int result;
    std::string err;
};

// Values around the 32-bit limits, with what "/convolver/new" says of each
// as its number of inputs (all are out of range).
struct Big
{
    const char *text;
    const char *shown;
};
const Big bigs[] = {
    {"2147483647", "2147483647"},
    {"2147483648", "-2147483648"},
    {"4294967295", "-1"},
    {"4294967296", "-1"},            // would wrap to 0
    {"4294967297", "-1"},            // would wrap to 1, a valid count
    {"4294967360", "-1"},            // would wrap to 64
    {"18446744073709551617", "-1"},  // beyond 64 bits
    {"99999999999999999999999999", "-1"},
    {"-1", "-1"},
    {"-2147483648", "-2147483648"},
    {"-4294967295", "-2147483648"},  // would wrap to 1
    {"-18446744073709551615", "-2147483648"},
};

}  // namespace

TEST(ConfigLimits, ConvolverFields)
{
    TempDir dir;
    const char *const messages[] = {"Number of inputs", "Number of outputs", "Convolver size",
                                    "Number of threads"};
    const char *const good[] = {"2", "2", "64", "1"};
    for (int field = 0; field < 4; field++) {
        for (const Big &b : bigs) {
            std::string args;
            for (int i = 0; i < 4; i++) args += std::string(" ") + (i == field ? b.text : good[i]);
            std::string text = "/convolver/new" + args + "\n";
            SCOPED_TRACE(text);
            Convconf conf(RATE, PERIOD);
            std::string path = dir.write("conf", text);
            StderrCapture cap;
            cap.start();
            EXPECT_EQ(conf.read(path.c_str()), 1);
            EXPECT_EQ(cap.stop(), std::string("Line 1: ") + messages[field] + " (" + b.shown +
                                      ") is out of range.\n");
            EXPECT_EQ(conf.convolver, nullptr);
        }
    }
}

TEST(ConfigLimits, PortNumbersAndGains)
{
    TempDir dir;
    write_sound(dir.file("one.wav"), RATE, 2, std::vector<float>(2 * 64, 0.25f));
    const std::string NEW = "/convolver/new 2 2 64 1\n";
    std::vector<Case> cases;
    // Every port number of every command that takes one.
    for (const Big &b : bigs) {
        std::string k = b.text;
        for (const char *cmd : {"/input/name ", "/output/name "}) {
            cases.push_back({NEW + cmd + k + " a\n", 8, "Line 2: Bad input or output number.\n"});
        }
        for (const char *cmd : {"/input/gain ", "/input/dbgain ", "/output/gain ", "/output/dbgain "}) {
            cases.push_back({NEW + cmd + k + " 1\n", 8, "Line 2: Bad input or output number.\n"});
        }
        for (const char *cmd : {"/matrix/load_output ", "/matrix/load_input "}) {
            cases.push_back({NEW + cmd + k + " 1 one.wav\n", 1,
                             "Line 2: Input or output number (" + std::string(b.shown) +
                                 ") is out of range.\n"});
        }
    }
    // Gains at the limits of single precision are taken; beyond them, or
    // not numbers at all, they are refused.
    const char *const taken[] = {"3.4028234e38", "-3.4028234e38", "1.4e-45", "0", "-0"};
    const char *const refused[] = {"3.5e38", "-1e39", "1e999", "inf", "-inf", "nan", "-nan", "INFINITY"};
    for (const char *cmd : {"/input/gain 1 ", "/output/gain 2 "}) {
        for (const char *g : taken) cases.push_back({NEW + cmd + g + "\n", 0, ""});
        for (const char *g : refused) {
            cases.push_back({NEW + cmd + g + "\n", 3, "Line 2: Bad or missing parameters.\n"});
        }
    }
    // 10^(dB/20) overflows single precision above about 770 dB.
    for (const char *cmd : {"/input/dbgain 2 ", "/output/dbgain 1 "}) {
        for (const char *g : {"770", "-1e30", "-inf"}) cases.push_back({NEW + cmd + g + "\n", 0, ""});
        for (const char *g : {"771", "1e30", "3.5e38", "inf", "nan"}) {
            cases.push_back({NEW + cmd + g + "\n", 3, "Line 2: Bad or missing parameters.\n"});
        }
    }
    for (const char *g : {"3.4028234e38", "0", "-1e-40"}) {
        cases.push_back({NEW + "/matrix/load " + g + " one.wav\n", 0, ""});
        cases.push_back({NEW + "/matrix/load_output 1 " + g + " one.wav\n", 0, ""});
    }
    for (const char *g : {"3.5e38", "inf", "nan"}) {
        cases.push_back({NEW + "/matrix/load " + g + " one.wav\n", 3, "Line 2: Bad or missing parameters.\n"});
        cases.push_back({NEW + "/matrix/load_input 2 " + g + " one.wav\n", 3,
                         "Line 2: Bad or missing parameters.\n"});
    }
    // Finite gains whose product is not.
    cases.push_back({NEW + "/input/gain 1 1e30\n/output/gain 2 1e30\n/matrix/load 1 one.wav\n", 3,
                     "Line 4: Bad or missing parameters.\n"});
    cases.push_back({NEW + "/input/gain 2 3e38\n/matrix/load_input 2 2 one.wav\n", 3,
                     "Line 3: Bad or missing parameters.\n"});
    cases.push_back({NEW + "/input/gain 2 3e38\n/matrix/load_input 1 2 one.wav\n", 0, ""});

    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        Convconf conf(RATE, PERIOD);
        std::string path = dir.write("conf", c.text);
        StderrCapture cap;
        cap.start();
        EXPECT_EQ(conf.read(path.c_str()), c.result);
        EXPECT_EQ(cap.stop(), c.err);
        EXPECT_EQ(conf.impfile.mode(), Soundfile::MODE_NONE);
        for (int k = 0; k < 2; k++) {
            EXPECT_TRUE(isfinite(conf.inp_gains[k])) << k;
            EXPECT_TRUE(isfinite(conf.out_gains[k])) << k;
        }
    }
}

// A name or gain command with a number just inside the count works; the
// numbers above must not have reached any port.
TEST(ConfigLimits, NoWrapIntoValidPorts)
{
    TempDir dir;
    Convconf conf(RATE, PERIOD);
    std::string path = dir.write("conf",
                                 "/convolver/new 2 2 64 1\n"
                                 "/input/name 2 b\n"
                                 "/input/gain 2 0.5\n");
    ASSERT_EQ(conf.read(path.c_str()), 0);
    for (const Big &b : bigs) {
        std::string text = std::string("/input/name ") + b.text + " wrapped\n/output/gain " + b.text + " 9\n";
        Convconf c2(RATE, PERIOD);
        std::string p2 = dir.write("conf2", "/convolver/new 2 2 64 1\n" + text);
        StderrCapture cap;
        cap.start();
        c2.read(p2.c_str());
        cap.stop();
        for (int k = 0; k < 2; k++) {
            EXPECT_EQ(c2.inp_names[k], nullptr) << b.text;
            EXPECT_EQ(c2.out_gains[k], 1.0f) << b.text;
        }
    }
    EXPECT_STREQ(conf.inp_names[1], "b");
    EXPECT_EQ(conf.inp_gains[1], 0.5f);
}

// Paths that open but are not configuration files.
TEST(ConfigLimits, ConfigurationPathsThatAreNoFiles)
{
    TempDir dir;
    mkdir(dir.file("sub").c_str(), 0755);
    write_sound(dir.file("sound.wav"), RATE, 1, std::vector<float>(100, 0.5f));
    dir.write("empty", "");
    struct
    {
        std::string path;
        int result;
        bool cant_open;
    } cases[] = {
        {dir.file("sub"), -1, true},
        {dir.path, -1, true},
        {"/", -1, true},
        {dir.file("empty"), 0, false},
        {"/dev/null", 0, false},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.path);
        Convconf conf(RATE, PERIOD);
        StderrCapture cap;
        cap.start();
        EXPECT_EQ(conf.read(c.path.c_str()), c.result);
        std::string err = cap.stop();
        if (c.cant_open) EXPECT_EQ(err, "Can't open '" + c.path + "' for reading\n");
        else EXPECT_EQ(err, "");
        EXPECT_EQ(conf.convolver, nullptr);
    }
    // Binary files are refused at their first line, which is neither a
    // comment, a blank line nor a command.
    for (std::string path : {dir.file("sound.wav"), std::string("/proc/self/exe")}) {
        SCOPED_TRACE(path);
        Convconf conf(RATE, PERIOD);
        StderrCapture cap;
        cap.start();
        EXPECT_EQ(conf.read(path.c_str()), 2);
        EXPECT_EQ(cap.stop(), "Line 1: Syntax error.\n");
    }
}
