#pragma once
// Common set-up of the caster tests: fresh globals, a temp working
// directory, UTC and a pinned wall clock, and socket pairs to read replies.

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "core/records.h"
#include "platform/clock.h"
#include "support/test_support.h"

// 6 December 2026 13:50:12 UTC, day of year 340.
constexpr time_t pinnedTime = 1796565012;

class CasterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
        initGlobals();
        setWallTimeOverride(pinnedTime);
        dir = makeTempDir();
        ASSERT_EQ(chdir(dir.c_str()), 0);
    }
    void TearDown() override
    {
        setWallTimeOverride(0);
        for (int p : pairs) close(p);
        if (chdir("/") == 0) {
            std::error_code ignored;
            std::filesystem::remove_all(dir, ignored);
        }
    }
    // One end for the code under test, the other for the test to read.
    void socketPair(int& ours, int& theirs)
    {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        ours = fds[0];
        theirs = fds[1];
        pairs.push_back(fds[1]);
    }
    static void writeFile(const std::string& name, const std::string& text)
    {
        std::ofstream f(name, std::ios::binary);
        f << text;
    }
    static std::string readFile(const std::string& name)
    {
        auto bytes = readFileBytes(name);
        return std::string(bytes.begin(), bytes.end());
    }
    std::string dir;
    std::vector<int> pairs;
};

// Everything the peer has sent so far (waits briefly for the first bytes).
inline std::string readAvailable(int fd, int firstWaitMs = 200)
{
    std::string out;
    char buf[4096];
    int wait = firstWaitMs;
    while (true) {
        struct pollfd p {fd, POLLIN, 0};
        if (poll(&p, 1, wait) <= 0) break;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        out.append(buf, size_t(n));
        wait = 0;
    }
    return out;
}

// True when the peer closed its end (read gives 0 or an error).
inline bool peerClosed(int fd)
{
    struct pollfd p {fd, POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) return false;
    char c;
    return recv(fd, &c, 1, MSG_PEEK) <= 0;
}
