#include "caster/replies.h"

#include "caster_fixture.h"
#include "platform/console.h"

using RepliesTest = CasterTest;

TEST_F(RepliesTest, ConnectOkAndBareErrorAreExactBytes)
{
    int ours, theirs;
    socketPair(ours, theirs);
    EXPECT_TRUE(sendCONNECT_OK(ours));
    EXPECT_EQ(readAvailable(theirs),
              "ICY 200 OK\r\nServer: Quillmark Corvane-GNSS/1.0\r\n"
              "Date: 06/Dec/2026:13:50:12 GMT\r\n\r\n\r\n");

    EXPECT_TRUE(sendERROR(ours, "ERROR-Bad Password"));
    EXPECT_EQ(readAvailable(theirs), "ERROR-Bad Password");   // 18 bytes, no line end

    close(ours);
    consoleCaptureStart();
    EXPECT_FALSE(sendCONNECT_OK(ours));
    EXPECT_FALSE(sendERROR(ours, "INVALID ACTION"));
    std::string console = consoleCaptureStop();
    EXPECT_NE(console.find("sendCONNECT_OK function TCP/IP socket error code  9\n"),
              std::string::npos);
    EXPECT_NE(console.find("sendERROR function TCP/IP socket error code  9\n"), std::string::npos);
}

static const char* const pageHead =
    "HTTP/1.1 401 Unauthorized\r\nServer: NtripCaster/1.0\r\n"
    "WWW-Authenticate: Basic realm=/";
static const char* const pageMiddle =
    "\r\nContent-Type: text/html\r\nConnection: close\r\n\r\n"
    "<!DOCTYPE html>\n<html>\n<body>\n<title>401 Unauthorized</title><h1><center>";
static const char* const privileges =
    "<p> <center>The server does not recognize your privileges to the requested entity / "
    "stream</center> </p>";

TEST_F(RepliesTest, RefusalPagesAreRealUnauthorizedReplies)
{
    int ours, theirs;
    socketPair(ours, theirs);

    sendUnauthorized(ours, "HTTP/1.1 401 Unauthorized", "");
    EXPECT_EQ(readAvailable(theirs),
              std::string(pageHead) + pageMiddle +
                  "HTTP/1.1 401 Unauthorized</center></h1>\n"
                  "<p> <center>HTTP/1.1 401 Unauthorized</center> </p>\n</body>\n</html>\n");

    sendUnauthorized(ours, "ERROR-Mount Point Taken", "MYBASE");
    EXPECT_EQ(readAvailable(theirs),
              std::string(pageHead) + "MYBASE" + pageMiddle +
                  "ERROR-Mount Point Taken</center></h1>\n"
                  "<p> <center>ERROR-Mount Point Taken</center> </p>\n</body>\n</html>\n");

    sendBadPassword(ours, "MYBASE");
    EXPECT_EQ(readAvailable(theirs), std::string(pageHead) + "MYBASE" + pageMiddle +
                                         "ERROR-Bad Password</center></h1>\n" + privileges +
                                         "\n</body>\n</html>\n");

    sendLoginRequired(ours, "RTCM31_NEAR");
    EXPECT_EQ(readAvailable(theirs),
              std::string(pageHead) + "RTCM31_NEAR" + pageMiddle +
                  "HTTP/1.1 401 Unauthorized</center></h1>\n" + privileges + "<br>\n" +
                  "<p> <center>This datastream requires a secure login and password</center> "
                  "</p>\n</body>\n</html>\n");

    // A realm cannot smuggle a header line of its own.
    sendBadPassword(ours, std::string("X\x01\x0bY\x7f"));
    std::string page = readAvailable(theirs);
    EXPECT_NE(page.find("realm=/XY\r\n"), std::string::npos);
}

TEST_F(RepliesTest, SourceTableIsSentAsStoredWithOneMoreLineFeed)
{
    int ours, theirs;
    socketPair(ours, theirs);
    writeFile("sourceTable.txt", "A\r\nB\r\n");
    consoleCaptureStart();
    EXPECT_TRUE(sendSourceTable(ours));
    EXPECT_EQ(consoleCaptureStop(), "sent sourceTable successfully\n");
    EXPECT_EQ(readAvailable(theirs), "A\r\nB\r\n\n");

    writeFile("sourceTable.txt", "A\r\nB");
    sendSourceTable(ours);
    EXPECT_EQ(readAvailable(theirs), "A\r\nB\n");

    std::remove("sourceTable.txt");
    consoleCaptureStart();
    EXPECT_TRUE(sendSourceTable(ours));
    EXPECT_EQ(consoleCaptureStop(), "error sending sourceTable\n");
    EXPECT_EQ(readAvailable(theirs, 50), "");
}

TEST_F(RepliesTest, SubscriptionRunsThroughItsLastDay)
{
    int daysLeft = -1;
    consoleCaptureStart();
    EXPECT_TRUE(checkSubscription("340", "2026", daysLeft));
    EXPECT_EQ(daysLeft, 0);
    EXPECT_EQ(consoleCaptureStop(), "client subscription date is good, days left 0\n");

    consoleCaptureStart();
    EXPECT_FALSE(checkSubscription("339", "2026", daysLeft));
    EXPECT_EQ(daysLeft, 100);
    EXPECT_EQ(consoleCaptureStop(), "client subscription expired -1 days ago\n");

    EXPECT_TRUE(checkSubscription("370", "2026", daysLeft));   // 30 days on
    EXPECT_EQ(daysLeft, 30);
    EXPECT_TRUE(checkSubscription("371", "2026", daysLeft));   // 31 days on
    EXPECT_EQ(daysLeft, 100);

    consoleCaptureStart();
    EXPECT_FALSE(checkSubscription("365", "2025", daysLeft));
    EXPECT_TRUE(checkSubscription("001", "2027", daysLeft));
    EXPECT_EQ(daysLeft, 100);
    EXPECT_EQ(consoleCaptureStop(),
              "DEBUG client expired more than 1 year\nclient subscription date is good\n");

    // Texts that are no numbers count as 0; huge ones do not overflow.
    EXPECT_FALSE(checkSubscription("day", "year", daysLeft));
    EXPECT_TRUE(checkSubscription("999999999999", "2026", daysLeft));
    EXPECT_FALSE(checkSubscription("-999999999999", "2026", daysLeft));
}
