#pragma once
// Comma-separated fields of a sentence buffer (NMEA). A field is the text
// between two commas, or between a comma and the end of the buffer. The
// cursor is a position in the buffer: start it on (or before) the comma that
// precedes the wanted field and call once per field; each call leaves the
// cursor on the comma that ends the field it looked at, empty or not.

#include <string>

// 1: a field was read and converted into `value` (atoi rules, saturated at
// the int range); 0: the field was empty or the buffer has no more fields
// (`value` untouched); -1: negative cursor.
int getCsvInt(const char* buffer, int& cursor, int length, int& value);
int getCsvInt2(const char* buffer, int& cursor, int length, int& value);

// Appends the field's characters to `text`; true when the field was not empty.
bool getCsvField(const char* buffer, int& cursor, int length, std::string& text);
