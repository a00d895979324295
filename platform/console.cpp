#include "platform/console.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {
std::mutex consoleLock;
bool capturing = false;
std::string captured;

void emit(const char* data, size_t n)
{
    std::lock_guard<std::mutex> g(consoleLock);
    if (capturing) {
        captured.append(data, n);
        return;
    }
    fwrite(data, 1, n, stdout);
    fflush(stdout);
}
}

void consoleWrite(const std::string& text)
{
    emit(text.data(), text.size());
}

void consoleLine(const std::string& text)
{
    std::string line = text;
    line += '\n';
    emit(line.data(), line.size());
}

void consolePrintf(const char* format, ...)
{
    char small[512];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (n < 0) return;
    if (static_cast<size_t>(n) < sizeof small) {
        emit(small, static_cast<size_t>(n));
        return;
    }
    std::string big(static_cast<size_t>(n) + 1, '\0');
    va_start(args, format);
    vsnprintf(big.data(), big.size(), format, args);
    va_end(args);
    emit(big.data(), static_cast<size_t>(n));
}

void consoleCaptureStart()
{
    std::lock_guard<std::mutex> g(consoleLock);
    capturing = true;
    captured.clear();
}

std::string consoleCaptureStop()
{
    std::lock_guard<std::mutex> g(consoleLock);
    capturing = false;
    std::string out;
    out.swap(captured);
    return out;
}
