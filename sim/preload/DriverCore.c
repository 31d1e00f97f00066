// SPDX-License-Identifier: GPL-2.0-or-later
/* The driver core: descriptors, positions, dispatch, faults, trace. */
#define _GNU_SOURCE
#include "DriverCore.h"

#include <errno.h>
#include <linux/rtc.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "SimBackend.h"
#include "SimConfig.h"
#include "SimKey.h"
#include "SysIo.h"
#include "touchm_uapi.h"

#define NAME_MAX_EXTRA 32
#define TRACE_LINE_MAX (TMSIM_PATH_MAX + 256)
#define TRACE_FIELDS_MAX (TMSIM_PATH_MAX + 128)
#define RECORD_MAX 256
#define NOTICE_MAX (TMSIM_ERR_MAX + 64)
#define STATE_FILE_MODE 0644
#define OPEN_FILE_MODE 0600
#define MEMFD_NAME "tmsim-touchm0"
#define USEC_PER_SEC 1000000ull
#define NSEC_PER_USEC 1000ull
#define SIGSET_BYTES 8
#define NSEC_PER_SEC 1000000000ull
#define MSEC_PER_SEC 1000
#define NSEC_PER_MSEC 1000000L
/* The library's own ends of its socket pairs are moved to a number at or
 * above this one when the descriptor limit allows, away from the low numbers
 * a program expects to get. */
#define PRIVATE_FD_MIN 512
/* What fills a device or event descriptor's send buffer, so that poll never
 * reports it writable: the smallest buffer the system gives, then chunks
 * until it is full (bounded). */
#define FILL_SNDBUF 1
#define FILL_CHUNK 1024
#define FILL_ROUNDS_MAX 64
/* The byte that marks a change for POLLPRI (sent out of band), and the one
 * that makes an event descriptor readable while events wait. */
#define MARK_BYTE '!'
#define TOKEN_BYTE 'e'
#define DRAIN_ROUNDS_MAX 8
#define WATCH_STACK_SIZE ((size_t)256 * 1024)
#define WATCH_BUF_SIZE 4096
/* How often a blocked event read looks at the state itself when the watch
 * thread could not be started. */
#define WATCH_FALLBACK_MS 50

enum fd_kind { FD_FREE = 0, FD_DEVICE, FD_RTC, FD_EVENT };
enum state_status { STATE_UNREAD = 0, STATE_OK, STATE_BAD };

/* One open file: what copies of a descriptor share. A device or event
 * descriptor is one end of an AF_UNIX stream socket pair whose other end
 * (peer) the library keeps: it sends an out-of-band byte for POLLPRI, a
 * byte while events wait on an event descriptor, and closes it when the
 * device goes (POLLHUP). An RTC descriptor is an anonymous memory file and
 * has no peer. */
struct ofile {
    int users; /* slots on it; 0 when free */
    enum fd_kind kind;
    unsigned generation; /* device generation at open */
    unsigned epoch;      /* vanish epoch at open */
    uint64_t pos;        /* device: the file position */
    int peer;            /* the library's end, -1 when none or hung up */
    dev_t peer_dev;      /* its identity, checked before each use */
    ino_t peer_ino;
    /* Event descriptor: queued records, oldest at head. */
    unsigned head;
    unsigned count;
    struct touchm_event queue[TOUCHM_EVENT_QUEUE_LEN];
};

/* One descriptor number. Copies of a descriptor get slots of their own on
 * the same open file. */
struct slot {
    atomic_int fd;              /* -1 when free */
    _Atomic(enum fd_kind) kind; /* read without the lock by event_read's first test */
    dev_t dev;                  /* identity of the descriptor's open file, to notice */
    ino_t ino;                  /* a number reused after a close we did not see */
    unsigned generation;        /* device generation at open */
    unsigned epoch;             /* vanish epoch at open */
    struct ofile *file;
};

struct file_id {
    dev_t dev;
    ino_t ino;
    off_t size;
    struct timespec mtime;
    struct timespec ctime;
};

static struct {
    pthread_mutex_t lock;
    atomic_int active;
    char state_dir[TMSIM_PATH_MAX];
    char config_path[TMSIM_PATH_MAX];
    char memory_path[TMSIM_PATH_MAX];
    char log_default[TMSIM_PATH_MAX];
    char clock_path[TMSIM_PATH_MAX];
    char rtc_path[TMSIM_PATH_MAX];
    struct tmsim_config cfg;
    enum state_status status;
    struct file_id seen; /* the state file last read */
    long requests;       /* device requests counted towards vanish-after */
    int vanished;        /* vanish-after has fired in this process */
    unsigned epoch;      /* bumped each time it fires */
    int notice_given;    /* a bad state was reported on stderr */
    int memory_notice;   /* a memory image that is no regular file was reported */
    char text[TMSIM_CONFIG_TEXT_MAX];
    struct tmsim_config next;
    char trace_line[TRACE_LINE_MAX];
    char trace_fields[TRACE_FIELDS_MAX];
    /* The key as this process saw it last, for the events. */
    int key_known;
    int key_present;
    uint8_t key_rom[TM_ROM_SIZE];
    uint32_t seqno;          /* changes seen so far */
    uint64_t last_change_ns; /* CLOCK_MONOTONIC of the last change */
    pid_t watch_pid;         /* the process whose watch thread runs */
    pid_t watch_failed_pid;  /* the process that could not start one */
    int watch_fd;            /* the watch thread's inotify descriptor */
} g = {.lock = PTHREAD_MUTEX_INITIALIZER, .watch_fd = -1};

static struct slot g_slots[TMSIM_MAX_DESCRIPTORS];
static struct ofile g_files[TMSIM_MAX_DESCRIPTORS];
static atomic_int g_watching; /* pid with a running watch, for the lock-free test */
static atomic_int g_used;     /* slots in use, for the lock-free first test */
static atomic_int g_slots_ready;

/* The lock, with every signal blocked while it is held. */
struct held {
    sigset_t old;
};

static void lock_take(struct held *h) {
    sigset_t all;
    sigfillset(&all);
    syscall(SYS_rt_sigprocmask, SIG_BLOCK, &all, &h->old, SIGSET_BYTES);
    pthread_mutex_lock(&g.lock);
}

static void lock_drop(struct held *h) {
    pthread_mutex_unlock(&g.lock);
    syscall(SYS_rt_sigprocmask, SIG_SETMASK, &h->old, NULL, SIGSET_BYTES);
}

