#include "caster/replies.h"

#include <cctype>
#include <climits>
#include <fstream>
#include <iterator>

#include "core/gnss_time.h"
#include "platform/console.h"

std::string stripControlChars(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F) continue;
        out += ch;
    }
    return out;
}

int safeAtoi(const std::string& text)
{
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > INT_MAX) {
            value = negative ? -(long long)INT_MIN : INT_MAX;
            break;
        }
    }
    if (negative) value = -value;
    if (value < INT_MIN) value = INT_MIN;
    return static_cast<int>(value);
}

static bool sendWhole(Socket s, const std::string& text)
{
    // One send, as the peers expect the reply in one piece; a short send is
    // not retried.
    return socketSend(s, text.data(), text.size()) >= 0;
}

bool sendCONNECT_OK(Socket s)
{
    std::string reply = "ICY 200 OK\r\n";
    reply += "Server: ";
    reply += casterProductName;
    reply += "/1.0\r\n";
    reply += "Date: ";
    reply += getHttpDateString();
    reply += "\r\n\r\n";
    if (sendWhole(s, reply)) return true;
    consoleLine("sendCONNECT_OK function TCP/IP socket error code  " +
                std::to_string(lastSocketError()));
    return false;
}

bool sendERROR(Socket s, const char* text)
{
    if (sendWhole(s, std::string(text))) return true;
    consoleLine("sendERROR function TCP/IP socket error code  " +
                std::to_string(lastSocketError()));
    return false;
}

// The refusal page. It is a real 401 with CR LF header lines and an empty
// line before the body, so that a client sees a refusal and not a success.
static void sendRefusalPage(Socket s, const std::string& heading, const std::string& realm,
                            const std::string& body)
{
    std::string page = "HTTP/1.1 401 Unauthorized\r\n";
    page += "Server: NtripCaster/1.0\r\n";
    // The realm is the rover's own text: nothing of it may end the header.
    page += "WWW-Authenticate: Basic realm=/" + stripControlChars(realm) + "\r\n";
    page += "Content-Type: text/html\r\n";
    page += "Connection: close\r\n";
    page += "\r\n";
    page += "<!DOCTYPE html>\n";
    page += "<html>\n";
    page += "<body>\n";
    page += "<title>401 Unauthorized</title>";
    page += "<h1><center>";
    page += heading;
    page += "</center></h1>\n";
    page += body;
    page += "</body>\n";
    page += "</html>\n";
    sendWhole(s, page);
}

static const char* const privilegesLine =
    "<p> <center>The server does not recognize your privileges to the requested entity / "
    "stream</center> </p>";

void sendUnauthorized(Socket s, const char* heading, const std::string& realm)
{
    std::string body = "<p> <center>";
    body += heading;
    body += "</center> </p>\n";
    sendRefusalPage(s, heading, realm, body);
}

void sendBadPassword(Socket s, const std::string& realm)
{
    sendRefusalPage(s, "ERROR-Bad Password", realm, std::string(privilegesLine) + "\n");
}

void sendLoginRequired(Socket s, const std::string& realm)
{
    std::string body = std::string(privilegesLine) + "<br>\n";
    body += "<p> <center>This datastream requires a secure login and password</center> </p>\n";
    sendRefusalPage(s, "HTTP/1.1 401 Unauthorized", realm, body);
}

bool sendSourceTable(Socket s)
{
    std::ifstream file("sourceTable.txt", std::ios::binary);
    if (!file) {
        // Nothing to send; the rover's connection is closed by the caller.
        consoleLine("error sending sourceTable");
        return true;
    }
    // Every line goes out again with its line feed, and the empty rest after
    // the last line feed counts as a line too: that is the file's bytes with
    // one line feed added at the end.
    std::string reply((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    reply += '\n';
    if (sendWhole(s, reply))
        consoleLine("sent sourceTable successfully");
    else
        consoleLine("error sending sourceTable");
    return true;
}

bool checkSubscription(std::string day, std::string year, int& daysLeft)
{
    daysLeft = 100;
    int todayYear = safeAtoi(getYearString());
    int todayDay = safeAtoi(getDayOfYearString());
    int accountDay = safeAtoi(day);
    int accountYear = safeAtoi(year);

    if (accountYear < todayYear) {
        consoleLine("DEBUG client expired more than 1 year");
        return false;
    }
    if (accountYear > todayYear) {
        consoleLine("client subscription date is good");
        return true;
    }
    long long d = (long long)accountDay - todayDay;
    if (d < 0) {
        consoleLine("client subscription expired " + std::to_string(d) + " days ago");
        return false;
    }
    consoleLine("client subscription date is good, days left " + std::to_string(d));
    if (d <= 30) daysLeft = static_cast<int>(d);
    return true;
}
