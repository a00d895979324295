#include "caster_process.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/test_support.h"

namespace {
int elapsedSince(std::chrono::steady_clock::time_point start)
{
    return int(std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - start)
                   .count());
}
}

CasterPorts pickFreePorts()
{
    // All three are held at once so that they differ; the kernel does not
    // hand out a port it just gave another test either.
    int fds[3];
    int found[3];
    for (int i = 0; i < 3; ++i) {
        fds[i] = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fds[i], reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        getsockname(fds[i], reinterpret_cast<sockaddr*>(&a), &len);
        found[i] = ntohs(a.sin_port);
    }
    for (int fd : fds) close(fd);
    return CasterPorts{found[0], found[1], found[2]};
}

CasterProcess::CasterProcess() : dir_(makeTempDir()) {}

CasterProcess::~CasterProcess()
{
    if (pid_ > 0) stop(3000);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

void CasterProcess::writeFile(const std::string& name, const std::string& text) const
{
    std::ofstream f(dir_ + "/" + name, std::ios::binary | std::ios::trunc);
    f << text;
}

std::string CasterProcess::readFile(const std::string& name) const
{
    auto bytes = readFileBytes(dir_ + "/" + name);
    return std::string(bytes.begin(), bytes.end());
}

std::string CasterProcess::console() const
{
    return readFile("console.txt");
}

bool CasterProcess::start(CasterPorts ports)
{
    ports_ = ports.rover ? ports : pickFreePorts();
    std::string rover = std::to_string(ports_.rover);
    std::string base = std::to_string(ports_.base);
    std::string http = std::to_string(ports_.http);
    std::string log = dir_ + "/console.txt";
    pid_ = fork();
    if (pid_ == 0) {
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        execl(CASTER_BINARY, CASTER_BINARY, "--rover-port", rover.c_str(), "--base-port",
              base.c_str(), "--http-port", http.c_str(), "--dir", dir_.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    if (pid_ < 0) return false;
    int count = countOf(console(), "HTTP   ListenSocket      is listening on Port " + http) + 1;
    return waitConsole("NTRIP clientListenSocket is listening on Port " + rover, 3000, count) &&
           waitConsole("NTRIP baseListenSocket   is listening on Port " + base, 3000, count) &&
           waitConsole("HTTP   ListenSocket      is listening on Port " + http, 3000, count);
}

int CasterProcess::stop(int timeoutMs, int* elapsedMs)
{
    if (pid_ <= 0) return -1;
    auto start = std::chrono::steady_clock::now();
    kill(pid_, SIGTERM);
    int status = 0;
    while (true) {
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) break;
        if (elapsedSince(start) > timeoutMs) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            pid_ = -1;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (elapsedMs) *elapsedMs = elapsedSince(start);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void CasterProcess::signal(int sig) const
{
    if (pid_ > 0) kill(pid_, sig);
}

bool CasterProcess::waitConsole(const std::string& text, int timeoutMs, int count) const
{
    auto start = std::chrono::steady_clock::now();
    while (countOf(console(), text) < count) {
        if (elapsedSince(start) > timeoutMs) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

int connectTo(int port, int receiveBuffer)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    // Set before the connection exists, so the window stays this small.
    if (receiveBuffer > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool sendText(int fd, const std::string& text)
{
    return send(fd, text.data(), text.size(), MSG_NOSIGNAL) == ssize_t(text.size());
}

std::string readUntilClosed(int fd, int timeoutMs, bool& closed)
{
    std::string out;
    closed = false;
    auto start = std::chrono::steady_clock::now();
    char buf[4096];
    while (true) {
        int left = timeoutMs - elapsedSince(start);
        if (left <= 0) return out;
        struct pollfd p {fd, POLLIN, 0};
        if (poll(&p, 1, left) <= 0) return out;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            closed = true;   // orderly close or reset
            return out;
        }
        out.append(buf, size_t(n));
    }
}

std::string readAtLeast(int fd, size_t bytes, int timeoutMs)
{
    std::string out;
    auto start = std::chrono::steady_clock::now();
    char buf[4096];
    while (out.size() < bytes) {
        int left = timeoutMs - elapsedSince(start);
        if (left <= 0) break;
        struct pollfd p {fd, POLLIN, 0};
        if (poll(&p, 1, left) <= 0) break;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        out.append(buf, size_t(n));
    }
    return out;
}

int countOf(const std::string& text, const std::string& needle)
{
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size()))
        ++n;
    return n;
}

std::string refusalPage(const std::string& heading, const std::string& realm,
                        const std::string& body)
{
    return "HTTP/1.1 401 Unauthorized\r\nServer: NtripCaster/1.0\r\n"
           "WWW-Authenticate: Basic realm=/" +
           realm +
           "\r\nContent-Type: text/html\r\nConnection: close\r\n\r\n"
           "<!DOCTYPE html>\n<html>\n<body>\n<title>401 Unauthorized</title><h1><center>" +
           heading + "</center></h1>\n" + body + "</body>\n</html>\n";
}

std::string privilegesParagraph()
{
    return "<p> <center>The server does not recognize your privileges to the requested entity "
           "/ stream</center> </p>";
}