static int join_path(char *out, size_t size, const char *dir, const char *name) {
    int n = snprintf(out, size, "%s/%s", dir, name);
    return n >= 0 && (size_t)n < size;
}

/* fork takes the lock first, so that the child never starts with it held
 * by a thread it does not have (the watch thread). The child has no watch
 * thread; its copy of the watch's inotify descriptor goes, and the next
 * event request or wait starts a watch of its own. */
static __thread struct held g_fork_held;

static void fork_prepare(void) {
    lock_take(&g_fork_held);
}

static void fork_parent(void) {
    lock_drop(&g_fork_held);
}

static void fork_child(void) {
    if (g.watch_fd >= 0)
        tms_close(g.watch_fd);
    g.watch_fd = -1;
    g.watch_pid = 0;
    atomic_store(&g_watching, 0);
    lock_drop(&g_fork_held);
}

static void slots_ready(void) {
    if (atomic_load(&g_slots_ready))
        return;
    for (int i = 0; i < TMSIM_MAX_DESCRIPTORS; i++) {
        atomic_store(&g_slots[i].fd, -1);
        g_files[i].peer = -1;
    }
    atomic_store(&g_slots_ready, 1);
    pthread_atfork(fork_prepare, fork_parent, fork_child);
}

void tmsim_core_init(const char *state_dir) {
    struct held h;
    lock_take(&h);
    slots_ready();
    if (!atomic_load(&g.active) && state_dir != NULL && state_dir[0] != '\0') {
        size_t len = strlen(state_dir);
        if (len < sizeof(g.state_dir)) {
            memcpy(g.state_dir, state_dir, len + 1);
            int ok = join_path(g.config_path, sizeof(g.config_path), state_dir, TMSIM_CONFIG_NAME);
            ok =
                ok && join_path(g.memory_path, sizeof(g.memory_path), state_dir, TMSIM_MEMORY_NAME);
            ok = ok && join_path(g.log_default, sizeof(g.log_default), state_dir, TMSIM_LOG_NAME);
            ok = ok && join_path(g.clock_path, sizeof(g.clock_path), state_dir, TMSIM_CLOCK_NAME);
            ok = ok && join_path(g.rtc_path, sizeof(g.rtc_path), state_dir, TMSIM_RTC_NAME);
            tmsim_config_defaults(&g.cfg);
            g.status = STATE_UNREAD;
            if (ok)
                atomic_store(&g.active, 1);
        }
    }
    lock_drop(&h);
}

int tmsim_core_active(void) {
    return atomic_load(&g.active);
}

int tmsim_core_maybe_ours(int fd) {
    if (fd < 0 || atomic_load(&g_used) == 0)
        return 0;
    for (int i = 0; i < TMSIM_MAX_DESCRIPTORS; i++) {
        if (atomic_load(&g_slots[i].fd) == fd)
            return 1;
    }
    return 0;
}

/* ---- state file ---------------------------------------------------------- */

static void hangup_dead(void);
static void key_follow(const struct tmsim_config *next);

__attribute__((format(printf, 1, 2))) static void notice(const char *fmt, ...) {
    char buf[NOTICE_MAX];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    if (n < 0)
        return;
    size_t len = (size_t)n < sizeof(buf) ? (size_t)n : sizeof(buf) - 1;
    tms_write_all(STDERR_FILENO, buf, len);
}

static int same_file(const struct file_id *a, const struct stat *st) {
    return a->dev == st->st_dev && a->ino == st->st_ino && a->size == st->st_size &&
           a->mtime.tv_sec == st->st_mtim.tv_sec && a->mtime.tv_nsec == st->st_mtim.tv_nsec &&
           a->ctime.tv_sec == st->st_ctim.tv_sec && a->ctime.tv_nsec == st->st_ctim.tv_nsec;
}

static void remember_file(struct file_id *a, const struct stat *st) {
    a->dev = st->st_dev;
    a->ino = st->st_ino;
    a->size = st->st_size;
    a->mtime = st->st_mtim;
    a->ctime = st->st_ctim;
}

static void state_bad(const struct stat *st, const char *why) {
    if (st)
        remember_file(&g.seen, st);
    else
        memset(&g.seen, 0, sizeof(g.seen));
    g.status = STATE_BAD;
    if (!g.notice_given)
        notice("tmsim: bad state %s: %s\n", g.config_path, why);
    g.notice_given = 1;
}

static void state_apply(const struct tmsim_config *next) {
    int restart = g.status != STATE_OK || next->device_generation != g.cfg.device_generation ||
                  next->vanish_after != g.cfg.vanish_after;
    g.cfg = *next;
    g.status = STATE_OK;
    g.notice_given = 0;
    if (restart) {
        /* A new device generation or a new vanish-after count starts the
         * count afresh; descriptors from before a vanish stay dead. */
        g.requests = 0;
        if (g.vanished)
            g.epoch++;
        g.vanished = 0;
    }
    hangup_dead();
    key_follow(next);
}

/* Re-reads the state file when it changed since the last read. */
static void state_refresh(void) {
    struct stat st;
    if (tms_stat(g.config_path, &st) != 0) {
        if (g.status != STATE_BAD || g.seen.ino != 0)
            g.notice_given = 0;
        state_bad(NULL, "missing (start programs through tmsim)");
        return;
    }
    if (g.status != STATE_UNREAD && same_file(&g.seen, &st))
        return;

    /* Signals are blocked here: a FIFO or a device in its place must not
     * make the open or the read wait. */
    int fd = tms_open_regular(g.config_path, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) {
        g.notice_given = 0;
        state_bad(&st, errno == EINVAL ? "not a regular file" : "cannot be opened");
        return;
    }
    struct stat opened;
    size_t len = 0;
    int read_ok = tms_fstat(fd, &opened) == 0;
    while (read_ok && len < sizeof(g.text)) {
        ssize_t r = tms_read(fd, g.text + len, sizeof(g.text) - len);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            read_ok = r == 0;
            break;
        }
        len += (size_t)r;
    }
    tms_close(fd);
    g.notice_given = 0;
    if (!read_ok) {
        state_bad(&st, "cannot be read");
        return;
    }
    if (len == sizeof(g.text)) {
        state_bad(&opened, "too large");
        return;
    }
    char err[TMSIM_ERR_MAX];
    if (!tmsim_config_parse(g.text, len, &g.next, err, sizeof(err))) {
        state_bad(&opened, err);
        return;
    }
    remember_file(&g.seen, &opened);
    state_apply(&g.next);
}

/* ---- trace --------------------------------------------------------------- */

