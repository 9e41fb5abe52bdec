// The configuration reader: line syntax, status codes and messages, line
// numbers, the name and gain commands, the convolver's life, over-long and
// malformed lines.

#include <math.h>
#include <sys/resource.h>

#include <random>
#include <string>

#include <gtest/gtest.h>

#include "convconf.h"
#include "denseconv.h"
#include "helpers.h"

using namespace std::string_literals;

namespace {

const int RATE = 48000;
const int PERIOD = 64;

struct ReaderCase
{
    std::string text;
    int result;
    std::string err;
};

const std::string NEW = "/convolver/new 2 2 64 1\n";

const ReaderCase reader_cases[] = {
    // Blank and comment lines.
    {"", 0, ""},
    {"# comment\n\n   \n\t# indented\n#\n", 0, ""},
    {"\x01 control\n\xff\xfe\n\xc3\xa9t\xc3\xa9\n", 0, ""},
    {"   \x01x\n \t\x80\n", 0, ""},
    {"# no final newline", 0, ""},
    {"\r\n", 0, ""},
    // Syntax errors, numbered from 1 with blank and comment lines counted.
    {"word\n", 2, "Line 1: Syntax error.\n"},
    {"# c\n\n  \nx\n", 2, "Line 4: Syntax error.\n"},
    {" /convolver/new 1 1 64 1\n", 2, "Line 1: Syntax error.\n"},
    {"\t/cd x\n", 2, "Line 1: Syntax error.\n"},
    {"\n\n\n\\\n", 2, "Line 4: Syntax error.\n"},
    // Unknown commands: exact words, case included.
    {"/Convolver/new 1 1 64 1\n", 6, "Line 1: Unknown command.\n"},
    {"/input/names 1 a\n", 6, "Line 1: Unknown command.\n"},
    {"/\n", 6, "Line 1: Unknown command.\n"},
    {"/input/gain2 1 1\n", 6, "Line 1: Unknown command.\n"},
    {"#\n/cd x\n/matrix\n", 6, "Line 3: Unknown command.\n"},
    // The command word ends at white space, a control character or a byte
    // from 0x80 up.
    {"/cd\tdir\n", 0, ""},
    {"/cd\x80" "dir\n", 0, ""},
    {"/cd\x01" "dir\n", 0, ""},
    {"/cd dir\r\n", 0, ""},
    // "/convolver/new": parameters, then the ranges in their order.
    {"/convolver/new 1 1 64\n", 3, "Line 1: Bad or missing parameters.\n"},
    {"/convolver/new\n", 3, "Line 1: Bad or missing parameters.\n"},
    {"/convolver/new 1 1 x 1\n", 3, "Line 1: Bad or missing parameters.\n"},
    {"\n/convolver/new 0 1 64 1\n", 1, "Line 2: Number of inputs (0) is out of range.\n"},
    {"/convolver/new 65 1 64 1\n", 1, "Line 1: Number of inputs (65) is out of range.\n"},
    {"/convolver/new -1 1 64 1\n", 1, "Line 1: Number of inputs (-1) is out of range.\n"},
    {"/convolver/new 1 0 64 1\n", 1, "Line 1: Number of outputs (0) is out of range.\n"},
    {"/convolver/new 1 65 64 1\n", 1, "Line 1: Number of outputs (65) is out of range.\n"},
    {"/convolver/new 1 1 15 1\n", 1, "Line 1: Convolver size (15) is out of range.\n"},
    {"/convolver/new 1 1 4097 1\n", 1, "Line 1: Convolver size (4097) is out of range.\n"},
    {"/convolver/new 1 1 0 1\n", 1, "Line 1: Convolver size (0) is out of range.\n"},
    {"/convolver/new 1 1 64 0\n", 1, "Line 1: Number of threads (0) is out of range.\n"},
    {"/convolver/new 1 1 64 17\n", 1, "Line 1: Number of threads (17) is out of range.\n"},
    {"/convolver/new 65 0 4097 17\n", 1, "Line 1: Number of inputs (65) is out of range.\n"},
    {"/convolver/new 64 0 4097 17\n", 1, "Line 1: Number of outputs (0) is out of range.\n"},
    {"/convolver/new 64 64 4097 17\n", 1, "Line 1: Convolver size (4097) is out of range.\n"},
    {"/convolver/new 1 1 16 1\n", 0, ""},
    {"/convolver/new 1 1 4096 16 # trailing text\n", 0, ""},
    // Name and gain commands: numbers checked against the convolver.
    {"/input/name 1 a\n", 8, "Line 1: Bad input or output number.\n"},
    {"/output/name 1 a\n", 8, "Line 1: Bad input or output number.\n"},
    {"/input/gain 1 0.5\n", 8, "Line 1: Bad input or output number.\n"},
    {"/output/dbgain 1 -6\n", 8, "Line 1: Bad input or output number.\n"},
    {NEW + "/input/name 0 a\n", 8, "Line 2: Bad input or output number.\n"},
    {NEW + "/input/name 3 a\n", 8, "Line 2: Bad input or output number.\n"},
    {NEW + "/output/name -1 a\n", 8, "Line 2: Bad input or output number.\n"},
    {NEW + "/input/gain 3 1\n", 8, "Line 2: Bad input or output number.\n"},
    {NEW + "/output/gain 0 1\n", 8, "Line 2: Bad input or output number.\n"},
    {NEW + "/input/dbgain 4294967296 1\n", 8, "Line 2: Bad input or output number.\n"},
    {NEW + "/input/name 1\n", 3, "Line 2: Bad or missing parameters.\n"},
    {NEW + "/input/name\n", 3, "Line 2: Bad or missing parameters.\n"},
    {NEW + "/output/name x a\n", 3, "Line 2: Bad or missing parameters.\n"},
    {NEW + "/input/name 1 \"abc\n", 3, "Line 2: Bad or missing parameters.\n"},
    {NEW + "/input/name 1 ''\n", 3, "Line 2: Bad or missing parameters.\n"},
    {NEW + "/input/name 1 a'b\n", 3, "Line 2: Bad or missing parameters.\n"},
    {NEW + "/input/name 1 a \"b\n", 0, ""},
    {NEW + "/input/gain 1\n", 3, "Line 2: Bad or missing parameters.\n"},
    {NEW + "/output/dbgain 2 x\n", 3, "Line 2: Bad or missing parameters.\n"},
    {NEW + "/input/gain 1 0.5 extra words\n", 0, ""},
    {NEW + "/input/gain\t1 0.5\n", 0, ""},
    {NEW + "/input/gain 1 1e999\n", 3, "Line 2: Bad or missing parameters.\n"},
    // "/cd" and the matrix commands' parameters.
    {"/cd\n", 3, "Line 1: Bad or missing parameters.\n"},
    {"/cd \"dir\n", 3, "Line 1: Bad or missing parameters.\n"},
    {"/cd ''\n", 0, ""},
    {"/matrix/load\n", 3, "Line 1: Bad or missing parameters.\n"},
    {"/matrix/load 1.0\n", 3, "Line 1: Bad or missing parameters.\n"},
    {"/matrix/load x file\n", 3, "Line 1: Bad or missing parameters.\n"},
    {"/matrix/load_transp 1.0 'file\n", 3, "Line 1: Bad or missing parameters.\n"},
    {"/matrix/load_output x 1.0 file\n", 3, "Line 1: Bad or missing parameters.\n"},
    {"/matrix/load_input 1 1.0\n", 3, "Line 1: Bad or missing parameters.\n"},
    {"/matrix/load 1.0 missing.wav\n", 1, "Line 1: Unable to open 'missing.wav'.\n"},
    {"/matrix/load_input 1 1.0 'no file.wav' more\n", 1, "Line 1: Unable to open 'no file.wav'.\n"},
    // A parameter is a whole word: a number glued to other text is no
    // number; text after the last parameter, past white space, is ignored.
    {NEW + "/input/gain 1 -6dB\n", 3, "Line 2: Bad or missing parameters.\n"},
    {NEW + "/output/dbgain 2 -6dB\n", 3, "Line 2: Bad or missing parameters.\n"},
    {NEW + "/input/gain 1x 0.5\n", 3, "Line 2: Bad or missing parameters.\n"},
    {NEW + "/input/name 1a left\n", 3, "Line 2: Bad or missing parameters.\n"},
    {NEW + "/input/gain 1 0.5dB more\n", 3, "Line 2: Bad or missing parameters.\n"},
    {NEW + "/input/gain 1 0.5 dB\n", 0, ""},
    {NEW + "/output/gain 2 -0.5\t# inverted\n", 0, ""},
    {"/convolver/new 2 2 1000 2abc\n", 3, "Line 1: Bad or missing parameters.\n"},
    {"/convolver/new 2 2x 1000 2\n", 3, "Line 1: Bad or missing parameters.\n"},
    {"/matrix/load 1,5 m.wav\n", 3, "Line 1: Bad or missing parameters.\n"},
    {"/matrix/load_output 1. 1.0 m.wav\n", 3, "Line 1: Bad or missing parameters.\n"},
    {"/matrix/load 0.5x m.wav\n", 3, "Line 1: Bad or missing parameters.\n"},
    // A UTF-8 byte-order mark before the first line is not part of it;
    // anywhere else such bytes make a line that is skipped, as before.
    {"\xef\xbb\xbf/convolver/new 1 1 64 1\n/input/name 2 a\n", 8, "Line 2: Bad input or output number.\n"},
    {"\xef\xbb\xbf# comment\nword\n", 2, "Line 2: Syntax error.\n"},
    {"\xef\xbb\xbf\n", 0, ""},
    {"\n\xef\xbb\xbf/bogus\n", 0, ""},
    // Reading stops at the first failing line.
    {"/bogus\nword\n", 6, "Line 1: Unknown command.\n"},
    // NUL bytes end a line as a string, but not as a line.
    {"# a\0b\n/bogus\n"s, 6, "Line 2: Unknown command.\n"},
    {"\0/bogus\n/cd\0x\n"s, 3, "Line 2: Bad or missing parameters.\n"},
    {"/cd x\0\n\0\n\0\0\0\n/x\n"s, 6, "Line 4: Unknown command.\n"},
};

TEST(Reader, StatusAndMessages)
{
    TempDir dir;
    for (const ReaderCase &c : reader_cases) {
        Convconf conf(RATE, PERIOD);
        std::string err;
        int r = read_text(conf, c.text, &err, dir);
        EXPECT_EQ(r, c.result) << "file: \"" << c.text << "\"";
        EXPECT_EQ(conf.status, c.result);
        EXPECT_EQ(err, c.err) << "file: \"" << c.text << "\"";
    }
}

TEST(Reader, EmptyFileLeavesNoConvolver)
{
    TempDir dir;
    Convconf conf(RATE, PERIOD);
    std::string err;
    EXPECT_EQ(read_text(conf, "# only a comment\n\n", &err, dir), 0);
    EXPECT_EQ(conf.convolver, nullptr);
    EXPECT_EQ(conf.ninp, 0u);
    EXPECT_EQ(conf.nout, 0u);
    EXPECT_EQ(conf.lineno, 2);
}

TEST(Reader, MissingFile)
{
    TempDir dir;
    Convconf conf(RATE, PERIOD);
    std::string path = dir.file("nothing-here");
    StderrCapture cap;
    cap.start();
    EXPECT_EQ(conf.read(path.c_str()), -1);
    EXPECT_EQ(cap.stop(), "Can't open '" + path + "' for reading\n");
}

TEST(Reader, FailedConvolverKeepsRejectedValues)
{
    TempDir dir;
    Convconf conf(RATE, PERIOD);
    std::string err;
    EXPECT_EQ(read_text(conf, "/convolver/new 3 4 5000 2\n", &err, dir), 1);
    EXPECT_EQ(conf.ninp, 3u);
    EXPECT_EQ(conf.nout, 4u);
    EXPECT_EQ(conf.maxlen, 5000u);
    EXPECT_EQ(conf.nthread, 2u);
    EXPECT_EQ(conf.convolver, nullptr);
    EXPECT_EQ(read_text(conf, "/convolver/new 5 6 x 9\n", &err, dir), 3);
    EXPECT_EQ(conf.ninp, 5u);
    EXPECT_EQ(conf.nout, 6u);
    EXPECT_EQ(conf.maxlen, 5000u);
}

TEST(Reader, ConvolverShape)
{
    TempDir dir;
    // Size 16 is admitted, with a single partition.
    Convconf conf(RATE, PERIOD);
    std::string err;
    ASSERT_EQ(read_text(conf, "/convolver/new 3 5 16 2\n", &err, dir), 0) << err;
    ASSERT_NE(conf.convolver, nullptr);
    EXPECT_EQ(conf.convolver->ninp, 3);
    EXPECT_EQ(conf.convolver->nout, 5);
    EXPECT_EQ(conf.convolver->maxlen, 16);
    EXPECT_EQ(conf.convolver->period, PERIOD);
    EXPECT_EQ(conf.convolver->nthread, 2);
    EXPECT_EQ(static_cast<Denseconv *>(conf.convolver)->npart, 1);
    EXPECT_EQ(conf.maxlen, 16u);
}

TEST(Reader, NamesTargetsAndGains)
{
    TempDir dir;
    Convconf conf(RATE, PERIOD);
    std::string err;
    std::string name255(255, 'n');
    std::string text = "/input/gain 1 3.0 # before the convolver: refused\n";
    ASSERT_EQ(read_text(conf, text, &err, dir), 8);
    text = "/convolver/new 4 3 1000 2\n"
           "/input/name 1 left other:out_1\n"
           "/input/name 2 \"right side\" 'sys:capture 2'\n"
           "/input/name 3 a\\ b \"unterminated\n"
           "/input/name 4\t\tfour\ttarget\n"
           "/input/name 1 left2\n"
           "/output/name 1 " + name255 + " t\n"
           "/output/name 3 out3 \"x\"y\n"
           "/input/gain 2 0.25\n"
           "/input/dbgain 3 -6\n"
           "/input/dbgain 4 0\n"
           "/output/gain 2 -2\n"
           "/output/dbgain 3 20\n";
    ASSERT_EQ(read_text(conf, text, &err, dir), 0) << err;
    EXPECT_EQ(err, "");
    EXPECT_STREQ(conf.inp_names[0], "left2");
    EXPECT_STREQ(conf.inp_conns[0], "other:out_1");   // kept from the first naming
    EXPECT_STREQ(conf.inp_names[1], "right side");
    EXPECT_STREQ(conf.inp_conns[1], "sys:capture 2");
    EXPECT_STREQ(conf.inp_names[2], "a b");
    EXPECT_EQ(conf.inp_conns[2], nullptr);
    EXPECT_STREQ(conf.inp_names[3], "four");
    EXPECT_STREQ(conf.inp_conns[3], "target");
    EXPECT_EQ(conf.inp_names[4], nullptr);
    EXPECT_EQ(conf.out_names[0], name255);
    EXPECT_STREQ(conf.out_conns[0], "t");
    EXPECT_EQ(conf.out_names[1], nullptr);
    EXPECT_STREQ(conf.out_names[2], "out3");
    EXPECT_STREQ(conf.out_conns[2], "x");
    EXPECT_EQ(conf.inp_gains[0], 1.0f);
    EXPECT_EQ(conf.inp_gains[1], 0.25f);
    EXPECT_EQ(conf.inp_gains[2], powf(10.0f, -6.0f / 20.0f));
    EXPECT_NEAR(conf.inp_gains[2], 0.501187f, 1e-6f);
    EXPECT_EQ(conf.inp_gains[3], 1.0f);
    EXPECT_EQ(conf.out_gains[0], 1.0f);
    EXPECT_EQ(conf.out_gains[1], -2.0f);
    EXPECT_NEAR(conf.out_gains[2], 10.0f, 1e-5f);
    EXPECT_EQ(conf.lineno, 13);

    // A name of 256 characters is refused, and leaves the old one.
    text = "/output/name 1 " + name255 + "x\n";
    EXPECT_EQ(read_text(conf, text, &err, dir), 3);
    EXPECT_EQ(conf.out_names[0], name255);
}

TEST(Reader, SecondConvolverKeepsPortData)
{
    TempDir dir;
    Convconf conf(RATE, PERIOD);
    std::string err;
    std::string text = "/convolver/new 2 2 64 1\n"
                       "/input/name 2 in2 t2\n"
                       "/output/gain 1 0.5\n"
                       "/convolver/new 1 3 128 1\n";
    ASSERT_EQ(read_text(conf, text, &err, dir), 0) << err;
    EXPECT_EQ(conf.convolver->ninp, 1);
    EXPECT_EQ(conf.convolver->nout, 3);
    EXPECT_STREQ(conf.inp_names[1], "in2");
    EXPECT_EQ(conf.out_gains[0], 0.5f);
}

TEST(Reader, Basedir)
{
    TempDir dir;
    std::filesystem::create_directories(dir.file("d/sub"));
    std::string conf_in_sub = dir.write("d/sub/c.conf", "# nothing\n");
    struct { std::string path; std::string basedir; } cases[] = {
        {conf_in_sub, dir.file("d/sub")},
        {dir.path + "/d/sub/../sub/c.conf", dir.path + "/d/sub/../sub"},
        {dir.path + "//d/sub//c.conf", dir.path + "//d/sub"},
    };
    for (auto &c : cases) {
        Convconf conf(RATE, PERIOD);
        EXPECT_EQ(conf.read(c.path.c_str()), 0);
        EXPECT_EQ(std::string(conf.basedir), c.basedir);
    }

    // A bare file name gives ".", a relative path its directory part.
    std::string cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir.path);
    {
        Convconf conf(RATE, PERIOD);
        EXPECT_EQ(conf.read("d/sub/c.conf"), 0);
        EXPECT_STREQ(conf.basedir, "d/sub");
        dir.write("top.conf", "\n");
        EXPECT_EQ(conf.read("top.conf"), 0);
        EXPECT_STREQ(conf.basedir, ".");
    }
    std::filesystem::current_path(cwd);

