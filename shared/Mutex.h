// SPDX-License-Identifier: LGPL-2.1-or-later
#pragma once
// CMutex: a POSIX mutex created on first Init whose lock waits a bounded time.
//
// The wait gives up after 53 ms and lets the caller go on without the lock.
// A context that goes on that way must neither unlock the mutex afterwards
// (another context holds it) nor touch what the mutex guards. The lock
// records its owner so that a release never unlocks a lock held elsewhere,
// also when a signal handler interrupts the holder on the holder's own thread.

#include "VornApi.h"

#include <atomic>
#include <pthread.h>

class VORN_API CMutex {
  public:
    // Leaves the object without a POSIX mutex; constant-initialised so that a
    // static CMutex is usable before any constructor of its image has run.
    constexpr CMutex() = default;
    ~CMutex();
    CMutex(const CMutex &) = delete;
    CMutex &operator=(const CMutex &) = delete;

    // Records value and creates the POSIX mutex unless one exists. Returns 1;
    // returns 0 when the mutex cannot be allocated (the object then stays
    // without one and every lock call returns 0 at once).
    int Init(unsigned long value);
    // Destroys and frees the POSIX mutex; later calls do nothing. Returns 1.
    int Deinit();

    // 0 at once without a POSIX mutex. Otherwise tries to lock for at most
    // 53 ms and returns 1 whether or not the lock was obtained.
    int LockContext();
    // As LockContext; *acquired tells whether this context now holds the lock.
    int LockContext(bool *acquired);
    // 0 without a POSIX mutex. Otherwise unlocks only when the calling thread
    // is the recorded owner (never a lock another context holds); returns 1.
    // A timed-out LockContext() of the owner's own thread (a signal handler
    // that interrupted the holder) is matched by its ReleaseContext(), which
    // then leaves the lock to the interrupted holder.
    int ReleaseContext();
    // Unlocks only when acquired is true (the result of LockContext(bool *)).
    // 0 without a POSIX mutex, else 1.
    int ReleaseContext(bool acquired);

    unsigned long Value() const { return m_value; }
    bool HasMutex() const { return m_mutex.load() != nullptr; }

  private:
    // Marks the calling thread as holder after a successful trylock.
    VORN_LOCAL void TakeOwnership();
    // Clears the holder record and unlocks.
    VORN_LOCAL int Unlock(pthread_mutex_t *mutex);

    unsigned long m_value = 0;
    std::atomic<pthread_mutex_t *> m_mutex{nullptr};
    // The thread that holds the lock and whether it is held at all; lets a
    // release refuse to unlock a lock held by another context. Lock-free
    // atomics, so that signal handlers may read them.
    std::atomic<pthread_t> m_owner{};
    std::atomic<bool> m_held{false};
    // Timed-out LockContext() calls made by the holder's own thread (nested
    // signal contexts) whose ReleaseContext() is still to come.
    std::atomic<unsigned> m_ownerMisses{0};

    static_assert(std::atomic<pthread_t>::is_always_lock_free, "owner must be signal-safe");
    static_assert(std::atomic<bool>::is_always_lock_free, "held flag must be signal-safe");
};

// RAII holder of a CMutex for one scope; release only if acquired.
class CMutexScope {
  public:
    explicit CMutexScope(CMutex &mutex)
        : m_mutex(mutex), m_hadMutex(m_mutex.LockContext(&m_acquired) != 0) {}
    ~CMutexScope() { m_mutex.ReleaseContext(m_acquired); }
    CMutexScope(const CMutexScope &) = delete;
    CMutexScope &operator=(const CMutexScope &) = delete;
    bool Acquired() const { return m_acquired; }
    // The wait ran out while another context held the lock: the caller goes
    // on, but must not touch what the lock guards.
    bool TimedOut() const { return m_hadMutex && !m_acquired; }

  private:
    CMutex &m_mutex;
    bool m_acquired = false;
    // LockContext found a POSIX mutex (without one, nothing is guarded).
    bool m_hadMutex;
};
