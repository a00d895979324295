#include "caster/console_echo.h"

#include <cctype>
#include <cstring>

namespace {
// Compared without case: a repeated request need not spell it as the login does.
constexpr char authorizationHeader[] = "authorization:";
constexpr uint8_t headerLength = sizeof authorizationHeader - 1;
constexpr uint8_t notHeader = 0xFF;
}   // namespace

std::string maskedEcho(const char* data, uint32_t length, uint8_t& headerMatch, bool& masking)
{
    std::string text;
    text.reserve(length + 8);
    for (uint32_t k = 0; k < length; ++k) {
        char ch = data[k];
        if (ch == '\n') {
            text += ch;
            headerMatch = 0;
            masking = false;
            continue;
        }
        if (masking) {
            // The value is shown as one mark whatever its length.
            if (ch == '\r') text += ch;
            continue;
        }
        if (headerMatch != notHeader) {
            bool leadingBlank = headerMatch == 0 && (ch == ' ' || ch == '\t');
            if (!leadingBlank) {
                if (headerMatch < headerLength &&
                    std::tolower(static_cast<unsigned char>(ch)) == authorizationHeader[headerMatch]) {
                    ++headerMatch;
                    if (headerMatch == headerLength) {
                        text += ch;
                        text += " *****";
                        masking = true;
                        continue;
                    }
                } else {
                    headerMatch = notHeader;
                }
            }
        }
        unsigned char u = static_cast<unsigned char>(ch);
        if ((u < 0x20 && ch != '\r' && ch != '\t') || u == 0x7F) ch = '.';
        text += ch;
    }
    return text;
}