    // "/cd" takes its word as it is, not resolved against the old one.
    Convconf conf(RATE, PERIOD);
    std::string err;
    EXPECT_EQ(read_text(conf, "/cd rel/dir\n", &err, dir), 0);
    EXPECT_STREQ(conf.basedir, "rel/dir");
    EXPECT_EQ(read_text(conf, "/cd \"with space\" ignored\n", &err, dir), 0);
    EXPECT_STREQ(conf.basedir, "with space");
    EXPECT_EQ(read_text(conf, "/cd ''\n", &err, dir), 0);
    EXPECT_STREQ(conf.basedir, "");
    std::string d511(511, 'd');
    EXPECT_EQ(read_text(conf, "/cd " + d511 + "\n", &err, dir), 0);
    EXPECT_EQ(std::string(conf.basedir), d511);
    EXPECT_EQ(read_text(conf, "/cd " + d511 + "d\n", &err, dir), 3);
}

TEST(Reader, LongLines)
{
    TempDir dir;
    std::string pad1023 = "/input/gain 1 0.5";
    pad1023 += std::string(1023 - pad1023.size(), ' ');
    struct { std::string text; int result; std::string err; } cases[] = {
        // The tail of a long comment is neither a syntax error nor a line.
        {"#" + std::string(3000, 'x') + " word\n/bogus\n", 6, "Line 2: Unknown command.\n"},
        {"#" + std::string(1022, 'x') + "\n/bogus\n", 6, "Line 2: Unknown command.\n"},
        {"#" + std::string(1023, 'x') + "\n/bogus\n", 6, "Line 2: Unknown command.\n"},
        {"#" + std::string(1024, 'x') + "\n/bogus\n", 6, "Line 2: Unknown command.\n"},
        {"#" + std::string(5000, 'x'), 0, ""},
        {"\x01" + std::string(2000, '/') + "\n/bogus\n", 6, "Line 2: Unknown command.\n"},
        // White space running past the first part: the first other
        // character decides.
        {std::string(2000, ' ') + "# comment\n/bogus\n", 6, "Line 2: Unknown command.\n"},
        {std::string(2000, ' ') + "\n/bogus\n", 6, "Line 2: Unknown command.\n"},
        {std::string(2000, ' ') + "word\n/bogus\n", 2, "Line 1: Syntax error.\n"},
        {"word" + std::string(2000, ' ') + "\n", 2, "Line 1: Syntax error.\n"},
        // A command of 1023 characters fits, one of 1024 does not.
        {NEW + pad1023 + "\n/bogus\n", 6, "Line 3: Unknown command.\n"},
        {NEW + pad1023, 0, ""},
        {NEW + pad1023 + " \n/bogus\n", 9, "Line 2: Line too long.\n"},
        {"\n/cd " + std::string(5000, 'd') + "\n", 9, "Line 2: Line too long.\n"},
        // NUL bytes inside a long comment.
        {"#" + std::string(1500, '\0') + "x\n/bogus\n", 6, "Line 2: Unknown command.\n"},
    };
    for (auto &c : cases) {
        Convconf conf(RATE, PERIOD);
        std::string err;
        int r = read_text(conf, c.text, &err, dir);
        SCOPED_TRACE("file of " + std::to_string(c.text.size()) + " bytes: " + c.text.substr(0, 40));
        EXPECT_EQ(r, c.result);
        EXPECT_EQ(err, c.err);
    }
}

