// Version numbers as text: the local version file and the manifest's number.
#include "version.h"

#include "fsutil.h"
#include "replace.h"

#include <ctype.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

// atoi's rules, except that a number outside 32 bits reads as 0 (no version)
// rather than as whatever the overflow happens to give.
int parseVersionText(const char *text, size_t length)
{
    size_t i = 0;
    while (i < length && isspace((unsigned char)text[i]))
        i++;
    bool negative = false;
    if (i < length && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    int64_t value = 0;
    for (; i < length && isdigit((unsigned char)text[i]); i++) {
        value = value * 10 + (text[i] - '0');
        if (value > int64_t(INT32_MAX) + 1)
            return 0;
    }
    if (negative)
        value = -value;
    if (value > INT32_MAX || value < INT32_MIN)
        return 0;
    return int(value);
}

// Only a regular file of ours (never a link, never waiting on a FIFO someone
// put there), and only its first ten bytes count.
int readVersionFile(const char *path)
{
    const size_t kMaxVersionFileBytes = 4096;  // a few digits; anything larger is not ours
    std::string text;
    if (!read_small_file(path, kMaxVersionFileBytes, text))
        return 0;
    return parseVersionText(text.data(), std::min<size_t>(text.size(), 10));
}

// Whole numbers keep all their digits (1234567, never 1.23457e+06, which
// would read back as 1); anything else as a default stream writes a double.
std::string qto_string(double value)
{
    if (value == double((long long)value) && value > -1e15 && value < 1e15)
        return std::to_string((long long)value);
    std::ostringstream out;
    out << value;
    return out.str();
}

// The new number replaces the file in one rename: a kill leaves the old
// number or the new one, and a link standing there is replaced, never
// written through.
bool writeVersionFile(const char *path, int version)
{
    puts("Opened File");
    const std::string text = qto_string(double(version));
    return replace_file(path, text.data(), text.size(), 0644, DURABLE_FILE);
}
