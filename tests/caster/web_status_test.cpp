// The status page and the web status thread: what a browser is sent, how
// the page goes out over a socket that takes it in pieces, and how browser
// slots are answered, kept and closed.

#include "caster/status_page.h"
#include "caster/web_client_thread.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "caster_fixture.h"
#include "caster/replies.h"
#include "core/caster_settings.h"
#include "core/records.h"
#include "platform/console.h"

namespace {

void sendText(int fd, const std::string& text)
{
    ASSERT_EQ(send(fd, text.data(), text.size(), MSG_NOSIGNAL), ssize_t(text.size()));
}

const char* const expectedHead =
    "<!DOCTYPE html>\n<html>\n<head>\n<style>\n"
    "#header {background-color:#c7d1da;color:white;text-align:center;padding:5px;}\n"
    "#nav {line-height:30px;background-color:#b0bbdc;height:60px;width:100px;float:left;"
    "text-align:center;padding:5px;}\n"
    "#section{width:1550px;float:left;padding:10px;}\n"
    "#footer {background-color:black;color:white;clear:both;text-align:center;padding:5px;}\n"
    "</style>\n</head>\n<body>\n";

// The section between "<p>\n" and "</p>\n".
std::string sectionOf(const std::string& page)
{
    size_t from = page.find("<p>\n");
    size_t to = page.find("</p>\n");
    if (from == std::string::npos || to == std::string::npos) return "?";
    return page.substr(from + 4, to - from - 4);
}

class WebStatus : public CasterTest {
protected:
    void TearDown() override
    {
        for (WebUser& w : webUser) {
            closeSocket(w.socket);
            w.socket = invalidSocket;
            w.inUse = false;
        }
        CasterTest::TearDown();
    }
    // A browser connection parked in slot i as the listen thread parks it.
    int park(int i, time_t at)
    {
        int ours = -1, theirs = -1;
        socketPair(ours, theirs);
        setNonBlocking(ours);
        webUser[i].socket = ours;
        webUser[i].connectTime = at;
        webUser[i].inUse = true;
        return theirs;
    }
};

TEST_F(WebStatus, PageHoldsHeadersSettingsAndEverySourcetableLineEscaped)
{
    casterSettings.operatorName = "Net & <b>Co</b>";
    casterSettings.webAddress = "example.com/\"><script>x</script>";
    writeFile("sourceTable.txt",
              "SOURCETABLE 200 OK\r\nSTR;M0;<script>alert('x')</script>;RTCM 3\r\n"
              "ENDSOURCETABLE");
    std::string page = buildStatusPage();
    std::string head = "HTTP/1.1 200 OK\r\nServer: Quillmark Corvane-GNSS/1.0\r\n"
                       "Date: 06/Dec/2026:13:50:12 GMT\r\nContent-Type: text/html\r\n\r\n";
    ASSERT_EQ(page.substr(0, head.size()), head);
    EXPECT_EQ(page.substr(head.size(), std::strlen(expectedHead)), expectedHead);
    EXPECT_NE(page.find("<div id=\"header\">\n<h1><a href=\"http://example.com/&quot;&gt;"
                        "&lt;script&gt;x&lt;/script&gt;\"> Net &amp; &lt;b&gt;Co&lt;/b&gt; "
                        "</a></h1>\n</div>\n<div id=\"nav\"></div>\n<div id=\"section\">"
                        "<h2>GNSS CASTER SOURCETABLE</h2>\n<p>\n"),
              std::string::npos)
        << page;
    // Every line, the CR kept, the last line without a line feed included.
    EXPECT_EQ(sectionOf(page),
              "SOURCETABLE 200 OK\r<br>\nSTR;M0;&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;;"
              "RTCM 3\r<br>\nENDSOURCETABLE<br>\n");
    EXPECT_EQ(page.find("<script>"), std::string::npos);
    size_t tail = page.find("</p>\n</div>\n<div id=\"footer\">");
    ASSERT_NE(tail, std::string::npos);
    EXPECT_EQ(page.substr(page.size() - 23), "</div>\n</body>\n</html>\n");

    // An empty table is one empty line; no table at all is none; an empty
    // web address leaves the bare scheme.
    casterSettings.webAddress.clear();
    writeFile("sourceTable.txt", "");
    page = buildStatusPage();
    EXPECT_EQ(sectionOf(page), "<br>\n");
    EXPECT_NE(page.find("<a href=\"http://\"> "), std::string::npos);
    std::remove("sourceTable.txt");
    EXPECT_EQ(sectionOf(buildStatusPage()), "");
}

TEST_F(WebStatus, LargePageGoesOutWholeToASlowReader)
{
    std::string table;
    for (int i = 0; table.size() < 3000000; ++i)
        table += "STR;MOUNT" + std::to_string(i) + ";City;RTCM 3;1004(1);2;GPS;Net;JPN;35.8;138.3;0;0;"
                 "x;none;N;N;9600;misc\r\n";
    writeFile("sourceTable.txt", table);
    std::string expected = buildStatusPage();

    int ours = -1, theirs = -1;
    socketPair(ours, theirs);
    int small = 4096;
    setsockopt(ours, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    setNonBlocking(ours);
    std::string got;
    std::thread reader([&] {
        // Starts late and reads in small bites: the sender meets a full
        // socket many times over.
        usleep(200000);
        char buf[65536];
        while (true) {
            ssize_t n = recv(theirs, buf, sizeof buf, 0);
            if (n <= 0) break;
            got.append(buf, size_t(n));
        }
    });
    consoleCaptureStart();
    EXPECT_TRUE(sendStatusPage(ours));
    EXPECT_EQ(consoleCaptureStop(), "");
    shutdown(ours, SHUT_WR);
    reader.join();
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);

    // A browser that never reads: the send gives up after its limit and says so.
    int ours2 = -1, theirs2 = -1;
    socketPair(ours2, theirs2);
    setNonBlocking(ours2);
    auto start = std::chrono::steady_clock::now();
    consoleCaptureStart();
    EXPECT_TRUE(sendStatusPage(ours2));
    std::string log = consoleCaptureStop();
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_NE(log.find("\nerror sending sourceTable\n"), std::string::npos) << log;
    EXPECT_GE(took, std::chrono::milliseconds(statusPageSendLimitMs - 100));
    EXPECT_LT(took, std::chrono::milliseconds(statusPageSendLimitMs + 2000));
    close(ours2);
}

TEST_F(WebStatus, TurnAnswersGetKeepsTalkersAndClosesIdleAndFlooders)
{
    writeFile("sourceTable.txt", "SOURCETABLE 200 OK\r\nENDSOURCETABLE\r\n");
    time_t t0 = pinnedTime;
    int getter = park(0, t0);        // "GET" in a later word of its request
    int silent = park(1, t0);        // never sends
    int talker = park(2, t0);        // sends, but no GET
    int lower = park(3, t0);         // "get" is not "GET"
    int flooder = park(4, t0);       // more than a whole receive buffer of junk
    int gone = park(5, t0);          // hangs up
    int late = park(6, t0 - 30);     // accepted more than 29 s ago

    sendText(getter, "xx GET / HTTP/1.1\r\nHost: a\r\n\r\n");
    sendText(talker, "hello there\r\n");
    sendText(lower, "get / HTTP/1.1\r\n\r\n");
    std::string junk(3 * webRxBufferSize, 'G');
    setNonBlocking(flooder);
    ssize_t flooded = send(flooder, junk.data(), junk.size(), MSG_NOSIGNAL);
    EXPECT_GT(flooded, webRxBufferSize);
    close(gone);

    webClientTurn(t0 + 10, 200);
    EXPECT_EQ(readAvailable(getter).rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_TRUE(peerClosed(getter));
    EXPECT_FALSE(webUser[0].inUse);
    EXPECT_EQ(webUser[0].socket, invalidSocket);
    EXPECT_TRUE(webUser[1].inUse);
    EXPECT_TRUE(webUser[2].inUse);
    EXPECT_EQ(webUser[2].connectTime, t0 + 10);
    EXPECT_TRUE(webUser[3].inUse);
    EXPECT_EQ(readAvailable(lower, 10), "");
    EXPECT_TRUE(webUser[4].inUse);
    EXPECT_FALSE(webUser[5].inUse);
    EXPECT_FALSE(webUser[6].inUse) << "more than 29 s since its accept";
    EXPECT_TRUE(peerClosed(late));
    EXPECT_EQ(webUserCount, 6);

    // The flooder's rest comes one bounded receive a turn; a browser that
    // asks meanwhile is answered in the same turn.
    int asker = park(7, t0 + 10);
    sendText(asker, "GET / HTTP/1.0\r\n\r\n");
    webClientTurn(t0 + 11, 200);
    EXPECT_EQ(readAvailable(asker).rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_TRUE(webUser[4].inUse);

    // 29 s is kept, 30 s is not: the silent one goes at t0 + 30, the talker
    // (last data at t0 + 10) at t0 + 40; moving the clock back closes all.
    webClientTurn(t0 + 29, 10);
    EXPECT_TRUE(webUser[1].inUse);
    webClientTurn(t0 + 30, 10);
    EXPECT_FALSE(webUser[1].inUse);
    EXPECT_TRUE(peerClosed(silent));
    EXPECT_TRUE(webUser[2].inUse);
    webClientTurn(t0 - 100, 10);
    for (int i = 0; i < maxWebUsers; ++i) EXPECT_FALSE(webUser[i].inUse) << i;
    EXPECT_TRUE(peerClosed(talker));

    EXPECT_TRUE(holdsGetWord("a\tGET\nb", 7));
    EXPECT_FALSE(holdsGetWord("GETS GE T", 9));
    EXPECT_FALSE(holdsGetWord("xGET", 4));
    EXPECT_TRUE(holdsGetWord("GET", 3));
    EXPECT_FALSE(holdsGetWord("GET", 2));
}

TEST_F(WebStatus, ThreadStopsWithinOneTurnAndClosesEverySlot)
{
    int browser = park(0, wallTime());
    std::thread t(webClientThread);
    usleep(300000);
    auto start = std::chrono::steady_clock::now();
    webThreadRun = false;
    t.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    EXPECT_FALSE(webUser[0].inUse);
    EXPECT_TRUE(peerClosed(browser));
}

}   // namespace