// Malformed and random lines must never crash the reader.
TEST(Reader, RandomLines)
{
    TempDir dir;
    Convconf conf(RATE, PERIOD);
    std::string err;
    ASSERT_EQ(read_text(conf, "/convolver/new 3 2 256 1\n", &err, dir), 0);
    // Impulse files that fit the convolver one way or another.
    std::vector<float> noise(3 * 600);
    for (size_t i = 0; i < noise.size(); i++) noise[i] = (i % 7) * 0.01f;
    write_sound(dir.file("m3.wav"), RATE, 3, noise);
    write_sound(dir.file("m2.wav"), RATE, 2, std::vector<float>(noise.begin(), noise.begin() + 2 * 301));

    static const char *words[] = {
        "/cd", "/input/name", "/output/name", "/input/gain", "/input/dbgain", "/output/gain",
        "/output/dbgain", "/matrix/load", "/matrix/load_transp", "/matrix/load_output",
        "/matrix/load_input", "/convolver/new 0", "/", "#", " ", "\t", "\"", "'", "\\",
        "1", "2", "-1", "0", "4294967295", "99999999999999999999", "-99999999999", "1e40",
        "nan", "inf", "-inf", "0x10", "1.5", "a", "\xff", "\x80", "\x01", "\x7f", "\r",
        "''", "\"\"", "\\ ", "name", "'x y'", "\"x\\\"y\"",
        "m3.wav", "m2.wav", "/matrix/load 1 m3.wav", "/matrix/load_input 1 1 m2.wav",
        "/convolver/new 2 3 300 1", "/convolver/new 3 2 16 1",
    };
    std::mt19937 rng(12345);
    std::uniform_int_distribution<int> pick(0, sizeof(words) / sizeof(words[0]) - 1);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> count(0, 8);
    for (int round = 0; round < 600; round++) {
        std::string text;
        int nline = 1 + count(rng);
        for (int l = 0; l < nline; l++) {
            std::string line;
            if (round % 3 == 0) {
                int n = count(rng) * 20;
                for (int i = 0; i < n; i++) line += (char) byte(rng);
            }
            else {
                int n = 1 + count(rng);
                for (int i = 0; i < n; i++) {
                    line += words[pick(rng)];
                    if (count(rng) > 2) line += ' ';
                }
            }
            text += line + "\n";
        }
        int r = read_text(conf, text, &err, dir);
        ASSERT_TRUE(r == 0 || r == 1 || r == 2 || r == 3 || r == 6 || r == 8 || r == 9)
            << r << " from: " << text;
        // The handlers on their own, with the same text as arguments.
        const char *a = text.c_str();
        conf.input_name(a);
        conf.output_name(a);
        conf.input_gain(a, true);
        conf.output_gain(a, false);
        StderrCapture cap;
        cap.start();
        conf.matrix_load(a, round & 1, round & 2);
        cap.stop();
    }
    EXPECT_NE(conf.convolver, nullptr);
}

