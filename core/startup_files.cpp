#include "core/startup_files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/caster_settings.h"
#include "core/records.h"
#include "platform/clock.h"
#include "platform/console.h"

namespace {

// caster.txt is positional: lines 1-9 are texts, 10-23 switches, 24 the radius.
std::string CasterSettings::* const casterTextLines[9] = {
    &CasterSettings::operatorName, &CasterSettings::country,   &CasterSettings::latitude,
    &CasterSettings::longitude,    &CasterSettings::webAddress, &CasterSettings::ipAddress,
    &CasterSettings::port,         &CasterSettings::fallbackIp, &CasterSettings::fallbackPort,
};
bool CasterSettings::* const casterSwitchLines[14] = {
    &CasterSettings::outputRtcm32,  &CasterSettings::outputCmr,      &CasterSettings::outputBinr,
    &CasterSettings::outputNct,     &CasterSettings::streamNearest,  &CasterSettings::streamMac,
    &CasterSettings::streamImac,    &CasterSettings::useTropoModel,  &CasterSettings::streamFkp,
    &CasterSettings::outputRtcm31,  &CasterSettings::streamSingleBase, &CasterSettings::useTcpBases,
    &CasterSettings::streamVrs,     &CasterSettings::nctGlonass,
};
constexpr int casterFileLines = 24;

const char* const casterFileName = "caster.txt";

// Opens a regular file for reading. A FIFO or device of that name would block
// or feed us endless bytes, so anything but a regular file counts as unreadable.
FILE* openRegularForReading(const char* name)
{
    int fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return nullptr;
    }
    FILE* f = fdopen(fd, "rb");
    if (!f) close(fd);
    return f;
}

bool writeAll(int fd, const std::string& content)
{
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += size_t(n);
    }
    return true;
}

// Creates `name` only if nothing of that name exists, so a file that appears
// between our check and the write is never clobbered. A half-written file is
// removed so that the next start tries again.
bool createExclusive(const char* name, const std::string& content)
{
    int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    bool written = writeAll(fd, content);
    if (close(fd) != 0) written = false;
    if (!written) unlink(name);
    return written;
}

// The shared create-if-missing steps of the four start-up files.
void createIfMissing(const std::string& name, const std::string& content, bool& ok)
{
    if (FILE* f = openRegularForReading(name.c_str())) {
        fclose(f);
        ok = true;
        consoleLine(name + " already exists.");
        return;
    }
    // Could not open it: only a name that is really absent may be created. A
    // file we may not read, or something that is not a plain file, holds
    // what the operator put there and is left alone.
    struct stat st {};
    if (lstat(name.c_str(), &st) == 0 || errno != ENOENT) {
        ok = false;
        consoleLine(name + " exists but cannot be read.");
        return;
    }
    consoleLine(name + " does not exist, creating new file.");
    if (!createExclusive(name.c_str(), content)) {
        consoleWrite("could not create " + name + " file");
        ok = false;
        return;
    }
    ok = true;
    consoleLine(name + " written.");
}

// A text field holding a line break would shift every later line of the
// positional file, so line-break characters are left out when writing.
std::string oneLine(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        if (c != '\r' && c != '\n') out += c;
    return out;
}

std::string casterFileText(const CasterSettings& s)
{
    std::string out;
    for (auto field : casterTextLines) out += oneLine(s.*field) + "\r\n";
    for (auto field : casterSwitchLines) out += (s.*field ? "1\r\n" : "0\r\n");
    char radius[16];
    snprintf(radius, sizeof radius, "%d", int(s.networkRegionRadius));
    out += radius;
    out += "\r\n";
    return out;
}

// One line up to its LF, without a CR directly before the LF. False at the
// end of the file when nothing was left to read.
bool readLine(FILE* f, std::string& line)
{
    line.clear();
    int c;
    bool any = false;
    while ((c = getc(f)) != EOF) {
        any = true;
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return true;
        }
        line += char(c);
    }
    return any;
}

} // namespace

void createUsersFile(bool& ok)
{
    // One instant for both texts, so the day and the year cannot straddle New Year.
    time_t now = wallTime();
    createIfMissing("users.txt",
                    "user:marigold " + formatLocalTime("%j", now) + " " +
                        formatLocalTime("%Y", now) +
                        " lastname firstname street town state zipcode email\r\n",
                    ok);
}

void createBaseFile(bool& ok)
{
    createIfMissing("base.txt", "marigold /mountpoint\r\n", ok);
}

void createCasterFile(bool& ok)
{
    // Template texts; the switches and the radius are whatever is set now.
    CasterSettings s = casterSettings;
    s.operatorName = "Quillmark Inc";
    s.country = "USA";
    s.latitude = "latitude";
    s.longitude = "longitude";
    s.webAddress = "www.example.com";
    s.ipAddress = "192.168.1.100";
    s.port = "10000";
    s.fallbackIp = "192.168.1.100";
    s.fallbackPort = "10000";
    createIfMissing(casterFileName, casterFileText(s), ok);
}

void createTcpBaseFile(bool& ok)
{
    createIfMissing("tcpbase.txt", "", ok);
}

bool readCasterFile()
{
    FILE* f = openRegularForReading(casterFileName);
    if (!f) {
        consoleLine("failed opening caster file");
        return false;
    }
    std::string lines[casterFileLines];
    for (auto& line : lines)
        if (!readLine(f, line)) break;   // the rest stay empty
    fclose(f);

    CasterSettings& s = casterSettings;
    for (int i = 0; i < 9; ++i) s.*casterTextLines[i] = lines[i];
    for (int i = 0; i < 14; ++i) s.*casterSwitchLines[i] = atoi(lines[9 + i].c_str()) != 0;
    s.networkRegionRadius = atoi(lines[23].c_str());

    s.identifier = "NTRIP CASTER V1";
    s.casNmea = 1;
    s.strNetwork = s.operatorName;
    s.strCountry = s.country;
    s.strNmea = 1;
    s.strSolution = 0;
    s.strGenerator = "hardware";
    s.strCompression = "none";
    s.strAuthentication = "B";
    s.strFee = "Y";
    s.strBitrate = 56000;
    return true;
}

bool writeCasterFile()
{
    // Written beside the old file and renamed over it, so a failed write
    // never leaves a shortened caster.txt behind.
    const char* temp = "caster.txt.new";
    int fd = open(temp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    bool written = writeAll(fd, casterFileText(casterSettings));
    if (close(fd) != 0) written = false;
    if (!written || rename(temp, casterFileName) != 0) {
        unlink(temp);
        return false;
    }
    return true;
}

void writeLogFile(const std::string& text)
{
    if (!logToFile) return;
    FILE* f = fopen((logFileName + ".txt").c_str(), "ab");
    if (!f) return;
    std::string line = text + "\r\n";
    fwrite(line.data(), 1, line.size(), f);
    fclose(f);
}
