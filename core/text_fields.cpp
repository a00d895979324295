#include "core/text_fields.h"

#include <climits>

namespace {

// Finds the field after the cursor: its first character and the comma (or
// buffer end) that ends it. Moves the cursor onto that end, so an empty field
// is stepped over like any other and the next call reads the field after it.
// False when there is no field left.
bool nextField(const char* buffer, int& cursor, int length, int& start, int& end)
{
    if (!buffer || length < 0) length = 0;
    int p = cursor < length ? cursor : length;
    while (p < length && buffer[p] != ',') ++p;
    if (p >= length) {
        cursor = length;
        return false;
    }
    int q = p + 1;
    while (q < length && buffer[q] != ',') ++q;
    cursor = q;
    start = p + 1;
    end = q;
    return true;
}

// atoi on a field that is not terminated: leading blanks, a sign, digits up
// to the first other character. Saturates instead of overflowing.
int fieldToInt(const char* s, int n)
{
    int i = 0;
    while (i < n && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < n && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    long long v = 0;
    for (; i < n && s[i] >= '0' && s[i] <= '9'; ++i) {
        v = v * 10 + (s[i] - '0');
        if (v > 1LL + INT_MAX) v = 1LL + INT_MAX;
    }
    if (negative) return v > INT_MAX ? INT_MIN : int(-v);
    return v > INT_MAX ? INT_MAX : int(v);
}

} // namespace

int getCsvInt(const char* buffer, int& cursor, int length, int& value)
{
    if (cursor < 0) return -1;
    int start = 0, end = 0;
    if (!nextField(buffer, cursor, length, start, end) || end == start) return 0;
    value = fieldToInt(buffer + start, end - start);
    return 1;
}

int getCsvInt2(const char* buffer, int& cursor, int length, int& value)
{
    return getCsvInt(buffer, cursor, length, value);
}

bool getCsvField(const char* buffer, int& cursor, int length, std::string& text)
{
    if (cursor < 0) return false;
    int start = 0, end = 0;
    if (!nextField(buffer, cursor, length, start, end) || end == start) return false;
    text.append(buffer + start, size_t(end - start));
    return true;
}