// A second "/convolver/new" releases the first convolver and its threads at
// once; the destructor releases the last one.
TEST(Reader, ConvolverThreadsReleased)
{
    TempDir dir;
    int base = thread_count();
    ASSERT_GT(base, 0);
    auto settle = [&](int want) {
        // Workers end on their own after being told to stop.
        for (int i = 0; i < 200 && thread_count() != want; i++) usleep(10000);
        return thread_count();
    };
    {
        Convconf conf(RATE, PERIOD);
        std::string err;
        ASSERT_EQ(read_text(conf, "/convolver/new 2 2 256 5\n", &err, dir), 0);
        EXPECT_EQ(settle(base + 5), base + 5);
        ASSERT_EQ(read_text(conf, "/convolver/new 2 2 256 3\n", &err, dir), 0);
        EXPECT_EQ(settle(base + 3), base + 3);
        // A failing third one (bad range) changes nothing.
        ASSERT_EQ(read_text(conf, "/convolver/new 2 2 256 17\n", &err, dir), 1);
        EXPECT_EQ(settle(base + 3), base + 3);
        ASSERT_EQ(read_text(conf, "/convolver/new 1 1 64 1\n/convolver/new 1 1 64 2\n", &err, dir), 0);
        EXPECT_EQ(settle(base + 2), base + 2);
    }
    EXPECT_EQ(settle(base), base);
}

