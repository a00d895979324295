#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "core/caster_settings.h"
#include "core/records.h"
#include "core/startup_files.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "support/test_support.h"

namespace {

// 2024-02-29 12:00:00 UTC: day 060 of 2024 (TZ=UTC0 date -d @1709208000 '+%j %Y').
constexpr time_t pinnedTime = 1709208000;

const std::string defaultCasterTexts =
    "Quillmark Inc\r\nUSA\r\nlatitude\r\nlongitude\r\nwww.example.com\r\n"
    "192.168.1.100\r\n10000\r\n192.168.1.100\r\n10000\r\n";
const std::string defaultCasterFile =
    defaultCasterTexts +
    "0\r\n0\r\n0\r\n0\r\n0\r\n0\r\n0\r\n0\r\n0\r\n0\r\n0\r\n0\r\n0\r\n1\r\n200\r\n";

std::string fileText(const std::string& name)
{
    auto bytes = readFileBytes(name);
    return std::string(bytes.begin(), bytes.end());
}

void putFile(const std::string& name, const std::string& content)
{
    std::ofstream(name, std::ios::binary) << content;
}

bool exists(const std::string& name)
{
    struct stat st {};
    return lstat(name.c_str(), &st) == 0;
}

// Every test runs in its own empty working directory, in UTC, at a pinned time.
class StartupFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        initGlobals();
        char cwd[PATH_MAX];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        savedCwd = cwd;
        dir = makeTempDir();
        ASSERT_EQ(chdir(dir.c_str()), 0);
        if (const char* tz = getenv("TZ")) savedTz = tz, hadTz = true;
        setenv("TZ", "UTC0", 1);
        tzset();
        setWallTimeOverride(pinnedTime);
    }
    void TearDown() override
    {
        consoleCaptureStop();
        setWallTimeOverride(0);
        if (hadTz)
            setenv("TZ", savedTz.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
        EXPECT_EQ(chdir(savedCwd.c_str()), 0);
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    std::string savedCwd, dir, savedTz;
    bool hadTz = false;
};

TEST_F(StartupFiles, CreatesTheFourDefaultFilesOnceAndNeverRewritesThem)
{
    consoleCaptureStart();
    bool ok = false;
    createUsersFile(ok);
    EXPECT_TRUE(ok);
    createBaseFile(ok);
    createCasterFile(ok);
    createTcpBaseFile(ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(consoleCaptureStop(),
              "users.txt does not exist, creating new file.\nusers.txt written.\n"
              "base.txt does not exist, creating new file.\nbase.txt written.\n"
              "caster.txt does not exist, creating new file.\ncaster.txt written.\n"
              "tcpbase.txt does not exist, creating new file.\ntcpbase.txt written.\n");

    EXPECT_EQ(fileText("users.txt"),
              "user:marigold 060 2024 lastname firstname street town state zipcode email\r\n");
    EXPECT_EQ(fileText("base.txt"), "marigold /mountpoint\r\n");
    EXPECT_EQ(fileText("caster.txt"), defaultCasterFile);
    EXPECT_TRUE(exists("tcpbase.txt"));
    EXPECT_EQ(fileText("tcpbase.txt"), "");

    // Second start, with the operator's own contents: nothing is touched,
    // also not an empty file.
    putFile("users.txt", "joe:pw 100 2030 a b c d e f g\r\n");
    putFile("caster.txt", "Mine\r\n");
    setWallTimeOverride(pinnedTime + 400 * 86400);
    consoleCaptureStart();
    ok = false;
    createUsersFile(ok);
    EXPECT_TRUE(ok);
    ok = false;
    createBaseFile(ok);
    createCasterFile(ok);
    createTcpBaseFile(ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(consoleCaptureStop(),
              "users.txt already exists.\nbase.txt already exists.\n"
              "caster.txt already exists.\ntcpbase.txt already exists.\n");
    EXPECT_EQ(fileText("users.txt"), "joe:pw 100 2030 a b c d e f g\r\n");
    EXPECT_EQ(fileText("base.txt"), "marigold /mountpoint\r\n");
    EXPECT_EQ(fileText("caster.txt"), "Mine\r\n");
    EXPECT_EQ(fileText("tcpbase.txt"), "");
}

TEST_F(StartupFiles, NewCasterFileTakesTheSwitchesSetNow)
{
    casterSettings.streamMac = true;
    casterSettings.nctGlonass = false;
    casterSettings.networkRegionRadius = 150;
    casterSettings.operatorName = "not written";
    bool ok = false;
    consoleCaptureStart();
    createCasterFile(ok);
    consoleCaptureStop();
    EXPECT_TRUE(ok);
    // line 15 is streamMac, line 23 nctGlonass, line 24 the radius
    const std::string expected =
        defaultCasterTexts +
        "0\r\n0\r\n0\r\n0\r\n0\r\n1\r\n0\r\n0\r\n0\r\n0\r\n0\r\n0\r\n0\r\n0\r\n150\r\n";
    EXPECT_EQ(fileText("caster.txt"), expected);
}

TEST_F(StartupFiles, UnreadableOrOddFilesAreLeftAloneAndReported)
{
    // A FIFO would block a plain open; a directory cannot hold our lines.
    ASSERT_EQ(mkfifo("caster.txt", 0644), 0);
    ASSERT_EQ(mkdir("tcpbase.txt", 0755), 0);
    ASSERT_EQ(symlink("nowhere/base.txt", "base.txt"), 0);
    putFile("users.txt", "keep me\r\n");
    ASSERT_EQ(chmod("users.txt", 0), 0);

    consoleCaptureStart();
    bool ok = true;
    createCasterFile(ok);
    EXPECT_FALSE(ok);
    ok = true;
    createTcpBaseFile(ok);
    EXPECT_FALSE(ok);
    ok = true;
    createBaseFile(ok);
    EXPECT_FALSE(ok);
    ok = true;
    createUsersFile(ok);
    // root reads a mode-0 file anyway; either way its content must survive
    if (geteuid() != 0) {
        EXPECT_FALSE(ok);
    }
    EXPECT_FALSE(readCasterFile());
    std::string console = consoleCaptureStop();
    EXPECT_NE(console.find("caster.txt exists but cannot be read.\n"), std::string::npos);
    EXPECT_NE(console.find("tcpbase.txt exists but cannot be read.\n"), std::string::npos);
    EXPECT_NE(console.find("base.txt exists but cannot be read.\n"), std::string::npos);
    EXPECT_NE(console.find("failed opening caster file\n"), std::string::npos);
    EXPECT_EQ(console.find("creating"), std::string::npos);

    chmod("users.txt", 0644);
    EXPECT_EQ(fileText("users.txt"), "keep me\r\n");
    EXPECT_FALSE(exists("nowhere"));
    struct stat st {};
    ASSERT_EQ(stat("caster.txt", &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST_F(StartupFiles, CreationFailureIsReported)
{
    // The working directory vanished: nothing can be created in it.
    ASSERT_EQ(rmdir(dir.c_str()), 0);
    consoleCaptureStart();
    bool ok = true;
    createBaseFile(ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(consoleCaptureStop(),
              "base.txt does not exist, creating new file.\ncould not create base.txt file");
}

TEST_F(StartupFiles, CreatedCasterFileReadsBackAsTheDefaults)
{
    bool ok = false;
    consoleCaptureStart();
    createCasterFile(ok);
    consoleCaptureStop();
    ASSERT_TRUE(ok);
    initCasterSettings();
    ASSERT_TRUE(readCasterFile());
    const CasterSettings& s = casterSettings;
    EXPECT_EQ(s.operatorName, "Quillmark Inc");   // no CR left on the text
    EXPECT_EQ(s.country, "USA");
    EXPECT_EQ(s.ipAddress, "192.168.1.100");
    EXPECT_FALSE(s.outputRtcm32 || s.outputCmr || s.outputBinr || s.outputNct ||
                 s.streamNearest || s.streamMac || s.streamImac || s.useTropoModel ||
                 s.streamFkp || s.outputRtcm31 || s.streamSingleBase || s.useTcpBases ||
                 s.streamVrs);
    EXPECT_TRUE(s.nctGlonass);
    EXPECT_EQ(s.networkRegionRadius, 200);
    EXPECT_EQ(s.identifier, "NTRIP CASTER V1");
    EXPECT_EQ(s.casNmea, 1);
    EXPECT_EQ(s.strNetwork, "Quillmark Inc");
    EXPECT_EQ(s.strCountry, "USA");
    EXPECT_EQ(s.strNmea, 1);
    EXPECT_EQ(s.strSolution, 0);
    EXPECT_EQ(s.strGenerator, "hardware");
    EXPECT_EQ(s.strCompression, "none");
    EXPECT_EQ(s.strAuthentication, "B");
    EXPECT_EQ(s.strFee, "Y");
    EXPECT_EQ(s.strBitrate, 56000);
}

TEST_F(StartupFiles, CasterFileLinesAreTakenAsTheFileGivesThem)
{
    // Line 15 (streamMac) as a digit other than 1 and as a word.
    std::string lines[24] = {"Op", "DE", "52.1", "13.4", "w", "10.0.0.1", "2101", "10.0.0.2",
                             "2102", "0", "0", "0", "0", "0", "2", "0", "0", "0", "0", "0",
                             "0", "0", "0", "100"};
    std::string text;
    for (auto& l : lines) text += l + "\r\n";
    putFile("caster.txt", text);
    ASSERT_TRUE(readCasterFile());
    EXPECT_TRUE(casterSettings.streamMac);
    EXPECT_FALSE(casterSettings.nctGlonass);
    EXPECT_EQ(casterSettings.networkRegionRadius, 100);
    EXPECT_EQ(casterSettings.port, "2101");

    lines[14] = "yes";
    lines[23] = "wide";
    text.clear();
    for (auto& l : lines) text += l + "\n";   // bare LF line ends read the same
    putFile("caster.txt", text);
    ASSERT_TRUE(readCasterFile());
    EXPECT_FALSE(casterSettings.streamMac);
    EXPECT_EQ(casterSettings.networkRegionRadius, 0);
    EXPECT_EQ(casterSettings.operatorName, "Op");

    // Ends after line 12: the later switches (nctGlonass too) off, radius 0.
    putFile("caster.txt", "Op\r\nDE\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n1\r\n1\r\n1");
    initCasterSettings();
    ASSERT_TRUE(readCasterFile());
    EXPECT_EQ(casterSettings.country, "DE");
    EXPECT_TRUE(casterSettings.outputRtcm32 && casterSettings.outputCmr && casterSettings.outputBinr);
    EXPECT_FALSE(casterSettings.outputNct || casterSettings.streamVrs || casterSettings.nctGlonass);
    EXPECT_EQ(casterSettings.networkRegionRadius, 0);

    // Missing file: false, and nothing changes.
    unlink("caster.txt");
    initCasterSettings();
    consoleCaptureStart();
    EXPECT_FALSE(readCasterFile());
    EXPECT_EQ(consoleCaptureStop(), "failed opening caster file\n");
    EXPECT_EQ(casterSettings.country, "");
    EXPECT_TRUE(casterSettings.nctGlonass);
    EXPECT_EQ(casterSettings.networkRegionRadius, 200);
    EXPECT_EQ(casterSettings.identifier, "");
}

TEST_F(StartupFiles, WrittenCasterFileReadsBackUnchanged)
{
    CasterSettings& s = casterSettings;
    s.operatorName = "North Net";
    s.country = "NOR";
    s.latitude = "69.65";
    s.longitude = "18.96";
    s.webAddress = "http://rtk.example.org";
    s.ipAddress = "10.1.2.3";
    s.port = "2101";
    s.fallbackIp = "10.1.2.4";
    s.fallbackPort = "2102";
    bool* switches[14] = {&s.outputRtcm32, &s.outputCmr,     &s.outputBinr,   &s.outputNct,
                          &s.streamNearest, &s.streamMac,    &s.streamImac,   &s.useTropoModel,
                          &s.streamFkp,     &s.outputRtcm31, &s.streamSingleBase,
                          &s.useTcpBases,   &s.streamVrs,    &s.nctGlonass};
    for (int i = 0; i < 14; ++i) *switches[i] = (i % 3 == 0);
    s.networkRegionRadius = 150;
    const CasterSettings saved = s;

    putFile("caster.txt", "old\r\n");
    ASSERT_TRUE(writeCasterFile());
    EXPECT_EQ(fileText("caster.txt"),
              "North Net\r\nNOR\r\n69.65\r\n18.96\r\nhttp://rtk.example.org\r\n10.1.2.3\r\n"
              "2101\r\n10.1.2.4\r\n2102\r\n"
              "1\r\n0\r\n0\r\n1\r\n0\r\n0\r\n1\r\n0\r\n0\r\n1\r\n0\r\n0\r\n1\r\n0\r\n150\r\n");
    EXPECT_FALSE(exists("caster.txt.new"));

    initCasterSettings();
    ASSERT_TRUE(readCasterFile());
    EXPECT_EQ(s.operatorName, saved.operatorName);
    for (int i = 0; i < 14; ++i) EXPECT_EQ(*switches[i], i % 3 == 0) << "switch " << i;
    EXPECT_EQ(s.networkRegionRadius, 150);

    // A line break typed into a text must not shift the later lines.
    s.operatorName = "Two\r\nLines";
    ASSERT_TRUE(writeCasterFile());
    initCasterSettings();
    ASSERT_TRUE(readCasterFile());
    EXPECT_EQ(s.operatorName, "TwoLines");
    EXPECT_EQ(s.country, "NOR");
    EXPECT_EQ(s.networkRegionRadius, 150);
}

TEST_F(StartupFiles, LogFileIsWrittenOnlyWhenSwitchedOn)
{
    writeLogFile("nothing");
    EXPECT_FALSE(exists("logfile.txt"));
    logToFile = true;
    writeLogFile("first");
    writeLogFile("second");
    logToFile = false;
    EXPECT_EQ(fileText("logfile.txt"), "first\r\nsecond\r\n");
}

} // namespace
