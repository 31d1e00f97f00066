// SPDX-License-Identifier: LGPL-2.1-or-later
#include "ClientLog.h"

#include <pthread.h>

CLog g_clientLog;

namespace {

// Serialises the start and the shutdown of the client log across threads,
// and counts the clients that hold it.
pthread_mutex_t s_clientLogLock = PTHREAD_MUTEX_INITIALIZER;
unsigned long s_clientLogUsers = 0;

} // namespace

void AcquireClientLog() {
    pthread_mutex_lock(&s_clientLogLock);
    if (s_clientLogUsers == 0)
        g_clientLog.Init(kClientLogPath, kClientLogFlags, kClientLogLevel, kClientLogMask);
    ++s_clientLogUsers;
    pthread_mutex_unlock(&s_clientLogLock);
}

void ReleaseClientLog(bool held) {
    pthread_mutex_lock(&s_clientLogLock);
    if (held || s_clientLogUsers == 0) {
        g_clientLog.DebugPrint("libvorn closed\n");
        if (held)
            --s_clientLogUsers;
        if (s_clientLogUsers == 0)
            g_clientLog.Deinit();
    }
    pthread_mutex_unlock(&s_clientLogLock);
}
