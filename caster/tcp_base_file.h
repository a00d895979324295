#pragma once
// tcpbase.txt: the bases the caster connects out to.

// Reads tcpbase.txt into the TcpBase table (at most 10 entries). True when
// the file could be opened.
bool readTcpBaseFile();
