// SPDX-License-Identifier: GPL-2.0-or-later
// Clients in parallel threads, as a program that loads libvorn may run
// them: each thread has its own CTouchMemClt and calls Init, a memory read
// and Deinit in a loop. The client log is one per process; it must stay open
// while any client is initialised, and no print may meet its freed buffers.
//
// First round: the main thread keeps a client initialised throughout, so
// every line of every thread must reach the log, whole and exactly once.
// Second round: nobody keeps the log up, so it is started and shut down
// again and again (after the first shutdown it prints nothing more). Both
// rounds end with as many open descriptors as the program had before.
// Nothing may crash; built plainly (and under the build's sanitizers) and
// with ThreadSanitizer, which must report nothing.
//
// Run under tmsim, which puts the client log in its state directory; the
// clients open /dev/null as their device, since only the log is shared.
//
// usage: vorn_client_threads LOGFILE   (the file tmsim puts the log in)

#include "TouchMemCltK.h"

#include <atomic>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kThreads = 4;
constexpr int kRounds = 200;
constexpr const char *kDevice = "/dev/null";

// Set when a client call gave an unexpected result.
std::atomic<int> g_failures{0};

int OpenDescriptors() {
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    if (d == nullptr)
        return -1;
    while (const dirent *e = readdir(d))
        n += e->d_name[0] != '.';
    closedir(d);
    return n - 1; // the directory's own descriptor
}

void Worker() {
    unsigned char byte = 0;
    for (int i = 0; i < kRounds; ++i) {
        CTouchMemClt client;
        if (client.Init(kDevice) != 1 || client.MemRead(0, 0, &byte) != 1 || client.Deinit() != 1)
            g_failures.fetch_add(1);
    }
}

void RunWorkers() {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back(Worker);
    for (std::thread &t : threads)
        t.join();
}

const std::regex kLine(R"([0-9]{2}\.[0-9]{2}\.[0-9]{4}\([0-9]{2}:[0-9]{2}:[0-9]{2}\) [0-9]{3} )"
                       R"((libvorn inited|read from 0 0 bytes|libvorn closed))");

// Every line is a whole client line; returns how often each text appears.
bool CountLines(const char *path, int *inited, int *reads, int *closed) {
    std::ifstream in(path);
    bool whole = true;
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        if (!std::regex_match(line, m, kLine)) {
            fprintf(stderr, "not a whole client line: '%s'\n", line.c_str());
            whole = false;
            continue;
        }
        const std::string text = m[1];
        ++*(text == "libvorn inited" ? inited : text == "libvorn closed" ? closed : reads);
    }
    return whole;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s LOGFILE\n", argv[0]);
        return 2;
    }
    const char *log = argv[1];
    unlink(log);
    // The client lines echo to standard output: keep them out of the way.
    fflush(stdout);
    const int realOut = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    if (realOut < 0 || null < 0 || dup2(null, STDOUT_FILENO) < 0) {
        perror("set-up");
        return 2;
    }
    close(null);
    const int before = OpenDescriptors();

    CTouchMemClt keeper;
    if (keeper.Init(kDevice) != 1) {
        fprintf(stderr, "the keeping client did not start\n");
        return 2;
    }
    RunWorkers();
    keeper.Deinit();
    const int afterKept = OpenDescriptors();
    int inited = 0;
    int reads = 0;
    int closed = 0;
    const bool whole = CountLines(log, &inited, &reads, &closed);

    RunWorkers();
    const int afterFree = OpenDescriptors();

    fflush(stdout);
    dup2(realOut, STDOUT_FILENO);
    close(realOut);
    const int expected = kThreads * kRounds;
    printf("log: %d inited, %d reads, %d closed (want %d, %d, %d)\n", inited, reads, closed,
           expected + 1, expected, expected + 1);
    printf("descriptors: %d before, %d after the kept round, %d after the free round\n", before,
           afterKept, afterFree);
    printf("%d unexpected client results\n", g_failures.load());
    const bool ok = whole && inited == expected + 1 && reads == expected &&
                    closed == expected + 1 && afterKept == before && afterFree == before &&
                    g_failures.load() == 0;
    return ok ? 0 : 1;
}
