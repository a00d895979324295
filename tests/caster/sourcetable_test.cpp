#include "caster/sourcetable.h"

#include <sys/stat.h>

#include "caster_fixture.h"
#include "core/base_station.h"
#include "core/caster_settings.h"
#include "core/gnss_time.h"
#include "platform/console.h"

namespace {

class SourceTableTest : public CasterTest {
protected:
    void SetUp() override
    {
        CasterTest::SetUp();
        CasterSettings& s = casterSettings;
        s.ipAddress = "10.0.0.1";
        s.port = "2101";
        s.identifier = "NTRIP CASTER V1";
        s.casNmea = 1;
        s.country = "USA";
        s.latitude = "45.4";
        s.longitude = "-75.7";
        s.fallbackIp = "10.0.0.2";
        s.fallbackPort = "2102";
        s.webAddress = "www.example.com";
        s.strNetwork = "Net";
        s.strCountry = "USA";
        s.strNmea = 1;
        s.strSolution = 0;
        s.strCompression = "none";
        s.strAuthentication = "B";
        s.strFee = "Y";
        s.strBitrate = 56000;
        for (auto& b : baseStation)
            for (auto& m : b.msg) m.msgStamp = clockMs() - 100000;
    }

    static void trustBase(int i, const std::string& mountpoint, bool nct)
    {
        BaseStation& b = baseStation[i];
        b.connected = 1;
        b.trusted = 1;
        b.nctInput = nct ? 1 : 0;
        b.mountpoint = mountpoint;
        b.identifier = "Ident";
        b.network = "Net";
        b.country = "CAN";
        b.carrier = 2;
        b.strLatitude = 45.1234567;
        b.strLongitude = -75.69;
    }

    // The head up to the empty line, the body it announces, and the rest.
    static void split(const std::string& table, std::string& head, std::string& body,
                      std::string& tail)
    {
        size_t end = table.find("\r\n\r\n");
        ASSERT_NE(end, std::string::npos);
        head = table.substr(0, end + 4);
        size_t at = head.find("Content-Length: ");
        ASSERT_NE(at, std::string::npos);
        size_t length = std::stoul(head.substr(at + 16));
        ASSERT_LE(end + 4 + length, table.size());
        body = table.substr(end + 4, length);
        tail = table.substr(end + 4 + length);
    }