static unsigned long long monotonic_us(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (unsigned long long)ts.tv_sec * USEC_PER_SEC +
           (unsigned long long)ts.tv_nsec / NSEC_PER_USEC;
}

/* One trace line: call, its own fields, result and errno. */
__attribute__((format(printf, 4, 5))) static void trace(const char *call, long long result, int err,
                                                        const char *fmt, ...) {
    if (g.status != STATE_OK || g.cfg.trace_path[0] == '\0')
        return;
    g.trace_fields[0] = '\0';
    if (fmt) {
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(g.trace_fields, sizeof(g.trace_fields), fmt, ap);
        va_end(ap);
    }
    int n = snprintf(g.trace_line, sizeof(g.trace_line),
                     "t=%llu call=%s%s%s result=%lld errno=%d\n", monotonic_us(), call,
                     g.trace_fields[0] ? " " : "", g.trace_fields, result, result < 0 ? err : 0);
    if (n < 0)
        return;
    size_t len = (size_t)n < sizeof(g.trace_line) ? (size_t)n : sizeof(g.trace_line) - 1;
    int fd = tms_open_regular(g.cfg.trace_path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC,
                              STATE_FILE_MODE);
    if (fd < 0)
        return;
    tms_write_all(fd, g.trace_line, len);
    tms_close(fd);
}

/* Replaces a small state record file (STATE/clock, STATE/rtc). */
__attribute__((format(printf, 2, 3))) static void record(const char *path, const char *fmt, ...) {
    char buf[RECORD_MAX];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    if (n < 0 || (size_t)n >= sizeof(buf))
        return;
    int fd = tms_open_regular(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, STATE_FILE_MODE);
    if (fd < 0)
        return;
    tms_write_all(fd, buf, (size_t)n);
    tms_close(fd);
}

/* ---- descriptors --------------------------------------------------------- */

static void release(struct slot *s);

/* The slot of fd, checked against the reserved file's identity so that a
 * number closed behind our back (fclose of an fdopen'd stream, close_range)
 * and reused is not mistaken for ours; such a slot is dropped. */
static struct slot *slot_find(int fd) {
    if (fd < 0)
        return NULL;
    for (int i = 0; i < TMSIM_MAX_DESCRIPTORS; i++) {
        struct slot *s = &g_slots[i];
        if (atomic_load(&s->fd) != fd)
            continue;
        struct stat st;
        int saved = errno;
        int ok = tms_fstat(fd, &st) == 0 && st.st_dev == s->dev && st.st_ino == s->ino;
        errno = saved;
        if (ok)
            return s;
        release(s);
        return NULL;
    }
    return NULL;
}

static struct slot *slot_free(void) {
    for (int i = 0; i < TMSIM_MAX_DESCRIPTORS; i++) {
        if (atomic_load(&g_slots[i].fd) < 0)
            return &g_slots[i];
    }
    return NULL;
}

/* Takes a free slot for fd; it becomes visible to the lock-free test last. */
static void slot_take(struct slot *s, int fd) {
    atomic_fetch_add(&g_used, 1);
    atomic_store(&s->fd, fd);
}

/* 1 when fd is still the open file recorded as dev/ino. */
static int same_open_file(int fd, dev_t dev, ino_t ino) {
    struct stat st;
    int saved = errno;
    int ok = fd >= 0 && tms_fstat(fd, &st) == 0 && st.st_dev == dev && st.st_ino == ino;
    errno = saved;
    return ok;
}

static struct ofile *file_free(void) {
    for (int i = 0; i < TMSIM_MAX_DESCRIPTORS; i++) {
        if (g_files[i].users == 0)
            return &g_files[i];
    }
    return NULL;
}

/* A descriptor number of f that is still f (checked), or -1. */
static int file_fd(const struct ofile *f) {
    for (int i = 0; i < TMSIM_MAX_DESCRIPTORS; i++) {
        const struct slot *s = &g_slots[i];
        int fd = atomic_load(&s->fd);
        if (fd >= 0 && s->file == f && same_open_file(fd, s->dev, s->ino))
            return fd;
    }
    return -1;
}

/* The library's end of f, or -1 when it has none (or something else took
 * its number behind the library's back). */
static int file_peer(const struct ofile *f) {
    return f->peer >= 0 && same_open_file(f->peer, f->peer_dev, f->peer_ino) ? f->peer : -1;
}

/* Closes the library's end: the descriptors of f report POLLHUP. */
static void file_hangup(struct ofile *f) {
    int peer = file_peer(f);
    if (peer >= 0)
        tms_close(peer);
    f->peer = -1;
}

static int file_dead(const struct ofile *f) {
    return !g.cfg.device_present || f->generation != g.cfg.device_generation || f->epoch != g.epoch;
}

/* Moves a descriptor to PRIVATE_FD_MIN or above, close-on-exec; fd itself
 * when the limit does not allow it. */
