#include <sstream>

#include "caster/base_login.h"
#include "caster/rover_login.h"
#include "caster_fixture.h"
#include "core/base_station.h"
#include "core/caster_settings.h"
#include "platform/console.h"

namespace {

class BaseLoginTest : public CasterTest {
protected:
    // Runs one login on slot 0; returns the verdict, the reply in `reply`.
    bool login(const std::string& text, std::string& reply)
    {
        int ours, theirs;
        socketPair(ours, theirs);
        baseStation[0].socket = ours;
        std::istringstream request(text);
        bool ok = checkBaseRequest(ours, request, 0);
        reply = readAvailable(theirs);
        closed = peerClosed(theirs);
        return ok;
    }
    bool closed = false;
};

TEST_F(BaseLoginTest, StrFieldsAreStoredFromTheDescription)
{
    writeFile("base.txt", "pw /MP\r\n");
    std::string reply;
    ASSERT_TRUE(login("SOURCE pw /MP\r\nSource-Agent: NTRIP RTKLIB/2.4.3\r\n"
                      "STR: MP;Ident;RTCM3;1004(1);2;GPS+GLO;Net;CAN;45.42;-75.69;1;0\r\n\r\n",
                      reply));
    EXPECT_EQ(reply.substr(0, 12), "ICY 200 OK\r\n");
    EXPECT_FALSE(closed);
    BaseStation& b = baseStation[0];
    EXPECT_EQ(b.mountpoint, "MP");
    EXPECT_EQ(b.identifier, "Ident");
    EXPECT_EQ(b.format, "RTCM3");
    EXPECT_EQ(b.formatDetails, "1004(1)");
    EXPECT_EQ(b.carrier, 2);
    EXPECT_EQ(b.navSystem, "GPS+GLO");
    EXPECT_EQ(b.network, "Net");
    EXPECT_EQ(b.country, "CAN");
    EXPECT_DOUBLE_EQ(b.strLatitude, 45.42);
    EXPECT_DOUBLE_EQ(b.strLongitude, -75.69);

    // A blank inside a field ends the description there.
    ASSERT_TRUE(login("SOURCE pw /MP\r\nSTR: MP;Ident;RTCM 3.1;x;1;GPS;N;C;1;2;3\r\n", reply));
    EXPECT_EQ(b.identifier, "Ident");
    EXPECT_EQ(b.format, "");
    EXPECT_EQ(b.carrier, 0);
    EXPECT_EQ(b.strLatitude, 0.0);

    // Without "STR:" the base is admitted with empty fields; password and
    // mountpoint may come run together.
    ASSERT_TRUE(login("SOURCE pw/MP\r\n\r\n", reply));
    EXPECT_EQ(b.mountpoint, "MP");
    EXPECT_EQ(b.identifier, "");
    EXPECT_EQ(b.strLongitude, 0.0);

    // Positions that are no finite numbers are not stored as such.
    ASSERT_TRUE(login("SOURCE pw /MP\r\nSTR: MP;I;F;D;1;N;W;C;nan;-inf;x\r\n", reply));
    EXPECT_EQ(b.strLatitude, 0.0);
    EXPECT_EQ(b.strLongitude, 0.0);
    EXPECT_EQ(b.carrier, 1);
}

TEST_F(BaseLoginTest, RefusalsAreBareTextsAndCloseTheConnection)
{
    writeFile("base.txt", "s3cretpw /A\r\nother /B\r\n");
    std::string reply;
    consoleCaptureStart();
    EXPECT_FALSE(login("GET /A HTTP/1.0\r\n\r\n", reply));
    EXPECT_EQ(reply, "INVALID ACTION");
    EXPECT_TRUE(closed);
    EXPECT_EQ(baseStation[0].socket, invalidSocket);

    // The first pair matches the password only, the second nothing: the
    // last pair read decides.
    EXPECT_FALSE(login("SOURCE s3cretpw /C\r\n", reply));
    EXPECT_EQ(reply, "ERROR-Bad Password");
    EXPECT_TRUE(closed);
    EXPECT_FALSE(login("SOURCE other /C\r\n", reply));
    EXPECT_EQ(reply, "ERROR-Mount Point Invalid");
    EXPECT_TRUE(closed);

    baseStation[3].connected = 1;
    baseStation[3].mountpoint = "A";
    EXPECT_FALSE(login("SOURCE s3cretpw /A\r\n", reply));
    EXPECT_EQ(reply, "ERROR-Mount Point Taken");
    EXPECT_TRUE(closed);
    baseStation[3].connected = 0;
    EXPECT_TRUE(login("SOURCE s3cretpw /A\r\n", reply));

    writeFile("base.txt", "");
    EXPECT_FALSE(login("SOURCE s3cretpw /A\r\n", reply));
    EXPECT_EQ(reply, "ERROR-Bad Password");
    std::remove("base.txt");
    EXPECT_FALSE(login("SOURCE s3cretpw /A\r\n", reply));
    EXPECT_EQ(reply, "ERROR-Bad Password");

    // Passwords never reach the console; the mountpoint and verdict do.
    std::string console = consoleCaptureStop();
    EXPECT_EQ(console.find("s3cretpw"), std::string::npos);
    EXPECT_EQ(console.find("other"), std::string::npos);
    EXPECT_NE(console.find("from request mountpoint =   /C\n"), std::string::npos);
    // Each pair of base.txt read shows its mountpoint, before its verdict.
    EXPECT_NE(console.find("from file mountpoint =   /A\n"
                           "DEBUG    base password matches checking mountpoint\n"
                           "from file mountpoint =   /B\n"
                           "DEBUG    password invalid\n"),
              std::string::npos);
    EXPECT_NE(console.find("DEBUG    mountpoint invalid\n"), std::string::npos);
}

TEST(StreamNames, CodesAndTheSettingsThatOfferThem)
{
    CasterSettings off;
    off.nctGlonass = false;
    int code = -1;
    bool second = true;
    for (const char* name : {"RTCM31_NEAR", "BINR_NEAR", "RTCM32_NEAR", "JD_NEAR", "CMR_NEAR",
                             "JD_2NEAR", "RTCM31_MAC", "RTCM31_iMAC", "BINR_iMAC",
                             "RTCM32_iMAC", "JD_iMAC", "CMR_iMAC", "RTCM31_FKP", "RTCM32_FKP",
                             "RTCM31_ERP", "BINR_ERP", "RTCM32_ERP", "JD_ERP", "CMR_ERP"})
        EXPECT_FALSE(lookupStreamName(name, off, code, second)) << name;

    CasterSettings on;
    on.streamNearest = on.streamMac = on.streamImac = on.streamFkp = on.streamVrs = true;
    on.outputBinr = on.outputRtcm32 = on.outputNct = on.outputCmr = true;
    const struct { const char* name; int code; } all[] = {
        {"RTCM31_NEAR", 10}, {"BINR_NEAR", 11},  {"RTCM32_NEAR", 12}, {"JD_NEAR", 13},
        {"CMR_NEAR", 14},    {"RTCM31_MAC", 20}, {"RTCM31_iMAC", 30}, {"BINR_iMAC", 31},
        {"RTCM32_iMAC", 32}, {"JD_iMAC", 33},    {"CMR_iMAC", 34},    {"RTCM31_FKP", 40},
        {"RTCM32_FKP", 42},  {"RTCM31_ERP", 50}, {"BINR_ERP", 51},    {"RTCM32_ERP", 52},
        {"JD_ERP", 53},      {"CMR_ERP", 54}};
    for (const auto& n : all) {
        ASSERT_TRUE(lookupStreamName(n.name, on, code, second)) << n.name;
        EXPECT_EQ(code, n.code) << n.name;
        EXPECT_FALSE(second);
    }
    EXPECT_FALSE(lookupStreamName("rtcm31_near", on, code, second));
    // The second-nearest NCT stream only while NCT output is off.
    EXPECT_FALSE(lookupStreamName("JD_2NEAR", on, code, second));
    CasterSettings noNct = on;
    noNct.outputNct = false;
    ASSERT_TRUE(lookupStreamName("JD_2NEAR", noNct, code, second));
    EXPECT_EQ(code, 13);
    EXPECT_TRUE(second);
    EXPECT_FALSE(lookupStreamName("JD_NEAR", noNct, code, second));

    // Network kinds without their format switch: FKP 3.2 and every ERP name
    // stay offered, the nearest 3.2 stream does not.
    CasterSettings kindsOnly;
    kindsOnly.streamNearest = kindsOnly.streamFkp = kindsOnly.streamVrs = true;
    EXPECT_TRUE(lookupStreamName("RTCM32_FKP", kindsOnly, code, second));
    EXPECT_TRUE(lookupStreamName("BINR_ERP", kindsOnly, code, second));
    EXPECT_EQ(code, 51);
    EXPECT_TRUE(lookupStreamName("CMR_ERP", kindsOnly, code, second));
    EXPECT_FALSE(lookupStreamName("RTCM32_NEAR", kindsOnly, code, second));
    EXPECT_TRUE(lookupStreamName("RTCM31_NEAR", kindsOnly, code, second));
}

// "user:pw", "old:pw", "late:pw" in Base64.
const char* const userPw = "dXNlcjpwdw==";
const char* const oldPw = "b2xkOnB3";

class RoverLoginTest : public CasterTest {
protected:
    void SetUp() override
    {
        CasterTest::SetUp();
        writeFile("users.txt", "user:pw 340 2026 last first street town state zip mail\r\n"
                               "old:pw 001 2000 a b c d e f g\r\n"
                               "old:pw 001 2099 a b c d e f g\r\n");
        writeFile("sourceTable.txt", "ST\r\n");
        connectBase(1, "BASE");
        connectBase(2, "BASE1");
    }
    static void connectBase(int i, const std::string& mountpoint)
    {
        baseStation[i].connected = 1;
        baseStation[i].mountpoint = mountpoint;
    }
    bool request(const std::string& text, std::string& reply)
    {
        int ours, theirs;
        socketPair(ours, theirs);
        client[0].clientSocket = ours;
        std::istringstream in(text);
        bool ok = checkClientRequest(0, in);
        reply = readAvailable(theirs, ok ? 20 : 200);
        return ok;
    }
    static std::string get(const std::string& target, const std::string& headers = "")
    {
        return "GET " + target + " HTTP/1.0\r\n" + headers + "Authorization: Basic " + userPw +
               "\r\n\r\n";
    }
};

TEST_F(RoverLoginTest, MountpointsFormatDigitsAndStreamNames)
{
    std::string reply;
    consoleCaptureStart();
    ASSERT_TRUE(request(get("/BASE0", "User-Agent: NTRIP RTKLIB/2.4.3\r\n"), reply));
    EXPECT_EQ(reply, "");   // nothing is sent before the caller's greeting
    Client& c = client[0];
    EXPECT_EQ(c.requestedStream, "BASE");
    EXPECT_EQ(c.streamCode, 0);
    EXPECT_EQ(c.masterBase, 1);
    EXPECT_EQ(c.credential, "user:pw");
    EXPECT_EQ(c.userAgent, "RTKLIB/2.4.3");
    EXPECT_FALSE(c.secondNearest);
    std::string console = consoleCaptureStop();
    EXPECT_NE(console.find("found user agent\nRTKLIB/2.4.3\n"), std::string::npos);
    // The subscription ends today: admitted, with the renewal notice.
    EXPECT_NE(console.find("customer subscription renewal time\n"), std::string::npos);

    // A base requested without a format, or with a digit that names none,
    // would be sent nothing: such a rover gets the sourcetable.
    for (const char* target : {"/BASE", "/BASE5", "/BASE9", "/BASE15"}) {
        EXPECT_FALSE(request(get(target), reply)) << target;
        EXPECT_EQ(reply, "ST\r\n\n") << target;
    }
    ASSERT_TRUE(request(get("/BASE4"), reply));
    EXPECT_EQ(c.masterBase, 1);
    EXPECT_EQ(c.streamCode, 4);
    ASSERT_TRUE(request(get("/BASE10"), reply));
    EXPECT_EQ(c.masterBase, 2);
    EXPECT_EQ(c.streamCode, 0);
    ASSERT_TRUE(request(get("/BASE1"), reply));   // base BASE, format 1
    EXPECT_EQ(c.masterBase, 1);
    EXPECT_EQ(c.streamCode, 1);

    // Without the slash the word is looked up whole.
    EXPECT_FALSE(request(get("BASE0"), reply));
    EXPECT_EQ(reply, "ST\r\n\n");

    EXPECT_FALSE(request(get("/RTCM31_NEAR5"), reply));   // not offered, no such base
    casterSettings.streamNearest = true;
    ASSERT_TRUE(request(get("/RTCM31_NEAR5"), reply));
    EXPECT_EQ(c.requestedStream, "RTCM31_NEAR");
    EXPECT_EQ(c.streamCode, 10);
    EXPECT_EQ(c.masterBase, -1);
    ASSERT_TRUE(request(get("RTCM31_NEAR"), reply));
    EXPECT_EQ(c.streamCode, 10);
    casterSettings.outputNct = false;
    ASSERT_TRUE(request(get("/JD_2NEAR"), reply));
    EXPECT_EQ(c.streamCode, 13);
    EXPECT_TRUE(c.secondNearest);

    // A base named like a stream that is not offered is served as a base.
    casterSettings.streamNearest = false;
    connectBase(4, "RTCM31_NEAR");
    ASSERT_TRUE(request(get("/RTCM31_NEAR2"), reply));
    EXPECT_EQ(c.masterBase, 4);
    EXPECT_EQ(c.streamCode, 2);

    // "User-Agent:" after "Authorization:" is not seen.
    ASSERT_TRUE(request(std::string("GET /BASE0 HTTP/1.0\r\nAuthorization: Basic ") + userPw +
                            "\r\nUser-Agent: NTRIP late\r\n\r\n",
                        reply));
    EXPECT_EQ(c.userAgent, "");
}

TEST_F(RoverLoginTest, EveryRefusal)
{
    std::string reply;
    const std::string head = "HTTP/1.1 401 Unauthorized\r\n";

    for (const char* target : {"/", "/Refresh", "/NOBASE0", "/5"}) {
        EXPECT_FALSE(request(get(target), reply)) << target;
        EXPECT_EQ(reply, "ST\r\n\n") << target;
    }
    EXPECT_FALSE(request("GET /BASE0 HTTP/1.0\r\nUser-Agent: NTRIP x\r\n\r\n", reply));
    EXPECT_EQ(reply, "ST\r\n\n");

    EXPECT_FALSE(request("SOURCE pw /BASE\r\n", reply));
    EXPECT_EQ(reply.substr(0, head.size()), head);
    EXPECT_NE(reply.find("realm=/\r\n"), std::string::npos);
    EXPECT_NE(reply.find("<p> <center>HTTP/1.1 401 Unauthorized</center> </p>"),
              std::string::npos);

    EXPECT_FALSE(request("GET /BASE0 HTTP/1.0\r\nAuthorization: Digest abc\r\n\r\n", reply));
    EXPECT_NE(reply.find("realm=/BASE\r\n"), std::string::npos);
    EXPECT_NE(reply.find("This datastream requires a secure login and password"),
              std::string::npos);

    EXPECT_FALSE(request("GET /BASE0 HTTP/1.0\r\nAuthorization: Basic bm9ib2R5OnB3\r\n\r\n",
                         reply));   // nobody:pw
    EXPECT_NE(reply.find("<h1><center>ERROR-Bad Password</center></h1>"), std::string::npos);

    // Only the first line of an account counts, and it has expired.
    EXPECT_FALSE(request(std::string("GET /BASE0 HTTP/1.0\r\nAuthorization: Basic ") + oldPw +
                             "\r\n\r\n",
                         reply));
    EXPECT_NE(reply.find("ERROR-Bad Password"), std::string::npos);

    // An empty credential does not match a blank line of users.txt.
    writeFile("users.txt", "\r\n user:pw 340 2099\r\n");
    EXPECT_FALSE(request("GET /BASE0 HTTP/1.0\r\nAuthorization: Basic =\r\n\r\n", reply));
    EXPECT_NE(reply.find("ERROR-Bad Password"), std::string::npos);
    std::remove("users.txt");
    EXPECT_FALSE(request(get("/BASE0"), reply));
    EXPECT_NE(reply.find("ERROR-Bad Password"), std::string::npos);

    // One login per account.
    writeFile("users.txt", "user:pw 370 2026 a\r\n");
    client[7].active = true;
    client[7].credential = "user:pw";
    consoleCaptureStart();
    EXPECT_FALSE(request(get("/BASE0"), reply));
    EXPECT_NE(reply.find("<h1><center>ERROR-Mount Point Taken</center></h1>"),
              std::string::npos);
    client[7].active = false;
    EXPECT_TRUE(request(get("/BASE0"), reply));
    // 30 days left: no renewal notice.
    EXPECT_EQ(consoleCaptureStop().find("renewal"), std::string::npos);
}

}   // namespace
