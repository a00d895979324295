#pragma once
// Base64 (RFC 4648 standard alphabet) for the rovers' Basic credentials.

#include <cstdint>
#include <string>

// Decodes up to the end of `text`, the first "=", or the first character
// outside the alphabet (a blank or line end stops it); what was decoded by
// then is the result. Never fails.
std::string base64Decode(const std::string& text);

// `count` bytes as Base64 text, the last group filled up with "=".
std::string base64Encode(const uint8_t* bytes, int count);
