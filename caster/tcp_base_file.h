#pragma once
// tcpbase.txt: the bases the caster connects out to.

// How long the reader waits for each entry's mutex before it gives up on
// replacing the table this time.
constexpr int tcpBaseEntryWaitMs = 100;

enum class TcpBaseFileRead { done, noFile, tableBusy };

// Reads tcpbase.txt into the TcpBase table (at most 10 entries). True when
// the file could be opened and the table replaced.
bool readTcpBaseFile();
// The same, telling a missing file from a table whose entries another
// thread held (the table is then left as it was; ask again later).
TcpBaseFileRead loadTcpBaseFile();
// Forgets every entry's on-line mark, address and connect time (under the
// entries' mutexes). False, with nothing changed, when one was held.
bool clearTcpBaseTable();