static int move_private(int fd) {
    struct rlimit lim;
    if (syscall(SYS_getrlimit, RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur <= PRIVATE_FD_MIN)
        return fd;
    int moved = (int)syscall(SYS_fcntl, fd, F_DUPFD_CLOEXEC, PRIVATE_FD_MIN);
    if (moved < 0)
        return fd;
    tms_close(fd);
    return moved;
}

/* Fills fd's send buffer (its data go to the peer, which never reads them),
 * so that poll never reports fd writable. */
static void fill_send_buffer(int fd) {
    static const char chunk[FILL_CHUNK];
    int size = FILL_SNDBUF;
    syscall(SYS_setsockopt, fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
    for (int i = 0; i < FILL_ROUNDS_MAX; i++) {
        if (syscall(SYS_sendto, fd, chunk, sizeof(chunk), MSG_DONTWAIT | MSG_NOSIGNAL, NULL, 0) < 0)
            break;
    }
}

/* A device or event descriptor and the library's end of it. 1 / 0 with
 * errno. */
static int open_socket_pair(int *fd, int *peer) {
    int sv[2];
    if (syscall(SYS_socketpair, AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
        return 0;
    fill_send_buffer(sv[0]);
    *fd = sv[0];
    *peer = move_private(sv[1]);
    return 1;
}

/* A reserved descriptor: an open file of its own, so that its identity is
 * unique. Device and event descriptors are sockets (see struct ofile), an
 * RTC descriptor an anonymous memory file (else an unnamed file in the
 * state directory). */
static int reserve_descriptor(enum fd_kind kind, int *err) {
    struct slot *free_slot = slot_free();
    struct ofile *f = file_free();
    if (!free_slot || !f) {
        *err = EMFILE;
        return -1;
    }
    int fd = -1;
    int peer = -1;
    if (kind == FD_RTC) {
        fd = (int)syscall(SYS_memfd_create, MEMFD_NAME, MFD_CLOEXEC);
        if (fd < 0)
            fd = tms_open(g.state_dir, O_TMPFILE | O_RDWR | O_CLOEXEC, OPEN_FILE_MODE);
    } else if (!open_socket_pair(&fd, &peer)) {
        fd = -1;
    }
    struct stat st;
    struct stat peer_st;
    if (fd < 0 || tms_fstat(fd, &st) != 0 || (peer >= 0 && tms_fstat(peer, &peer_st) != 0)) {
        *err = errno;
        if (fd >= 0)
            tms_close(fd);
        if (peer >= 0)
            tms_close(peer);
        return -1;
    }
    memset(f, 0, sizeof(*f));
    f->users = 1;
    f->kind = kind;
    f->generation = g.cfg.device_generation;
    f->epoch = g.epoch;
    f->peer = peer;
    if (peer >= 0) {
        f->peer_dev = peer_st.st_dev;
        f->peer_ino = peer_st.st_ino;
    }
    free_slot->kind = kind;
    free_slot->dev = st.st_dev;
    free_slot->ino = st.st_ino;
    free_slot->generation = f->generation;
    free_slot->epoch = f->epoch;
    free_slot->file = f;
    slot_take(free_slot, fd);
    return fd;
}

/* Drops a slot; the last one of an open file frees it (the library's end
 * of its socket pair closed). */
static void release(struct slot *s) {
    struct ofile *f = s->file;
    s->file = NULL;
    atomic_store(&s->fd, -1);
    atomic_fetch_sub(&g_used, 1);
    if (f && --f->users == 0) {
        file_hangup(f);
        f->kind = FD_FREE;
    }
}

/* The file position of s, shared by its copies. 1 / 0 with errno. */
static int position_get(const struct slot *s, uint64_t *pos) {
    *pos = s->file->pos;
    return 1;
}

static int position_set(const struct slot *s, uint64_t pos) {
    s->file->pos = pos;
    return 1;
}

/* ---- key events ---------------------------------------------------------- */

static uint64_t monotonic_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * NSEC_PER_SEC + (uint64_t)ts.tv_nsec;
}

static ssize_t sock_send(int fd, char byte, int flags) {
    return (ssize_t)syscall(SYS_sendto, fd, &byte, 1, flags | MSG_DONTWAIT | MSG_NOSIGNAL, NULL, 0);
}

static ssize_t sock_recv(int fd, int flags) {
    char byte;
    return (ssize_t)syscall(SYS_recvfrom, fd, &byte, 1, flags | MSG_DONTWAIT, NULL, NULL);
}

/* Raises POLLPRI on a device descriptor: one out-of-band byte, unless one
 * waits already (a second would turn the first into ordinary data). */
static void pri_raise(struct ofile *f) {
    int fd = file_fd(f);
    int peer = file_peer(f);
    int saved = errno;
    if (fd >= 0 && peer >= 0 && sock_recv(fd, MSG_OOB | MSG_PEEK) != 1)
        sock_send(peer, MARK_BYTE, MSG_OOB);
    errno = saved;
}

/* Clears POLLPRI of the device descriptor fd: takes the out-of-band byte,
 * then lets an ordinary receive drop what is left of it in the queue. */
static void pri_clear(int fd) {
    int saved = errno;
    sock_recv(fd, MSG_OOB);
    for (int i = 0; i < DRAIN_ROUNDS_MAX && sock_recv(fd, 0) == 1; i++)
        ;
    errno = saved;
}

/* Keeps one byte in an event descriptor while events wait, none otherwise:
 * it is readable (POLLIN) exactly while events wait. */
static void token_sync(struct ofile *f) {
    int fd = file_fd(f);
    if (fd < 0)
        return;
    int saved = errno;
    int avail = 0;
    if (syscall(SYS_ioctl, fd, FIONREAD, &avail) == 0) {
        int peer = file_peer(f);
        if (f->count > 0 && avail == 0 && peer >= 0)
            sock_send(peer, TOKEN_BYTE, 0);
        for (int i = 0; f->count == 0 && avail > 0 && i < DRAIN_ROUNDS_MAX; i++)
            avail = sock_recv(fd, 0) == 1 ? avail - 1 : 0;
    }
    errno = saved;
}

/* Queues a record; a full queue loses its oldest, and the record after it
 * carries the count. */
static void queue_push(struct ofile *f, const struct touchm_event *ev) {
    if (f->count == TOUCHM_EVENT_QUEUE_LEN) {
        uint32_t carried = f->queue[f->head].lost + 1;
        f->head = (f->head + 1) % TOUCHM_EVENT_QUEUE_LEN;
        f->count--;
        f->queue[f->head].lost += carried;
    }
    f->queue[(f->head + f->count) % TOUCHM_EVENT_QUEUE_LEN] = *ev;
    f->count++;
}

/* One change of the key: a record to every event descriptor of the live
 * device, POLLPRI to every device descriptor. */
static void emit(uint16_t kind, const uint8_t rom[TM_ROM_SIZE]) {
    struct touchm_event ev;
    memset(&ev, 0, sizeof(ev));
    ev.timestamp_ns = monotonic_ns();
    ev.seqno = ++g.seqno;
    ev.kind = kind;
    memcpy(ev.rom, rom, TM_ROM_SIZE);
    g.last_change_ns = ev.timestamp_ns;
    for (int i = 0; i < TMSIM_MAX_DESCRIPTORS; i++) {
        struct ofile *f = &g_files[i];
        if (f->users == 0 || file_dead(f))
            continue;
        if (f->kind == FD_EVENT) {
            queue_push(f, &ev);
            token_sync(f);
        } else if (f->kind == FD_DEVICE) {
            pri_raise(f);
        }
    }
}

/* Compares the key of a new state with the one seen last: a removal, an
 * attachment, or both (a different ROM: the old key went, a new one came).
 * The first state read is where the process starts from. */
static void key_follow(const struct tmsim_config *next) {
    if (g.key_known) {
        int same_rom = memcmp(g.key_rom, next->rom, TM_ROM_SIZE) == 0;
        if (g.key_present && (!next->key_present || !same_rom))
            emit(TOUCHM_EVENT_REMOVED, g.key_rom);
        if (next->key_present && (!g.key_present || !same_rom))
            emit(TOUCHM_EVENT_ATTACHED, next->rom);
    }
    g.key_known = 1;
    g.key_present = next->key_present;
    memcpy(g.key_rom, next->rom, TM_ROM_SIZE);
}

/* Hangs up every device and event descriptor of a device that is gone. */
static void hangup_dead(void) {
    if (g.status != STATE_OK)
        return;
    for (int i = 0; i < TMSIM_MAX_DESCRIPTORS; i++) {
        struct ofile *f = &g_files[i];
        if (f->users > 0 && f->peer >= 0 && f->kind != FD_RTC && file_dead(f))
            file_hangup(f);
    }
}

/* The watch: a thread that re-reads the state whenever STATE/config is
 * replaced or written (tmsim ctl, a launch), so that a program waiting in
 * poll or in a read of an event descriptor sees changes without making
 * requests. It blocks in read on an inotify descriptor and costs nothing
 * between changes. */
static void *watch_main(void *arg) {
    int ifd = (int)(intptr_t)arg;
    _Alignas(struct inotify_event) char buf[WATCH_BUF_SIZE];
    int gone = 0;
    while (!gone) {
        ssize_t r = tms_read(ifd, buf, sizeof(buf));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        int changed = 0;
        for (ssize_t at = 0; at + (ssize_t)sizeof(struct inotify_event) <= r;) {
            const struct inotify_event *ev = (const struct inotify_event *)(buf + at);
            if (ev->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF))
                gone = 1;
            if ((ev->mask & IN_Q_OVERFLOW) ||
                (ev->len > 0 && strcmp(ev->name, TMSIM_CONFIG_NAME) == 0))
                changed = 1;
            at += (ssize_t)(sizeof(struct inotify_event) + ev->len);
        }
        if (changed) {
            struct held h;
            lock_take(&h);
            state_refresh();
            lock_drop(&h);
        }
    }
    struct held h;
    lock_take(&h);
    if (g.watch_fd == ifd) {
        g.watch_fd = -1;
        g.watch_pid = 0;
        atomic_store(&g_watching, 0);
    }
    tms_close(ifd);
    lock_drop(&h);
    return NULL;
}

/* Starts the watch thread of this process unless it runs. Called with the
 * lock held (and so every signal blocked, which the thread inherits: signals
 * go to the program's own threads). 1 when a watch runs. */
static int watch_ensure(void) {
    pid_t pid = (pid_t)syscall(SYS_getpid);
    if (g.watch_pid == pid)
        return 1;
    if (g.watch_failed_pid == pid)
        return 0;
    int ifd = (int)syscall(SYS_inotify_init1, IN_CLOEXEC);
    if (ifd >= 0) {
        ifd = move_private(ifd);
        if (syscall(SYS_inotify_add_watch, ifd, g.state_dir,
                    IN_MOVED_TO | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF) < 0) {
            tms_close(ifd);
            ifd = -1;
        }
    }
    pthread_attr_t attr;
    int started = 0;
    if (ifd >= 0 && pthread_attr_init(&attr) == 0) {
        pthread_t thread;
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        pthread_attr_setstacksize(&attr, WATCH_STACK_SIZE);
        g.watch_fd = ifd;
        started = pthread_create(&thread, &attr, watch_main, (void *)(intptr_t)ifd) == 0;
        pthread_attr_destroy(&attr);
    }
    if (!started) {
        if (ifd >= 0)
            tms_close(ifd);
        g.watch_fd = -1;
        g.watch_failed_pid = pid;
        return 0;
    }
    g.watch_pid = pid;
    atomic_store(&g_watching, (int)pid);
    /* A change made before the watch was set up is seen now. */
    state_refresh();
    return 1;
}

/* Counts one device request towards vanish-after. 0 once it has fired. */
static int count_request(void) {
    if (g.cfg.vanish_after == TMSIM_COUNT_OFF)
        return 1;
    if (g.vanished)
        return 0;
    g.requests++;
    if (g.requests > g.cfg.vanish_after) {
        g.vanished = 1;
        g.epoch++;
        hangup_dead();
        return 0;
    }
    return 1;
}

/* 0 when the device behind s can take a request, else the errno. */
static int device_usable(const struct slot *s) {
    if (g.status != STATE_OK)
        return EIO;
    if (!count_request())
        return ENODEV;
    if (!g.cfg.device_present || s->generation != g.cfg.device_generation || s->epoch != g.epoch)
        return ENODEV;
    return 0;
}

static const struct tmsim_backend *backend_get(int *err) {
    const struct tmsim_backend *b = tmsim_backend_find(g.cfg.backend);
    if (!b) {
        if (!g.notice_given)
            notice("tmsim: line-level backend not built\n");
        g.notice_given = 1;
        *err = EIO;
    } else if (b->configure) {
        b->configure(&g.cfg);
    }
    return b;
}

/* The key of the current state. Its memory is what --memory-size gave, else
 * what the driver's family table gives the family of its ROM: this is the
 * one place the stand-in decides it, for every backend. */
static struct tmsim_key current_key(void) {
    struct tmsim_key key;
    key.present = g.cfg.key_present;
    memcpy(key.rom, g.cfg.rom, sizeof(key.rom));
    key.has_memory = tmsim_config_memory(&g.cfg, &key.memory_size);
    key.memory_path = g.memory_path;
    return key;
}

int tmsim_core_open_device(int flags) {
    if (!tmsim_core_active()) {
        errno = ENOENT;
        return -1;
    }
    struct held h;
    lock_take(&h);
    state_refresh();
    int err = 0;
    int fd = -1;
    if (g.status != STATE_OK)
        err = EIO;
    else if (!count_request())
        err = ENOENT;
    else if (!g.cfg.device_present)
        err = g.cfg.device_errno;
    else
        fd = reserve_descriptor(FD_DEVICE, &err);
    trace("open", fd, err, "path=%s flags=0x%x", TM_DEVICE_PATH, (unsigned)flags);
    lock_drop(&h);
    if (fd < 0)
        errno = err;
    return fd;
}

int tmsim_core_open_rtc(int flags) {
    if (!tmsim_core_active()) {
        errno = ENOENT;
        return -1;
    }
    struct held h;
    lock_take(&h);
    state_refresh();
    int err = 0;
    int fd = -1;
    if (g.status != STATE_OK || g.cfg.rtc == TMSIM_RTC_ABSENT)
        err = ENOENT;
    else
        fd = reserve_descriptor(FD_RTC, &err);
    trace("rtc_open", fd, err, "path=%s flags=0x%x", TMSIM_RTC_PATH, (unsigned)flags);
    lock_drop(&h);
    if (fd < 0)
        errno = err;
    return fd;
}

static int rtc_ioctl(unsigned long req, void *arg, int *err) {
    if (req != RTC_SET_TIME) {
        trace("rtc_ioctl", -1, ENOTTY, "req=0x%lx", req);
        *err = ENOTTY;
        return -1;
    }
    if (arg == NULL) {
        trace("rtc_set_time", -1, EFAULT, NULL);
        *err = EFAULT;
        return -1;
    }
    const struct rtc_time *tm = (const struct rtc_time *)arg;
    int result = 0;
    if (g.status != STATE_OK || g.cfg.rtc != TMSIM_RTC_PRESENT) {
        *err = EINVAL;
        result = -1;
    } else {
        record(g.rtc_path, "sec=%d min=%d hour=%d mday=%d mon=%d year=%d\n", tm->tm_sec, tm->tm_min,
               tm->tm_hour, tm->tm_mday, tm->tm_mon, tm->tm_year);
    }
    trace("rtc_set_time", result, *err, "sec=%d min=%d hour=%d mday=%d mon=%d year=%d", tm->tm_sec,
          tm->tm_min, tm->tm_hour, tm->tm_mday, tm->tm_mon, tm->tm_year);
    return result;
}

/* The key as the watch saw it last (the state file, re-read before this):
 * ATTACHED with its ROM, or REMOVED with a zero ROM; the count of changes
 * and when the last one was seen. Clears POLLPRI of this descriptor. */
static int key_state(const struct slot *s, void *arg) {
    if (arg == NULL) {
        errno = EFAULT;
        return -1;
    }
    (void)watch_ensure();
    struct touchm_event ev;
    memset(&ev, 0, sizeof(ev));
    ev.timestamp_ns = g.last_change_ns;
    ev.seqno = g.seqno;
    ev.kind = g.key_present ? TOUCHM_EVENT_ATTACHED : TOUCHM_EVENT_REMOVED;
    if (g.key_present)
        memcpy(ev.rom, g.key_rom, TM_ROM_SIZE);
    memcpy(arg, &ev, sizeof(ev));
    pri_clear(atomic_load(&s->fd));
    return 0;
}

/* A new event descriptor of the device of s; flags 0 or O_NONBLOCK. */
static int event_fd(const struct slot *s, void *arg) {
    uintptr_t flags = (uintptr_t)arg;
    if (flags & ~(uintptr_t)O_NONBLOCK) {
        errno = EINVAL;
        return -1;
    }
    int err = 0;
    int fd = reserve_descriptor(FD_EVENT, &err);
    if (fd < 0) {
        errno = err;
        return -1;
    }
    struct slot *made = slot_find(fd);
    if (made) {
        made->generation = made->file->generation = s->generation;
        made->epoch = made->file->epoch = s->epoch;
    }
    if ((flags & O_NONBLOCK) && syscall(SYS_fcntl, fd, F_SETFL, O_NONBLOCK) != 0) {
        err = errno;
        if (made)
            release(made);
        tms_close(fd);
        errno = err;
        return -1;
    }
    (void)watch_ensure();
    return fd;
}

static int device_ioctl(const struct slot *s, unsigned long req, void *arg, int *err) {
    int result = -1;
    int e = device_usable(s);
    const struct tmsim_backend *b = NULL;
    if (e == 0 && (req == TOUCHM_IOC_EVENT_FD || req == TOUCHM_IOC_KEY_STATE)) {
        result = req == TOUCHM_IOC_EVENT_FD ? event_fd(s, arg) : key_state(s, arg);
        e = result < 0 ? errno : 0;
        trace("ioctl", result, e, "req=0x%lx", req);
        *err = e;
        return result;
    }
    if (e == 0)
        b = backend_get(&e);
    if (e == 0) {
        struct tmsim_key key = current_key();
        uint8_t rom[TM_ROM_SIZE];
        switch (req) {
        case TM_REQ_PRESENCE:
            result = (g.cfg.faults & TMSIM_FAULT_PRESENCE) ? (errno = EIO, -1) : b->presence(&key);
            break;
        case TM_REQ_READ_ROM:
            if (arg == NULL)
                result = (errno = EFAULT, -1);
            else if (g.cfg.faults & TMSIM_FAULT_ROM)
                result = (errno = EIO, -1);
            else if ((result = b->read_rom(&key, rom)) == 0)
                memcpy(arg, rom, TM_ROM_SIZE);
            break;
        case TM_REQ_RESET:
            result = (g.cfg.faults & TMSIM_FAULT_RESET) ? (errno = EIO, -1) : b->reset(&key);
            break;
        case TM_REQ_SKIP_ROM:
            result = (g.cfg.faults & TMSIM_FAULT_SKIP) ? (errno = EIO, -1) : b->skip_rom(&key);
            break;
        default:
            result = (errno = ENOTTY, -1);
            break;
        }
        if (result < 0)
            e = errno;
    }
    trace("ioctl", result, e, "req=0x%lx", req);
    *err = e;
    return result;
}

int tmsim_core_ioctl(int fd, unsigned long req, void *arg, int *res) {
    struct held h;
    lock_take(&h);
    struct slot *s = slot_find(fd);
    if (!s) {
        lock_drop(&h);
        return 0;
    }
    state_refresh();
    int saved = errno;
    int err = 0;
    if (s->kind == FD_RTC) {
        *res = rtc_ioctl(req, arg, &err);
    } else if (s->kind == FD_EVENT) {
        /* An event descriptor takes no request. */
        trace("event_ioctl", -1, ENOTTY, "req=0x%lx", req);
        *res = -1;
        err = ENOTTY;
    } else {
        *res = device_ioctl(s, req, arg, &err);
    }
    lock_drop(&h);
    errno = *res < 0 ? err : saved;
    return 1;
}

int tmsim_core_lseek(int fd, off_t off, int whence, off_t *res) {
    struct held h;
    lock_take(&h);
    struct slot *s = slot_find(fd);
    if (!s) {
        lock_drop(&h);
        return 0;
    }
    int saved = errno;
    int err = 0;
    off_t result = -1;
    if (s->kind == FD_RTC || s->kind == FD_EVENT) {
        err = ESPIPE;
    } else {
        state_refresh();
        err = device_usable(s);
        if (err == 0 && (g.cfg.faults & TMSIM_FAULT_LSEEK))
            err = EIO;
        uint64_t cur = 0;
        if (err == 0 && whence == SEEK_CUR && !position_get(s, &cur))
            err = errno;
        if (err == 0) {
            uint32_t size = 0;
            (void)tmsim_config_memory(&g.cfg, &size);
            long long base = whence == SEEK_SET   ? 0
                             : whence == SEEK_CUR ? (long long)cur
                             : whence == SEEK_END ? (long long)size
                                                  : -1;
            if (base < 0 || (off < 0 && base < -(long long)off) ||
                (off > 0 && (long long)off > INT64_MAX - base))
                err = EINVAL;
            else if (!position_set(s, (uint64_t)(base + off)))
                err = errno;
            else
                result = (off_t)(base + off);
        }
        trace("lseek", result, err, "off=%lld whence=%d", (long long)off, whence);
    }
    lock_drop(&h);
    *res = result;
    errno = result < 0 ? err : saved;
    return 1;
}

/* The errno of a failed memory request. The image in place of a regular
 * file (a FIFO, a device) is a broken state: EIO, reported once. */
static int memory_error(int err) {
    struct stat st;
    if (tms_stat(g.memory_path, &st) != 0 || S_ISREG(st.st_mode)) {
        g.memory_notice = 0;
        return err;
    }
    if (!g.memory_notice)
        notice("tmsim: bad state %s: not a regular file\n", g.memory_path);
    g.memory_notice = 1;
    return EIO;
}

/* read and pread, write and pwrite: at the file position (moving it) or at
 * off. */
static ssize_t device_transfer(struct slot *s, int writing, void *buf, size_t n, long long at,
                               int *err) {
    ssize_t result = -1;
    int e = device_usable(s);
    const struct tmsim_backend *b = NULL;
    if (e == 0)
        b = backend_get(&e);
    if (e == 0 && (g.cfg.faults & (writing ? TMSIM_FAULT_WRITE : TMSIM_FAULT_READ)))
        e = EIO;
    if (e == 0 && at < -1)
        e = EINVAL;
    if (e == 0 && buf == NULL && n > 0)
        e = EFAULT;
    uint64_t off = at >= 0 ? (uint64_t)at : 0;
    if (e == 0 && at < 0 && !position_get(s, &off))
        e = errno;
    if (e == 0) {
        long limit = writing ? g.cfg.short_write : g.cfg.short_read;
        size_t want = n;
        if (limit != TMSIM_COUNT_OFF && want > (size_t)limit)
            want = (size_t)limit;
        struct tmsim_key key = current_key();
        /* A key without memory refuses every transfer, an empty one too:
         * the backend still asks the line whether a key is there. */
        if (want == 0 && key.has_memory) {
            result = 0;
        } else {
            if (key.has_memory && !tmsim_mem_create(g.memory_path, key.memory_size))
                result = -1;
            else if (writing)
                result = b->write_mem(&key, off, buf, want);
            else
                result = b->read_mem(&key, off, buf, want);
            if (result < 0)
                e = memory_error(errno);
        }
        if (result > 0 && at < 0 && !position_set(s, off + (uint64_t)result)) {
            e = errno;
            result = -1;
        }
    }
    const char *call = writing ? (at >= 0 ? "pwrite" : "write") : (at >= 0 ? "pread" : "read");
    if (at >= 0)
        trace(call, result, e, "off=%lld size=%zu", at, n);
    else
        trace(call, result, e, "size=%zu", n);
    *err = e;
    return result;
}

/* A read of an event descriptor, with the lock held: whole records, oldest
 * first. 1 when done (result in *res, errno in *err), 0 when the caller
 * must wait for an event and try again. */
static int event_take(struct slot *s, void *buf, size_t n, ssize_t *res, int *err) {
    struct ofile *f = s->file;
    const size_t record = sizeof(struct touchm_event);
    *res = -1;
    if (n < record) {
        *err = EINVAL;
    } else if (buf == NULL) {
        *err = EFAULT;
    } else if (f->count > 0) {
        size_t take = n / record;
        if (take > f->count)
            take = f->count;
        for (size_t i = 0; i < take; i++) {
            memcpy((char *)buf + i * record, &f->queue[f->head], record);
            f->head = (f->head + 1) % TOUCHM_EVENT_QUEUE_LEN;
            f->count--;
        }
        token_sync(f);
        *res = (ssize_t)(take * record);
        *err = 0;
    } else if (g.status == STATE_OK && file_dead(f)) {
        *err = ENODEV;
    } else {
        int fl = (int)syscall(SYS_fcntl, atomic_load(&s->fd), F_GETFL);
        if (fl < 0 || !(fl & O_NONBLOCK))
            return 0;
        *err = EAGAIN;
    }
    trace("event_read", *res, *err, "size=%zu", n);
    return 1;
}

/* read of an event descriptor: blocks (outside the lock, in the system's
 * poll on the descriptor itself, which the watch makes readable) until an
 * event waits or the device goes, unless the descriptor is non-blocking. A
 * signal ends the wait with EINTR. */
static int event_read(int fd, void *buf, size_t n, ssize_t *res) {
    /* Lock-free first test, as tmsim_core_maybe_ours: a slot's kind is set
     * before its number is published. */
    int maybe = 0;
    for (int i = 0; i < TMSIM_MAX_DESCRIPTORS && !maybe; i++)
        maybe = atomic_load(&g_slots[i].fd) == fd && g_slots[i].kind == FD_EVENT;
    if (!maybe)
        return 0;
    int saved = errno;
    for (int first = 1;; first = 0) {
        struct held h;
        lock_take(&h);
        struct slot *s = slot_find(fd);
        if (!s || s->kind != FD_EVENT) {
            lock_drop(&h);
            if (first)
                return 0;
            *res = -1;
            errno = EBADF;
            return 1;
        }
        state_refresh();
        int err = 0;
        if (event_take(s, buf, n, res, &err)) {
            lock_drop(&h);
            errno = *res < 0 ? err : saved;
            return 1;
        }
        int timeout = watch_ensure() ? -1 : WATCH_FALLBACK_MS;
        lock_drop(&h);
        struct pollfd p = {.fd = fd, .events = POLLIN};
        struct timespec ts = {.tv_sec = timeout / MSEC_PER_SEC,
                              .tv_nsec = (timeout % MSEC_PER_SEC) * NSEC_PER_MSEC};
        long r = syscall(SYS_ppoll, &p, 1, timeout < 0 ? NULL : &ts, NULL, SIGSET_BYTES);
        if (r < 0 && errno == EINTR) {
            *res = -1;
            return 1;
        }
    }
}

static int transfer(int fd, int writing, void *buf, size_t n, long long at, ssize_t *res) {
    struct held h;
    lock_take(&h);
    struct slot *s = slot_find(fd);
    if (!s) {
        lock_drop(&h);
        return 0;
    }
    int saved = errno;
    int err = 0;
    if (s->kind == FD_EVENT) {
        /* Reads come through event_read; a write or a positioned transfer
         * of an event descriptor is refused as the device's is. */
        *res = -1;
        err = at == -1 ? EINVAL : ESPIPE;
        trace(at == -1  ? "event_write"
              : writing ? "event_pwrite"
                        : "event_pread",
              -1, err, "size=%zu", n);
    } else if (s->kind == FD_RTC) {
        *res = -1;
        err = EINVAL;
    } else {
        state_refresh();
        *res = device_transfer(s, writing, buf, n, at, &err);
    }
    lock_drop(&h);
    errno = *res < 0 ? err : saved;
    return 1;
}

int tmsim_core_read(int fd, void *buf, size_t n, ssize_t *res) {
    if (event_read(fd, buf, n, res))
        return 1;
    return transfer(fd, 0, buf, n, -1, res);
}

int tmsim_core_write(int fd, const void *buf, size_t n, ssize_t *res) {
    return transfer(fd, 1, (void *)buf, n, -1, res);
}

int tmsim_core_pread(int fd, void *buf, size_t n, off_t off, ssize_t *res) {
    return transfer(fd, 0, buf, n, off < 0 ? -2 : (long long)off, res);
}

int tmsim_core_pwrite(int fd, const void *buf, size_t n, off_t off, ssize_t *res) {
    return transfer(fd, 1, (void *)buf, n, off < 0 ? -2 : (long long)off, res);
}

int tmsim_core_close(int fd, int *res) {
    struct held h;
    lock_take(&h);
    struct slot *s = slot_find(fd);
    if (!s) {
        lock_drop(&h);
        return 0;
    }
    int saved = errno;
    enum fd_kind kind = s->kind;
    release(s);
    int result = tms_close(fd);
    int err = result < 0 ? errno : 0;
    trace(kind == FD_RTC     ? "rtc_close"
          : kind == FD_EVENT ? "event_close"
                             : "close",
          result, err, NULL);
    lock_drop(&h);
    *res = result;
    errno = result < 0 ? err : saved;
    return 1;
}

int tmsim_core_char_device(int fd, unsigned *major, unsigned *minor, unsigned *mode) {
    struct held h;
    lock_take(&h);
    int saved = errno;
    struct slot *s = slot_find(fd);
    enum fd_kind kind = s ? s->kind : FD_FREE;
    lock_drop(&h);
    errno = saved;
    if (kind == FD_DEVICE) {
        *major = TMSIM_DEVICE_MAJOR;
        *minor = TMSIM_DEVICE_MINOR;
        *mode = TMSIM_DEVICE_MODE;
        return 1;
    }
    if (kind == FD_RTC) {
        *major = TMSIM_RTC_MAJOR;
        *minor = TMSIM_RTC_MINOR;
        *mode = TMSIM_RTC_MODE;
        return 1;
    }
    return 0;
}

/* Gives copy the open file of from. 0 when no slot is free. */
static int slot_copy(const struct slot *from, int copy) {
    struct slot *s = slot_free();
    if (!s)
        return 0;
    s->kind = from->kind;
    s->dev = from->dev;
    s->ino = from->ino;
    s->generation = from->generation;
    s->epoch = from->epoch;
    s->file = from->file;
    s->file->users++;
    slot_take(s, copy);
    return 1;
}

int tmsim_core_copy(enum tmsim_copy how, int fd, int to, int flags, int *res) {
    struct held h;
    lock_take(&h);
    struct slot *from = slot_find(fd);
    int onto = how == TMSIM_COPY_DUP2 || how == TMSIM_COPY_DUP3;
    struct slot *target = onto && to != fd ? slot_find(to) : NULL;
    if (!from && !target) {
        lock_drop(&h);
        return 0;
    }
    int saved = errno;
    int result = -1;
    switch (how) {
    case TMSIM_COPY_DUP:
        result = tms_dup(fd);
        break;
    case TMSIM_COPY_DUPFD:
        result = tms_dupfd(fd, to, (flags & O_CLOEXEC) != 0);
        break;
    case TMSIM_COPY_DUP2:
        /* Onto itself: nothing changes (fd is ours, so it is open). */
        result = to == fd ? fd : tms_dup3(fd, to, 0);
        break;
    case TMSIM_COPY_DUP3:
        result = tms_dup3(fd, to, flags);
        break;
    }
    int err = result < 0 ? errno : 0;
    /* The system closed what the number held before: one copy of a device
     * descriptor less, the others stay. */
    if (result >= 0 && target)
        release(target);
    if (result >= 0 && from && result != fd && !slot_copy(from, result)) {
        tms_close(result);
        result = -1;
        err = EMFILE;
    }
    lock_drop(&h);
    *res = result;
    errno = result < 0 ? err : saved;
    return 1;
}

int tmsim_core_set_clock(const char *call, long long sec, long usec) {
    struct held h;
    lock_take(&h);
    int allowed = 0;
    if (tmsim_core_active()) {
        state_refresh();
        allowed = g.status == STATE_OK && g.cfg.clock == TMSIM_CLOCK_ALLOW;
    }
    if (allowed)
        record(g.clock_path, "sec=%lld usec=%ld\n", sec, usec);
    trace(call, allowed ? 0 : -1, EPERM, "sec=%lld", sec);
    lock_drop(&h);
    if (!allowed) {
        errno = EPERM;
        return -1;
    }
    return 0;
}

int tmsim_core_log_path(char *out, size_t size) {
    if (!tmsim_core_active())
        return 0;
    struct held h;
    lock_take(&h);
    state_refresh();
    /* A bad state still keeps the client log away from the real file. */
    const char *path = (g.status == STATE_OK && g.cfg.log_path[0]) ? g.cfg.log_path : g.log_default;
    int n = snprintf(out, size, "%s", path);
    lock_drop(&h);
    return n >= 0 && (size_t)n < size;
}

void tmsim_core_waiting(int fd) {
    if (!tmsim_core_maybe_ours(fd) || atomic_load(&g_watching) == (int)syscall(SYS_getpid))
        return;
    struct held h;
    lock_take(&h);
    const struct slot *s = slot_find(fd);
    if (s && (s->kind == FD_DEVICE || s->kind == FD_EVENT))
        (void)watch_ensure();
    lock_drop(&h);
}
