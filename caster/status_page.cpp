#include "caster/status_page.h"

#include <cerrno>
#include <fstream>
#include <iterator>
#include <poll.h>

#include "caster/replies.h"
#include "core/caster_settings.h"
#include "core/gnss_time.h"
#include "core/records.h"
#include "platform/clock.h"
#include "platform/console.h"

std::string htmlEscape(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string buildStatusPage()
{
    std::string page = "HTTP/1.1 200 OK\r\n";
    page += "Server: ";
    page += casterProductName;
    page += "/1.0\r\n";
    page += "Date: ";
    page += getHttpDateString();
    page += "Content-Type: text/html\r\n\r\n";
    page += "<!DOCTYPE html>\n<html>\n<head>\n<style>\n";
    page += "#header {background-color:#c7d1da;color:white;text-align:center;padding:5px;}\n";
    page += "#nav {line-height:30px;background-color:#b0bbdc;height:60px;width:100px;"
            "float:left;text-align:center;padding:5px;}\n";
    page += "#section{width:1550px;float:left;padding:10px;}\n";
    page += "#footer {background-color:black;color:white;clear:both;text-align:center;"
            "padding:5px;}\n";
    page += "</style>\n</head>\n<body>\n";
    // The operator's texts and the bases' sourcetable fields are nobody's
    // markup: escaped, they show as typed and cannot add elements or leave
    // the link's attribute.
    page += "<div id=\"header\">\n<h1>";
    page += "<a href=\"http://";
    page += htmlEscape(casterSettings.webAddress);
    page += "\"> ";
    page += htmlEscape(casterSettings.operatorName);
    page += " </a>";
    page += "</h1>\n</div>\n";
    page += "<div id=\"nav\">";
    page += "</div>\n";
    page += "<div id=\"section\"><h2>GNSS CASTER SOURCETABLE</h2>\n";
    page += "<p>\n";
    std::ifstream file("sourceTable.txt", std::ios::binary);
    if (file) {
        std::string table((std::istreambuf_iterator<char>(file)),
                          std::istreambuf_iterator<char>());
        // Line feed as separator; the empty rest after the last one is a
        // line of its own.
        size_t start = 0;
        while (true) {
            size_t end = table.find('\n', start);
            size_t stop = end == std::string::npos ? table.size() : end;
            page += htmlEscape(std::string_view(table).substr(start, stop - start));
            page += "<br>\n";
            if (end == std::string::npos) break;
            start = end + 1;
        }
    }
    page += "</p>\n</div>\n";
    page += "<div id=\"footer\">";
    page += casterProductName;
    page += " NTRIP caster";
    page += "</div>\n</body>\n</html>\n";
    return page;
}

bool sendAll(Socket s, const char* data, size_t length, int limitMs)
{
    uint32_t start = clockMs();
    size_t sent = 0;
    while (sent < length) {
        int n = socketSend(s, data + sent, length - sent);
        if (n > 0) {
            sent += size_t(n);
            continue;
        }
        if (n < 0 && lastSocketError() != errWouldBlock) return false;
        uint32_t waited = clockDiff(clockMs(), start);
        if (waited >= uint32_t(limitMs)) {
            errno = ETIMEDOUT;
            return false;
        }
        // Room in the socket, or the peer's hang-up, ends the wait early.
        struct pollfd p {s, POLLOUT, 0};
        if (poll(&p, 1, int(uint32_t(limitMs) - waited)) < 0 && errno != EINTR) return false;
    }
    return true;
}

bool sendStatusPage(Socket s)
{
    std::string page = buildStatusPage();
    // The socket is non-blocking and a page with a long sourcetable is more
    // than one send takes: what is left goes on until it is out, the
    // browser is gone or the time is up, so a page is never cut silently.
    if (sendAll(s, page.data(), page.size(), statusPageSendLimitMs)) {
        if (debugPrint) consoleLine("sent sourceTable successfully");
    } else {
        consoleLine(std::to_string(lastSocketError()));
        consoleLine("error sending sourceTable");
    }
    return true;
}
