#pragma once
// The caster's NTRIP sourcetable: built in memory from the settings and the
// trusted bases, and stored in sourceTable.txt, which every reader sends on
// as it stands.

#include <string>
#include <string_view>

// Builds the sourcetable and replaces sourceTable.txt with it. True when the
// new file is in place.
bool buildSourceTable();

// A text for one sourcetable field: without control bytes and without ';',
// so no peer text can end a field or a record.
std::string cleanSourceTableField(std::string_view text);
// A double as the sourcetable writes it (%g, six significant digits).
std::string sourceTableDouble(double value);
