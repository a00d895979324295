#pragma once
// The caster's four text files in the working directory (users.txt, base.txt,
// caster.txt, tcpbase.txt), the caster.txt reader and writer, and the
// optional log file. Files are written with CR LF line ends; readers take the
// LF as the line end and drop a CR just before it.

#include <string>

// Each creator makes sure its file exists, writing the default content when
// it is missing. `ok` ends true when the file exists (or was made) and can be
// read, false otherwise. An existing file is never rewritten.
void createUsersFile(bool& ok);
void createBaseFile(bool& ok);
void createCasterFile(bool& ok);
void createTcpBaseFile(bool& ok);

// Fills `casterSettings` from caster.txt (24 positional lines) and sets the
// fixed sourcetable values. False, settings untouched, when the file cannot
// be read.
bool readCasterFile();

// Writes the 24 lines of caster.txt from `casterSettings` (the settings
// panel's save). False when the file could not be written; the old file then
// stays as it was.
bool writeCasterFile();

// Appends `text` as one line to logFileName + ".txt" when logToFile is set.
void writeLogFile(const std::string& text);

