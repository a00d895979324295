// Start, shutdown and restart of the caster process.

#include <gtest/gtest.h>

#include <unistd.h>

#include "caster_process.h"

namespace {

TEST(LifecycleE2E, SigtermClosesEveryPortAndARestartBindsAtOnce)
{
    CasterProcess caster;
    caster.writeFile("base.txt", "pass /MOUNT\r\n");
    ASSERT_TRUE(caster.start());
    CasterPorts ports = caster.ports();
    // The four text files exist after the start.
    for (const char* file : {"users.txt", "base.txt", "caster.txt", "tcpbase.txt"})
        EXPECT_TRUE(caster.console().find(std::string(file) + " ") != std::string::npos) << file;

    // A refused base: the caster closes first, leaving its side in
    // TIME_WAIT on the base port.
    int refusedBase = connectTo(ports.base);
    ASSERT_GE(refusedBase, 0);
    ASSERT_TRUE(sendText(refusedBase, "SOURCE wrong /MOUNT\r\n\r\n"));
    bool closed = false;
    EXPECT_EQ(readUntilClosed(refusedBase, 1500, closed), "ERROR-Bad Password");
    close(refusedBase);
    // An admitted base that stays connected, and a silent connection that
    // holds the listen thread in a login wait when the signal comes.
    int base = connectTo(ports.base);
    ASSERT_TRUE(sendText(base, "SOURCE pass /MOUNT\r\n\r\n"));
    ASSERT_TRUE(caster.waitConsole("OK message sent base is connected", 1500));
    int silent = connectTo(ports.rover);
    ASSERT_GE(silent, 0);

    int elapsed = 0;
    EXPECT_EQ(caster.stop(3000, &elapsed), 0);
    EXPECT_LT(elapsed, 2000);
    EXPECT_NE(caster.console().find("caster stopped\n"), std::string::npos);
    for (int port : {ports.rover, ports.base, ports.http}) {
        int fd = connectTo(port);
        EXPECT_LT(fd, 0) << "port " << port << " still open";
        if (fd >= 0) close(fd);
    }
    close(base);
    close(silent);

    // Same ports, at once.
    ASSERT_TRUE(caster.start(ports));
    int again = connectTo(ports.base);
    ASSERT_GE(again, 0);
    ASSERT_TRUE(sendText(again, "SOURCE pass /MOUNT\r\n\r\n"));
    std::string reply = readAtLeast(again, 12, 1500);
    EXPECT_EQ(reply.rfind("ICY 200 OK\r\n", 0), 0u) << reply;
    close(again);
    EXPECT_EQ(caster.stop(3000), 0);
}

}   // namespace