bool address_sanitizer()
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return true;
#endif
#endif
    return false;
}

// Limits the address space of this (forked) process to what it uses now
// plus 'extra' bytes.
void limit_address_space(size_t extra)
{
    size_t pages = 0;
    FILE *f = fopen("/proc/self/statm", "r");
    if (!f || fscanf(f, "%zu", &pages) != 1) _exit(3);
    fclose(f);
    struct rlimit rl;
    rl.rlim_cur = rl.rlim_max = pages * sysconf(_SC_PAGESIZE) + extra;
    if (setrlimit(RLIMIT_AS, &rl)) _exit(3);
}

// Reads 'path' and exits with 0 when the read failed with status 1.
void read_and_exit(const char *path)
{
    Convconf conf(RATE, PERIOD);
    int r = conf.read(path);
    fflush(stderr);
    _exit((r == 1 && conf.convolver == nullptr) ? 0 : 2);
}

TEST(ReaderDeathTest, ConvolverOutOfMemory)
{
    if (address_sanitizer()) GTEST_SKIP() << "the sanitizer reserves the address space itself";
    TempDir dir;
    // 64 x 64 pairs of 64 partitions of 65 bins: about 138 MB of spectra.
    std::string path = dir.write("big.conf", "# big\n/convolver/new 64 64 4096 1\n");
    EXPECT_EXIT(
        {
            limit_address_space(48 << 20);
            read_and_exit(path.c_str());
        },
        testing::ExitedWithCode(0), "^Line 2: Unable to create the convolver: out of memory\\.\n$");
}

