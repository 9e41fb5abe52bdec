// The word scanner: quoting, escapes, blanks and control characters, what
// it consumes, and its length limits.

#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "convconf.h"

namespace {

struct ScanCase
{
    const char *src;
    int consumed;        // 0: the scan fails
    const char *word;
};

const ScanCase scan_cases[] = {
    // Unquoted words end at a blank or a control character, not consumed.
    {"abc", 3, "abc"},
    {"abc def", 3, "abc"},
    {"  \t abc\tdef", 7, "abc"},
    {"abc\n", 3, "abc"},
    {"ab\x01" "cd", 2, "ab"},
    {"ab\x7f" "cd", 2, "ab"},
    {"ab\rcd", 2, "ab"},
    // Bytes from 128 up are ordinary characters.
    {"\xc3\xa9t\xc3\xa9 x", 5, "\xc3\xa9t\xc3\xa9"},
    {"\xff\xfe\x80", 3, "\xff\xfe\x80"},
    // Nothing but blanks, or nothing at all.
    {"", 0, ""},
    {"\n", 0, ""},
    {"   ", 3, ""},
    {" \t\n", 2, ""},
    // Quoted words, both kinds: blanks inside, tabs stored as spaces.
    {"\"a b\" rest", 5, "a b"},
    {"'a b' rest", 5, "a b"},
    {"\"a\tb\"", 5, "a b"},
    {"'a\tb'", 5, "a b"},
    {"  'x y' z", 7, "x y"},
    {"\"\"", 2, ""},
    {"''x", 2, ""},
    {"\"ab\"cd", 4, "ab"},
    {"\"ab\"\"cd\"", 4, "ab"},
    // Escapes: the next character is stored as it is (a tab as a space).
    {"a\\ b c", 4, "a b"},
    {"a\\\tb", 4, "a b"},
    {"a\\\"b", 4, "a\"b"},
    {"a\\'b", 4, "a'b"},
    {"\\\\", 2, "\\"},
    {"\\'", 2, "'"},
    {"\"a\\\"b\"", 6, "a\"b"},
    {"\"a\\'b\"", 6, "a'b"},
    {"\"a\\\\b\"", 6, "a\\b"},
    {"\\\x80", 2, "\x80"},
    // Inside single quotes a backslash is an ordinary character.
    {"'a\\b'", 5, "a\\b"},
    {"'a\\'", 4, "a\\"},
    // Quotes that must be escaped, and the other kind inside quotes.
    {"ab\"c", 0, ""},
    {"ab'c", 0, ""},
    {"\"a'b\"", 0, ""},
    {"'a\"b'", 0, ""},
    // Open quotes and escapes at a control character or the end.
    {"\"abc", 0, ""},
    {"'abc", 0, ""},
    {"\"ab\ncd\"", 0, ""},
    {"'ab\x01'", 0, ""},
    {"ab\\", 0, ""},
    {"ab\\\n", 0, ""},
    {"\"ab\\", 0, ""},
    {"\"", 0, ""},
};

TEST(ScanWord, Table)
{
    for (const ScanCase &c : scan_cases) {
        char dst[256];
        memset(dst, 'X', sizeof(dst));
        dst[sizeof(dst) - 1] = 0;
        int r = scan_word(c.src, dst, sizeof(dst));
        EXPECT_EQ(r, c.consumed) << "source: \"" << c.src << "\"";
        EXPECT_STREQ(dst, c.word) << "source: \"" << c.src << "\"";
    }
}

// Scans one word made of 'stored' characters, written as given by 'unit'
// (one stored character each), into a buffer of 'size' bytes with guard
// bytes behind it.
void check_length(const std::string &open, const std::string &unit, const std::string &close,
                  int stored, int size, bool ok)
{
    std::string src = open;
    for (int i = 0; i < stored; i++) src += unit;
    src += close;
    src += " tail";
    std::vector<char> dst(size + 64, 'G');
    int r = scan_word(src.c_str(), dst.data(), size);
    SCOPED_TRACE(open + unit + close + " x" + std::to_string(stored) + " in " + std::to_string(size));
    if (ok) {
        EXPECT_EQ(r, (int) (src.size() - 5));
        EXPECT_EQ(strlen(dst.data()), (size_t) stored);
    }
    else {
        EXPECT_EQ(r, 0);
        EXPECT_STREQ(dst.data(), "");
    }
    for (int i = size; i < size + 64; i++) ASSERT_EQ(dst[i], 'G') << "written past the buffer";
}

TEST(ScanWord, LengthLimits)
{
    for (int size : {256, 512}) {
        check_length("", "a", "", size - 1, size, true);
        check_length("", "a", "", size, size, false);
        check_length("\"", "b", "\"", size - 1, size, true);
        check_length("\"", "b", "\"", size, size, false);
        check_length("'", "\t", "'", size - 1, size, true);
        // Escapes and quotes are consumed but not stored.
        check_length("", "\\ ", "", size - 1, size, true);
        check_length("", "\\ ", "", size, size, false);
        check_length("'", "\\", "'", size - 1, size, true);
    }
    // Small buffers: one character less than the size.
    char dst[4];
    EXPECT_EQ(scan_word("abc", dst, 4), 3);
    EXPECT_EQ(scan_word("abcd", dst, 4), 0);
    EXPECT_EQ(scan_word("a", dst, 1), 0);
    EXPECT_EQ(scan_word("", dst, 1), 0);
    EXPECT_STREQ(dst, "");
}

TEST(ScanWord, ConsecutiveWords)
{
    // The result is where the next word starts, as the name commands use it.
    const char *src = "  'first word'\"second\"  third\\ x\n";
    char dst[256];
    int n = scan_word(src, dst, sizeof(dst));
    EXPECT_STREQ(dst, "first word");
    int m = scan_word(src + n, dst, sizeof(dst));
    EXPECT_STREQ(dst, "second");
    int k = scan_word(src + n + m, dst, sizeof(dst));
    EXPECT_STREQ(dst, "third x");
    EXPECT_EQ(src[n + m + k], '\n');
}

} // namespace
