#pragma once
// The real caster binary as a child process on loopback ports of its own,
// in a temp directory of its own, and the small socket helpers the
// end-to-end tests talk to it with.

#include <string>
#include <sys/types.h>

struct CasterPorts {
    int rover = 0, base = 0, http = 0;
};

// Three distinct ports that are free at the moment of asking.
CasterPorts pickFreePorts();

class CasterProcess {
public:
    // A fresh directory; the text files the test writes go there first.
    CasterProcess();
    ~CasterProcess();

    const std::string& dir() const { return dir_; }
    const CasterPorts& ports() const { return ports_; }
    void writeFile(const std::string& name, const std::string& text) const;
    std::string readFile(const std::string& name) const;

    // Starts the binary on `ports` (new ones when left 0) and waits until
    // all three ports listen. False when it did not come up in time.
    bool start(CasterPorts ports = {});
    // SIGTERM and wait; the exit status, or -1 when it did not end within
    // timeoutMs (it is then killed).
    int stop(int timeoutMs, int* elapsedMs = nullptr);
    void signal(int sig) const;

    // Everything the caster wrote to its console so far.
    std::string console() const;
    // Waits until `text` occurs `count` times on the console.
    bool waitConsole(const std::string& text, int timeoutMs, int count = 1) const;

private:
    std::string dir_;
    CasterPorts ports_;
    pid_t pid_ = -1;
};

// A loopback connection, -1 on failure; with receiveBuffer its receive
// buffer that small (the kernel's least when 1).
int connectTo(int port, int receiveBuffer = 0);
bool sendText(int fd, const std::string& text);
// Reads until the peer closes (closed = true) or timeoutMs passes.
std::string readUntilClosed(int fd, int timeoutMs, bool& closed);
// Reads until at least `bytes` arrived, the peer closed, or timeoutMs passed.
std::string readAtLeast(int fd, size_t bytes, int timeoutMs);
// Occurrences of `needle` in `text`.
int countOf(const std::string& text, const std::string& needle);
// The page a rover is refused with, as the caster sends it.
std::string refusalPage(const std::string& heading, const std::string& realm,
                        const std::string& body);
std::string privilegesParagraph();
