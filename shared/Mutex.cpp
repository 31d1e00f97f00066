// SPDX-License-Identifier: LGPL-2.1-or-later
// CMutex: bounded try-lock over a heap-allocated POSIX mutex.

#include "Mutex.h"

#include <cstdlib>
#include <unistd.h>

namespace {

// The bounded wait: a first pause, then a number of retries a fixed pause
// apart; 3000 + 10 x 5000 microseconds, 53 ms at the longest.
constexpr useconds_t kFirstPauseMicros = 3000;
constexpr useconds_t kRetryPauseMicros = 5000;
constexpr int kRetryCount = 10;

} // namespace

CMutex::~CMutex() {
    Deinit();
}

int CMutex::Init(unsigned long value) {
    m_value = value;
    if (m_mutex.load() != nullptr)
        return 1;
    auto *mutex = static_cast<pthread_mutex_t *>(malloc(sizeof(pthread_mutex_t)));
    if (mutex == nullptr)
        return 0;
    if (pthread_mutex_init(mutex, nullptr) != 0) {
        free(mutex);
        return 0;
    }
    m_held.store(false);
    m_ownerMisses.store(0);
    m_mutex.store(mutex);
    return 1;
}

int CMutex::Deinit() {
    // Detach first: a holder that releases later finds no mutex and leaves
    // the freed memory alone.
    pthread_mutex_t *mutex = m_mutex.exchange(nullptr);
    if (mutex == nullptr)
        return 1;
    m_held.store(false);
    m_ownerMisses.store(0);
    pthread_mutex_destroy(mutex);
    free(mutex);
    return 1;
}

void CMutex::TakeOwnership() {
    m_owner.store(pthread_self());
    m_held.store(true);
}

int CMutex::LockContext(bool *acquired) {
    *acquired = false;
    pthread_mutex_t *mutex = m_mutex.load();
    if (mutex == nullptr)
        return 0;
    if (pthread_mutex_trylock(mutex) == 0) {
        TakeOwnership();
        *acquired = true;
        return 1;
    }
    usleep(kFirstPauseMicros);
    for (int retry = 0; retry < kRetryCount; ++retry) {
        usleep(kRetryPauseMicros);
        if (pthread_mutex_trylock(mutex) == 0) {
            TakeOwnership();
            *acquired = true;
            return 1;
        }
    }
    // Gave up: the caller goes on without the lock.
    return 1;
}

int CMutex::LockContext() {
    bool acquired = false;
    if (LockContext(&acquired) == 0)
        return 0;
    // The holder is this very thread: the caller is a signal handler that
    // interrupted it. Its ReleaseContext() must not unlock for the holder.
    if (!acquired && m_held.load() && pthread_equal(m_owner.load(), pthread_self()))
        m_ownerMisses.fetch_add(1);
    return 1;
}

int CMutex::Unlock(pthread_mutex_t *mutex) {
    // Clear the record before unlocking: a handler that runs in between sees
    // the lock as not ours and leaves it alone.
    m_held.store(false);
    pthread_mutex_unlock(mutex);
    return 1;
}

int CMutex::ReleaseContext(bool acquired) {
    pthread_mutex_t *mutex = m_mutex.load();
    if (mutex == nullptr)
        return 0;
    if (!acquired)
        return 1;
    return Unlock(mutex);
}

int CMutex::ReleaseContext() {
    pthread_mutex_t *mutex = m_mutex.load();
    if (mutex == nullptr)
        return 0;
    if (!m_held.load() || !pthread_equal(m_owner.load(), pthread_self()))
        return 1; // not ours: another context holds it, or nobody does
    unsigned misses = m_ownerMisses.load();
    if (misses > 0) {
        // Matches a timed-out LockContext() of a nested context.
        m_ownerMisses.store(misses - 1);
        return 1;
    }
    return Unlock(mutex);
}
