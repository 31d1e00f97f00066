#pragma once
// CMutex: a POSIX mutex created on first Init whose lock waits a bounded time.

#include <pthread.h>

class CMutex {
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
    int ReleaseContext();
    // Unlocks only when acquired is true (the result of LockContext(bool *)).
    int ReleaseContext(bool acquired);

    unsigned long Value() const { return m_value; }
    bool HasMutex() const { return m_mutex != nullptr; }

  private:
    unsigned long m_value = 0;
    pthread_mutex_t *m_mutex = nullptr;
    // The thread that holds the lock and whether it is held at all; lets a
    // release refuse to unlock a lock held by another context.
    pthread_t m_owner{};
    volatile bool m_held = false;
};

// RAII holder of a CMutex for one scope; release only if acquired.
class CMutexScope {
  public:
    explicit CMutexScope(CMutex &mutex) : m_mutex(mutex) { m_mutex.LockContext(&m_acquired); }
    ~CMutexScope() { m_mutex.ReleaseContext(m_acquired); }
    CMutexScope(const CMutexScope &) = delete;
    CMutexScope &operator=(const CMutexScope &) = delete;
    bool Acquired() const { return m_acquired; }
    // The wait ran out while another context held the lock: the caller goes
    // on, but must not touch what the lock guards.
    bool TimedOut() const { return !m_acquired && m_mutex.HasMutex(); }

  private:
    CMutex &m_mutex;
    bool m_acquired = false;
};
