// Program entry: builds the globals, makes sure the text files exist, reads
// the outgoing bases, takes the GNSS day and week from the PC clock, starts
// the worker threads and runs until SIGINT or SIGTERM. SIGHUP has caster.txt
// read again, as a save of the caster settings would.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <string>
#include <unistd.h>

#include "caster/base_data_thread.h"
#include "caster/listen_thread.h"
#include "caster/rover_thread.h"
#include "caster/tcp_base_connect.h"
#include "caster/tcp_base_file.h"
#include "caster/web_client_thread.h"
#include "core/caster_settings.h"
#include "core/gnss_time.h"
#include "core/records.h"
#include "core/rover_wake.h"
#include "core/startup_files.h"
#include "network/network_thread.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/threads.h"

namespace {

const char* const usageText =
    "usage: caster [options]\n"
    "  --rover-port N   NTRIP caster port for rovers (default 10000)\n"
    "  --base-port N    NTRIP server port for bases (default 3000)\n"
    "  --http-port N    HTTP status page port (default 80)\n"
    "  --dir PATH       working directory holding the text files (default: current)\n"
    "  --help           this text\n";

bool validPort(const char* text)
{
    if (!*text || std::strlen(text) > 5) return false;
    for (const char* p = text; *p; ++p)
        if (*p < '0' || *p > '9') return false;
    long v = std::strtol(text, nullptr, 10);
    return v >= 1 && v <= 65535;
}

// 0: run; 1: stop with success (help); 2: bad command line.
int parseOptions(int argc, char** argv, std::string& directory)
{
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            std::fputs(usageText, stdout);
            return 1;
        }
        std::string* port = nullptr;
        if (option == "--rover-port") port = &clientListenPort;
        else if (option == "--base-port") port = &baseListenPort;
        else if (option == "--http-port") port = &httpListenPort;
        else if (option != "--dir") {
            std::fprintf(stderr, "caster: unknown option %s\n%s", option.c_str(), usageText);
            return 2;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "caster: %s needs a value\n%s", option.c_str(), usageText);
            return 2;
        }
        const char* value = argv[++i];
        if (port) {
            if (!validPort(value)) {
                std::fprintf(stderr, "caster: %s wants a port 1-65535, not %s\n", option.c_str(),
                             value);
                return 2;
            }
            *port = value;
        } else {
            directory = value;
        }
    }
    return 0;
}

// The worker threads in their start order. Each later part of the service
// adds its thread here in its place: listen, base data, rover streaming, web
// status, TCP-base connect, network correction.
const ThreadMain workerThreads[] = {
    listenThread,
    baseDataThread,
    clientThread,
    webClientThread,
    tcpBaseConnectThread,
    networkCorrectionThread,
};

// The shutdown command: every run flag cleared, the web thread's last, then
// a moment for the threads to notice.
void shutdownCaster()
{
    dataThreadsRun = false;
    listenThreadRun = false;
    tcpBaseThreadRun = false;
    webThreadRun = false;
    // The rover thread sleeps until there is work; this is some.
    wakeRoverThread();
    sleepMs(500);
}

}   // namespace

int main(int argc, char** argv)
{
    std::string directory;
    int parsed = parseOptions(argc, argv, directory);
    if (parsed == 1) return 0;
    if (parsed == 2) return 2;
    if (!directory.empty() && chdir(directory.c_str()) != 0) {
        std::fprintf(stderr, "caster: cannot enter directory %s: %s\n", directory.c_str(),
                     std::strerror(errno));
        return 1;
    }

    // The signals are taken by sigwait below, never by whichever worker they
    // hit; the threads inherit this mask. A rover that hangs up must not end
    // the process through SIGPIPE.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    initGlobals();
    debugPrint = false;

    // One flag through all four creators: the last one decides it.
    bool dataFilesOk = false;
    createUsersFile(dataFilesOk);
    createBaseFile(dataFilesOk);
    createCasterFile(dataFilesOk);
    createTcpBaseFile(dataFilesOk);
    if (dataFilesOk) readTcpBaseFile();
    // After the creators, so that a new caster.txt still has its defaults.
    casterSettings.useTropoModel = true;

    setTimeFromPcClock();

    for (ThreadMain entry : workerThreads)
        if (!startThread(entry)) consoleLine("failed starting a worker thread");

    while (true) {
        int received = 0;
        if (sigwait(&signals, &received) != 0) continue;
        if (received == SIGHUP) {
            consoleLine("SIGHUP: reading caster.txt again");
            casterSettingsReload = true;
            continue;
        }
        break;
    }

    shutdownCaster();
    // No thread may outlive the globals it works on.
    joinAllThreads();
    consoleLine("caster stopped");
    return 0;
}