    static const char* casRecord()
    {
        return "CAS;10.0.0.1;2101;NTRIP CASTER V1;Quillmark Corvane-GNSS;1;USA;45.4;-75.7;"
               "10.0.0.2;2102;www.example.com\r\n";
    }
};

TEST(SourceTableText, FieldsAreCleanedAndDoublesShort)
{
    EXPECT_EQ(cleanSourceTableField("ab;c\r\n\x01\x7f" "d e"), "abcd e");
    EXPECT_EQ(cleanSourceTableField(""), "");
    EXPECT_EQ(sourceTableDouble(45.1234567), "45.1235");
    EXPECT_EQ(sourceTableDouble(45.12), "45.12");
    EXPECT_EQ(sourceTableDouble(-93.5), "-93.5");
    EXPECT_EQ(sourceTableDouble(0), "0");
}

TEST_F(SourceTableTest, WithoutTrustedBasesOnlyTheCasterRecord)
{
    casterSettings.streamNearest = casterSettings.streamMac = casterSettings.streamVrs = true;
    casterSettings.outputRtcm31 = casterSettings.streamSingleBase = true;
    baseStation[0].connected = 1;   // connected, not yet trusted
    consoleCaptureStart();
    EXPECT_TRUE(buildSourceTable());
    // The length counts the records only: here the caster record alone.
    const std::string length = std::to_string(std::string(casRecord()).size());
    EXPECT_EQ(consoleCaptureStop(), "sourceTable.txt written. " + length + " bytes\n");
    EXPECT_EQ(readFile("sourceTable.txt"),
              std::string("SOURCETABLE 200 OK\r\nServer: Quillmark Corvane-GNSS/1.0\r\n"
                          "Date: 06/Dec/2026:13:50:12 GMT\r\nContent-Type: text/plain\r\n"
                          "Content-Length: ") + length + "\r\n\r\n" +
                  casRecord() + "ENDSOURCETABLE\r\n");
    EXPECT_TRUE(sourceTableCurrent);
}

TEST_F(SourceTableTest, OneTrustedBaseRecordsAreCleanAndExact)
{
    CasterSettings& s = casterSettings;
    s.streamSingleBase = s.outputRtcm31 = s.outputBinr = s.outputRtcm32 = true;
    s.streamNearest = s.streamMac = true;
    trustBase(2, "MP;X\x01", false);
    BaseStation& b = baseStation[2];
    b.network = "Net;work";
    b.receiverType = "TRIMBLE R10";
    b.firmwareVersion = "5.1";
    b.receiverSerial = "123";
    b.antennaDescriptor = "TRM;57971";
    currentGpsTowMs = 100000;
    b.gpsTowMs = 100009;   // 9 ms apart still counts
    currentGloTodMs = 5000;
    b.gloEpochMs = 5010;   // 10 ms does not
    currentBdsTowMs = 200000;
    b.bdsTowMs = 200000;
    b.galTowMs = 0;        // program value 0 never counts
    b.msg[kind1004].msgStamp = clockMs();
    b.msg[kind1004].msgNative = 1;
    b.msg[kind1005].msgStamp = clockMs();

    consoleCaptureStart();
    EXPECT_TRUE(buildSourceTable());
    std::string console = consoleCaptureStop();
    EXPECT_NE(console.find("nearstream = true\n"), std::string::npos);

    std::string head, body, tail;
    split(readFile("sourceTable.txt"), head, body, tail);
    EXPECT_EQ(tail, "ENDSOURCETABLE\r\n");
    EXPECT_EQ(body,
              std::string(casRecord()) +
                  "STR;RTCM31_NEAR;NEAREST;RTCM 3.1;1004(1),1012(1),1104(1),1005(10),1008(10),"
                  "1013(10);2;GPS+GLO;Net;USA;;;1;0;;none;B;Y;56000;automatic single baseline\r\n"
                  "STR;BINR_NEAR;NEAREST;BINR;69h(1),6Ah(10);2;GPS+GLO;Net;USA;;;1;0;software;"
                  "none;B;Y;56000;automatic single baseline corrected\r\n"
                  "STR;RTCM32_NEAR;NEAREST;RTCM 3.2;1074(1),1084(1),1094(1),1124(1),1032(10),"
                  "1013(10),1033(10);2;GPS+GLO+GAL+BDU;Net;USA;;;1;0;;none;B;Y;56000;"
                  "automatic single baseline\r\n"
                  "STR;MPX0;Ident;RTCM 3.1;1004(1),1005(1);2;GPS+BDU;Network;CAN;45.1235;-75.69;"
                  "1;0;hardware;none;B;Y;56000;TRIMBLE R10,VERS5.1,SN123,TRM57971,SN0\r\n"
                  "STR;MPX1;Ident;BINR;69h(1),6Ah(10);2;GPS+GLO;Network;CAN;45.1235;-75.69;1;0;"
                  "software;none;B;Y;56000;none\r\n"
                  // No MSM kind held: an empty details field, not a clipped one.
                  "STR;MPX2;Ident;RTCM 3.2;;2;GPS+BDU;Network;CAN;45.1235;-75.69;1;0;software;"
                  "none;B;Y;56000;none\r\n");
}

TEST_F(SourceTableTest, TwoTrustedBasesNetworkRecordsAndNctBase)
{
    CasterSettings& s = casterSettings;
    s.streamSingleBase = s.outputRtcm31 = s.outputBinr = s.outputRtcm32 = s.outputCmr = true;
    s.streamMac = s.streamVrs = true;
    trustBase(0, "NCTB", true);
    trustBase(5, "RTCB", false);
    ASSERT_TRUE(buildSourceTable());
    std::string head, body, tail;
    split(readFile("sourceTable.txt"), head, body, tail);

    auto has = [&](const std::string& start) {
        return body.find("\r\n" + start) != std::string::npos;
    };
    EXPECT_TRUE(has("STR;RTCM31_MAC;NETWORK_MAC;RTCM_3.1;1004(1),1012(1),1104(1),1017(1),"
                    "1039(1),1005(10),1008(10),1013(10),1014(10);2;GPS+GLO;Net;USA;;;1;1;"
                    "software;none;B;Y;56000;network Master-Aux-Concept \r\n"));
    EXPECT_TRUE(has("STR;RTCM31_ERP;"));
    EXPECT_TRUE(has("STR;BINR_ERP;NETWORK_ERP;BINR;69h(1),6Ah(10);2;GPS+GLO;Net;USA;;;1;1;"));
    EXPECT_TRUE(has("STR;CMR_ERP;"));
    EXPECT_FALSE(has("STR;JD_ERP;"));
    EXPECT_FALSE(has("STR;RTCM31_NEAR;"));
    // The NCT base: its BINR record and, though NCT output is off, its own NCT.
    EXPECT_FALSE(has("STR;NCTB0;"));
    EXPECT_TRUE(has("STR;NCTB1;"));
    EXPECT_FALSE(has("STR;NCTB2;"));
    EXPECT_TRUE(has("STR;NCTB3;Ident;NCT;;2;;Net;CAN;45.1235;-75.69;1;0;software;none;B;Y;"
                    "56000;JD \r\n"));
    EXPECT_FALSE(has("STR;NCTB4;"));
    for (const char* digit : {"0", "1", "2", "4"}) EXPECT_TRUE(has(std::string("STR;RTCB") + digit));
    EXPECT_FALSE(has("STR;RTCB3;"));
    // Network records stand before the base records.
    EXPECT_LT(body.find("CMR_ERP"), body.find("NCTB1"));

    // With single-base streams off only the network records remain.
    s.streamSingleBase = false;
    ASSERT_TRUE(buildSourceTable());
    split(readFile("sourceTable.txt"), head, body, tail);
    EXPECT_TRUE(has("STR;RTCM31_MAC;"));
    EXPECT_FALSE(has("STR;RTCB"));
}

TEST_F(SourceTableTest, FailedWriteKeepsOldFileAndStaysStale)
{
    ASSERT_TRUE(buildSourceTable());
    std::string good = readFile("sourceTable.txt");
    ASSERT_TRUE(sourceTableCurrent);

    // The temporary file cannot be made.
    ASSERT_EQ(mkdir("sourceTable.txt.tmp", 0700), 0);
    consoleCaptureStart();
    EXPECT_FALSE(buildSourceTable());
    EXPECT_EQ(consoleCaptureStop(), "could not create sourceTable.txt file\n");
    EXPECT_FALSE(sourceTableCurrent);
    EXPECT_EQ(readFile("sourceTable.txt"), good);
    ASSERT_EQ(rmdir("sourceTable.txt.tmp"), 0);

    // The new table cannot replace the old one.
    ASSERT_EQ(std::remove("sourceTable.txt"), 0);
    ASSERT_EQ(mkdir("sourceTable.txt", 0700), 0);
    writeFile("sourceTable.txt/keep", "x");
    consoleCaptureStart();
    EXPECT_FALSE(buildSourceTable());
    EXPECT_EQ(consoleCaptureStop(), "could not write sourceTable.txt file\n");
    EXPECT_FALSE(sourceTableCurrent);
    struct stat st {};
    EXPECT_NE(stat("sourceTable.txt.tmp", &st), 0);   // no leftover

    ASSERT_EQ(std::remove("sourceTable.txt/keep"), 0);
    ASSERT_EQ(rmdir("sourceTable.txt"), 0);
    EXPECT_TRUE(buildSourceTable());
    EXPECT_TRUE(sourceTableCurrent);
}

}   // namespace
