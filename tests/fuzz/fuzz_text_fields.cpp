// The rover's Basic credential goes through base64Decode, and sentence
// fields from bases through the field readers: neither may read outside the
// buffer or loop, whatever the bytes.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/base64.h"
#include "core/text_fields.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string decoded = base64Decode(text);
    if (decoded.size() > size) abort();

    // Whatever is encoded decodes to itself.
    if (base64Decode(base64Encode(data, int(size))) != text) abort();

    // Exact-size copy so the sanitizer sees any read past the length.
    char* buf = static_cast<char*>(malloc(size ? size : 1));
    for (size_t i = 0; i < size; ++i) buf[i] = char(data[i]);
    const int length = int(size);

    int cursor = 0, value = 0, calls = 0;
    while (getCsvInt(buf, cursor, length, value) != 0 || cursor < length) {
        if (cursor < 0 || cursor > length || ++calls > length + 1) abort();
    }

    std::string fields;
    cursor = 0;
    calls = 0;
    while (getCsvField(buf, cursor, length, fields) || cursor < length) {
        if (cursor < 0 || cursor > length || ++calls > length + 1) abort();
    }
    if (fields.size() > size) abort();
    free(buf);
    return 0;
}
