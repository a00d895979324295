#pragma once
// All console output goes through here so that lines of different threads
// never interleave. Texts are written exactly as given (no line end added).

#include <string>

void consoleWrite(const std::string& text);
void consolePrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// text followed by "\n"
void consoleLine(const std::string& text);
// Tests capture the console instead of letting it reach stdout.
void consoleCaptureStart();
std::string consoleCaptureStop();
