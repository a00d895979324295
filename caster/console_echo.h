#pragma once
// Peer input as it may be shown on the console.

#include <cstdint>
#include <string>

// The bytes as they may go to the console: control bytes other than line
// ends and tabs become '.', so a peer cannot drive the operator's terminal,
// and the value of an "Authorization:" header line is replaced by "*****".
// `headerMatch` and `masking` carry the state of the current line from one
// block of the same connection to the next (both 0 / false at its start),
// so a header cut between two receives is still hidden.
std::string maskedEcho(const char* data, uint32_t length, uint8_t& headerMatch, bool& masking);
