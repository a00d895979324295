#include "core/base64.h"

namespace {

// Same order as base64Alphabet; kept here so that decoding needs no global
// state and works before the globals are built.
constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// A character's position in the alphabet, -1 when it has none.
int valueOf(char c)
{
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

void appendGroup(std::string& out, const int v[4], int bytes)
{
    const char decoded[3] = {
        char(((v[0] << 2) | (v[1] >> 4)) & 0xFF),
        char((((v[1] & 0x0F) << 4) | (v[2] >> 2)) & 0xFF),
        char((((v[2] & 0x03) << 6) | v[3]) & 0xFF),
    };
    out.append(decoded, size_t(bytes));
}

} // namespace

std::string base64Decode(const std::string& text)
{
    std::string out;
    out.reserve(text.size() / 4 * 3 + 3);
    int group[4] = {0, 0, 0, 0};
    int held = 0;
    for (char c : text) {
        int v = valueOf(c);
        if (v < 0) break;   // "=" and every other stranger end the text
        group[held++] = v;
        if (held == 4) {
            appendGroup(out, group, 3);
            held = 0;
        }
    }
    if (held > 0) {
        for (int i = held; i < 4; ++i) group[i] = 0;
        appendGroup(out, group, held - 1);   // a lone character adds nothing
    }
    return out;
}

std::string base64Encode(const uint8_t* bytes, int count)
{
    std::string out;
    if (!bytes || count <= 0) return out;
    out.reserve(size_t(count + 2) / 3 * 4);
    const size_t n = size_t(count);
    for (size_t i = 0; i < n; i += 3) {
        size_t k = n - i < 3 ? n - i : 3;
        uint32_t b0 = bytes[i];
        uint32_t b1 = k > 1 ? bytes[i + 1] : 0;
        uint32_t b2 = k > 2 ? bytes[i + 2] : 0;
        const char chars[4] = {
            alphabet[b0 >> 2],
            alphabet[((b0 & 0x03) << 4) | (b1 >> 4)],
            alphabet[((b1 & 0x0F) << 2) | (b2 >> 6)],
            alphabet[b2 & 0x3F],
        };
        out.append(chars, k + 1);
        out.append(3 - k, '=');
    }
    return out;
}