TEST(ReaderDeathTest, ConvolverThreadsFail)
{
    if (address_sanitizer()) GTEST_SKIP() << "the sanitizer reserves the address space itself";
    TempDir dir;
    // Tiny storage, but no room for the stacks of sixteen threads.
    std::string path = dir.write("threads.conf", "/convolver/new 1 1 64 16\n");
    EXPECT_EXIT(
        {
            limit_address_space(4 << 20);
            read_and_exit(path.c_str());
        },
        testing::ExitedWithCode(0),
        "^Line 1: Unable to create the convolver: can't start worker threads \\(.+\\)\\.\n$");
}

// Without permission for realtime scheduling, one warning per process.
// Run in a fresh process so that no earlier test has used up the warning.
TEST(Unprivileged, RealtimeWarningOnce)
{
    bool realtime;
    {
        Denseconv probe(1, 1, 64, PERIOD, 1);
        realtime = probe.realtime();
    }
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    const char *expect = realtime
        ? "^$"
        : "^Line 2: Warning: realtime priority is not available, "
          "the worker threads run with normal scheduling\\.\n$";
    EXPECT_EXIT(
        {
            TempDir dir;
            std::string path = dir.write("c", "#\n/convolver/new 1 1 64 2\n/convolver/new 2 1 64 1\n");
            Convconf one(RATE, PERIOD);
            int r = one.read(path.c_str());
            Convconf two(RATE, PERIOD);
            r |= two.read(path.c_str());
            fflush(stderr);
            _exit(r);
        },
        testing::ExitedWithCode(0), expect);
}

} // namespace
