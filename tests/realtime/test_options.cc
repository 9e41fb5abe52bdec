// Command line of tesslive: usage text, option errors, and the point where
// option parsing ends. None of these cases reaches a JACK server, except
// the last, which names one that does not exist.

#include <gtest/gtest.h>
#include <unistd.h>

#include "harness.h"

namespace {

const char USAGE[] =
    "\ntesslive 0.5.2\n"
    "Usage: tesslive <options> <config file>\n"
    "Options:\n"
    "  -h                 Display this text\n"
    "  -N <name>          Name to use as JACK client [livetess]\n"
    "  -s <server>        Jack server name\n"
    "  -o <[addr:]port>   Listen for OSC control on this UDP port [127.0.0.1]\n"
    "  -v                 Print the running figures every 10 s and at the end\n"
    "  -x <ms>            Crossfade time of a reload, 0...1000 ms [50]\n";

std::string cmdline_error(const std::string &line)
{
    return "\nOn command line:\n" + line + "  Use '-h' to see all options.\n";
}

struct Case
{
    const char *what;
    std::vector<std::string> args;
    std::string err;
};

struct Result
{
    int status;
    std::string out;
    std::string err;
};

Result run_tesslive(const std::vector<std::string> &args)
{
    Tempdir tmp;
    std::vector<std::string> argv = {tesslive_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    Child c(argv, tmp.file("out"), tmp.file("err"));
    int st = c.wait(20);
    return {st, read_file(tmp.file("out")), read_file(tmp.file("err"))};
}

}  // namespace

TEST(Options, UsageAndErrors)
{
    const std::string missing_N = cmdline_error("  Missing argument for '-N' option.\n");
    const std::string missing_s = cmdline_error("  Missing argument for '-s' option.\n");
    const std::string bad_osc = cmdline_error("  Bad OSC port or address:port for '-o' option.\n");
    const std::string bad_fade =
        cmdline_error("  Crossfade time for '-x' option must be 0...1000 ms.\n");
    const Case cases[] = {
        {"-h", {"-h"}, USAGE},
        {"-h before other options", {"-h", "-x", "conf"}, USAGE},
        {"-h after -N", {"-N", "name", "-h", "conf"}, USAGE},
        {"no operand", {}, USAGE},
        {"options but no operand", {"-N", "name", "-s", "server"}, USAGE},
        {"-N followed by -s", {"-N", "-s", "server", "conf"}, missing_N},
        {"-s followed by an option", {"-s", "-N", "conf"}, missing_s},
        {"-s as last argument", {"-s"}, missing_s},
        {"-N as last argument", {"-N"}, missing_N},
        {"unknown letter", {"-y", "conf"}, cmdline_error("  Unknown option '-y'.\n")},
        {"-o with a port out of range", {"-o", "65536", "conf"}, bad_osc},
        {"-o with a name for an address", {"-o", "example.org:9000", "conf"}, bad_osc},
        {"-o with an empty address", {"-o", ":9000", "conf"}, bad_osc},
        {"-o without a port", {"-o", "127.0.0.1:", "conf"}, bad_osc},
        {"-o as last argument", {"-o"}, cmdline_error("  Missing argument for '-o' option.\n")},
        {"-x beyond 1000", {"-x", "1001", "conf"}, bad_fade},
        {"-x negative", {"-x", "-5", "conf"}, cmdline_error("  Missing argument for '-x' option.\n")},
        {"-x not a number", {"-x", "50ms", "conf"}, bad_fade},
        {"unknown after good ones", {"-N", "a", "-q"}, cmdline_error("  Unknown option '-q'.\n")},
        {"unprintable byte", {"-\x01", "conf"},
         cmdline_error("  Unknown option character '0x01'.\n")},
        {"byte above 127", {"-\xe9", "conf"},
         cmdline_error("  Unknown option character '0xe9'.\n")},
        {"colon as option", {"-:", "conf"}, cmdline_error("  Unknown option '-:'.\n")},
        // Names JACK can't take are refused before any server is asked
        // (the library would report a long client name as a failure to
        // connect, and overrun its buffers on a long server name).
        {"client name too long", {"-N", std::string(64, 'n'), "conf"},
         cmdline_error("  Client name for '-N' is too long (at most 63 characters).\n")},
        {"client name far too long", {"-N", std::string(300, 'n'), "conf"},
         cmdline_error("  Client name for '-N' is too long (at most 63 characters).\n")},
        {"server name too long", {"-s", std::string(300, 's'), "conf"},
         cmdline_error("  Server name for '-s' is too long (at most 255 characters).\n")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Result r = run_tesslive(c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(without_privilege_warnings(r.err), c.err);
    }
}

// Options after the first operand are not options: '-y' there is ignored,
// and the program goes on to connect to the named server.
TEST(Options, ParsingEndsAtFirstOperand)
{
    std::string server = "tessrt-absent-" + std::to_string(getpid());
    Tempdir tmp;
    std::string conf = tmp.write("c.conf", "/convolver/new 1 1 64 1\n");
    Result r = run_tesslive({"-s", server, conf, "-y", "second operand"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(without_privilege_warnings(r.err), "Can't connect to JACK\n");
}

// Without -s the client asks for JACK's default server and never starts
// one: with none running (libjack takes the default name from
// JACK_DEFAULT_SERVER) the program fails, and no server of that name has
// appeared afterwards.
TEST(Options, DefaultServerIsNeverStarted)
{
    std::string server = "tessrt-nostart-" + std::to_string(getpid());
    Tempdir tmp;
    std::string conf = tmp.write("c.conf", "/convolver/new 1 1 64 1\n");
    Child c({tesslive_path(), conf}, tmp.file("out"), tmp.file("err"),
            {{"JACK_DEFAULT_SERVER", server}});
    EXPECT_EQ(c.wait(20), 1);
    EXPECT_EQ(without_privilege_warnings(read_file(tmp.file("err"))), "Can't connect to JACK\n");
    std::string out;
    EXPECT_NE(run_command({"jack_lsp", "-s", server}, &out), 0);
}
