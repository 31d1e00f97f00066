// SPDX-License-Identifier: GPL-2.0-or-later
/* tmcaller: callers that misbehave towards an attached line, for the qemu
 * tty guest (tests/guest/caller-cases.sh). Every subcommand checks what the
 * kernel must do about it.
 *
 *   tmcaller stall TTY setd|hangup EXPECTED
 *       reads the key memory from /dev/touchm0 into a buffer whose pages
 *       are registered with userfaultfd, so the read's copy to the buffer
 *       stalls; meanwhile another thread detaches the line (TIOCSETD N_TTY
 *       on a second descriptor of TTY) or hangs TTY up (TIOCVHANGUP). That
 *       must finish within DETACH_LIMIT_MS although the copy is held for
 *       STALL_MS; then the fault is served and the read must end, with an
 *       error or with bytes equal to the start of EXPECTED (the memory).
 *   tmcaller restart EXPECTED ROUNDS
 *       a SIGALRM every TIMER_US (SA_RESTART handler) while ROUNDS times a
 *       SHORT_READ-byte pread (at offsets walking the memory) and a pread of
 *       the whole memory run: each must give EXPECTED's bytes within
 *       READ_LIMIT_MS, and the timer must have fired during every read.
 *   tmcaller pty
 *       TIOCSETD of the driver's discipline on either side of a new pty
 *       must fail with EOPNOTSUPP, leave N_TTY on it and create no node.
 *   tmcaller with-pty PROGRAM [ARG...]
 *       runs PROGRAM ARG... PTY (the slave's path) while holding the
 *       master; its status, or 124 when it had to be stopped after
 *       WITH_PTY_LIMIT_S.
 *   tmcaller termios TTY
 *       tcgetattr/tcsetattr on a second descriptor of the attached TTY; the
 *       driver forces raw 8N1 (flags that report line errors) at every speed
 *       change, over settings a caller made.
 *   tmcaller reopen TTY
 *       hangs the attached TTY up while holding a descriptor of it, then
 *       opens it again: the new descriptor has N_TTY, and no /dev/touchmN
 *       comes back.
 *   tmcaller ldisc N
 *       TIOCSETD N on a new pty works, and creates no /dev/touchmN: N is
 *       another discipline's.
 *
 * Prints "tmcaller: FAIL <check>: ..." for every check that fails, a line
 * of what it measured, and "tmcaller: ok" when all passed; status 0 only
 * then (with-pty aside). */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/userfaultfd.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#define DEV_PATH "/dev/touchm0"
#define DEV_DIR "/dev"
#define NODE_PREFIX "touchm"
#define REQ_PRESENCE 0x414C544AUL
/* The driver's line discipline (N_DEVELOPMENT) and the tty's own. */
#define LDISC_DRIVER 29
#define LDISC_TTY 0
/* The largest key memory of the families the driver knows. */
#define MEM_MAX 8192
/* How long the read may take to reach its copy: the whole memory at wire
 * speed, with the request retried once. */
#define FAULT_WAIT_MS 10000
/* How long the copy is held when the detach does not finish first: long
 * enough to tell a detach that waits for it, short of the guest's 10 s
 * hung task panic. */
#define STALL_MS 5000
/* A detach, hangup or close may take this long with a copy stalled: the
 * driver's echo timeout is 250 ms. */
#define DETACH_LIMIT_MS 1000
/* How long the read may take to end once its fault is served. */
#define READ_END_LIMIT_MS 5000
/* What the served pages hold before the driver copies into them. */
#define FILL_BYTE 0xA5
#define POLL_STEP_MS 10
/* The interval timer of the restart case, and what one read may take. */
#define TIMER_US 300
#define READ_LIMIT_MS 5000
#define SHORT_READ 64
#define FAIL_PRINTS_MAX 20
/* How long a node the kernel makes may take to show. */
#define SETTLE_MS 300
#define WITH_PTY_LIMIT_S 10
#define STOP_GRACE_S 5
#define STATUS_TIMED_OUT 124
#define STATUS_ABNORMAL 126
#define STATUS_NO_START 127
#define PATH_SIZE 128
#define WHY_SIZE 256
#define MS_PER_S 1000LL
#define NS_PER_MS 1000000LL

static int g_failed;
static int g_prints;

static void __attribute__((format(printf, 2, 3))) fail(const char *check, const char *fmt, ...) {
    va_list ap;
    g_failed++;
    if (++g_prints > FAIL_PRINTS_MAX)
        return;
    printf("tmcaller: FAIL %s: ", check);
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    printf("\n");
    fflush(stdout);
}

static int finish(void) {
    if (g_failed) {
        printf("tmcaller: %d failed\n", g_failed);
        return 1;
    }
    printf("tmcaller: ok\n");
    return 0;
}

static long long now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * MS_PER_S + ts.tv_nsec / NS_PER_MS;
}

static void sleep_ms(long ms) {
    struct timespec ts = {ms / MS_PER_S, (ms % MS_PER_S) * NS_PER_MS};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR)
        ;
}

/* The number of /dev/touchmN nodes; -1 when /dev cannot be read. */
static int count_nodes(void) {
    DIR *d = opendir(DEV_DIR);
    if (!d)
        return -1;
    int n = 0;
    struct dirent *e;
    while ((e = readdir(d)) != NULL)
        n += strncmp(e->d_name, NODE_PREFIX, strlen(NODE_PREFIX)) == 0;
    closedir(d);
    return n;
}

/* The line discipline on fd, or -1 with errno set. */
static int ldisc_of(int fd) {
    int d = -1;
    return ioctl(fd, TIOCGETD, &d) == 0 ? d : -1;
}

/* Reads the file at path (at most MEM_MAX bytes) into buf; its size, or 0
 * after saying why not. */
static size_t load_expected(const char *path, unsigned char *buf) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        fail("expected", "%s: %s", path, strerror(errno));
        return 0;
    }
    ssize_t n = read(fd, buf, MEM_MAX);
    int extra = 0;
    if (n == MEM_MAX) {
        unsigned char more;
        extra = read(fd, &more, 1) > 0;
    }
    close(fd);
    if (n <= 0 || extra) {
        fail("expected", "%s must hold 1 to %d bytes", path, MEM_MAX);
        return 0;
    }
    return (size_t)n;
}

/* A new pty pair, both ends without controlling terminal and closed on
 * exec; the slave's path in path. 1, or 0 after saying why not. */
static int open_pty(int *master, int *slave, char *path, size_t size) {
    *slave = -1;
    *master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (*master < 0 || grantpt(*master) != 0 || unlockpt(*master) != 0 ||
        ptsname_r(*master, path, size) != 0) {
        fail("pty", "cannot make a pty: %s (is devpts mounted on /dev/pts?)", strerror(errno));
        if (*master >= 0)
            close(*master);
        return 0;
    }
    *slave = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (*slave < 0) {
        fail("pty", "open %s: %s", path, strerror(errno));
        close(*master);
        return 0;
    }
    return 1;
}

/* --- a read whose copy stalls ------------------------------------------- */

enum stall_how { STALL_SETD, STALL_HANGUP };

struct stall {
    int dev_fd;
    int tty_fd;
    enum stall_how how;
    unsigned char *buf;
    size_t len;
    /* The reader's end. */
    atomic_int read_done;
    ssize_t read_result;
    int read_errno;
    /* The detacher's end: the ioctl and the close of its descriptor. */
    atomic_int detach_done;
    int detach_result;
    int detach_errno;
    long long detach_ms;
    long long close_ms;
};

static void *stall_reader(void *arg) {
    struct stall *s = arg;
    s->read_result = read(s->dev_fd, s->buf, s->len);
    s->read_errno = errno;
    atomic_store(&s->read_done, 1);
    return NULL;
}

static void *stall_detacher(void *arg) {
    struct stall *s = arg;
    int n_tty = LDISC_TTY;
    long long t0 = now_ms();
    if (s->how == STALL_SETD)
        s->detach_result = ioctl(s->tty_fd, TIOCSETD, &n_tty);
    else
        s->detach_result = ioctl(s->tty_fd, TIOCVHANGUP);
    s->detach_errno = errno;
    long long t1 = now_ms();
    close(s->tty_fd);
    s->tty_fd = -1;
    s->detach_ms = t1 - t0;
    s->close_ms = now_ms() - t1;
    atomic_store(&s->detach_done, 1);
    return NULL;
}

/* Waits until *flag is set or limit_ms have passed; whether it is set. */
static int wait_flag(atomic_int *flag, long long limit_ms) {
    long long until = now_ms() + limit_ms;
    while (!atomic_load(flag) && now_ms() < until)
        sleep_ms(POLL_STEP_MS);
    return atomic_load(flag);
}

/* Waits for the fault of the reader's copy on uffd; 1, or 0 after saying
 * why not. */
static int wait_fault(int uffd, struct stall *s) {
    long long until = now_ms() + FAULT_WAIT_MS;
    struct pollfd p = {uffd, POLLIN, 0};
    for (;;) {
        int r = poll(&p, 1, POLL_STEP_MS);
        if (r > 0)
            break;
        if (r < 0 && errno != EINTR) {
            fail("stall", "poll of the userfaultfd: %s", strerror(errno));
            return 0;
        }
        if (atomic_load(&s->read_done)) {
            fail("stall", "the read ended (%zd, %s) without touching its buffer", s->read_result,
                 s->read_result < 0 ? strerror(s->read_errno) : "no error");
            return 0;
        }
        if (now_ms() >= until) {
            fail("stall", "the read did not reach its copy within %d ms", FAULT_WAIT_MS);
            return 0;
        }
    }
    struct uffd_msg msg;
    if (read(uffd, &msg, sizeof msg) != (ssize_t)sizeof msg) {
        fail("stall", "read of the userfaultfd: %s", strerror(errno));
        return 0;
    }
    if (msg.event != UFFD_EVENT_PAGEFAULT) {
        fail("stall", "userfaultfd event %u, not a page fault", msg.event);
        return 0;
    }
    return 1;
}

/* Fills the registered pages at once, which wakes the faulting copy. */
static int serve_fault(int uffd, unsigned char *area, size_t area_len) {
    unsigned char *src =
        mmap(NULL, area_len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (src == MAP_FAILED) {
        fail("stall", "mmap: %s", strerror(errno));
        return 0;
    }
    memset(src, FILL_BYTE, area_len);
    struct uffdio_copy copy = {
        .dst = (unsigned long)area, .src = (unsigned long)src, .len = area_len, .mode = 0};
    int ok = ioctl(uffd, UFFDIO_COPY, &copy) == 0;
    if (!ok)
        fail("stall", "UFFDIO_COPY: %s", strerror(errno));
    munmap(src, area_len);
    return ok;
}

/* The read's end: an error, or bytes that are the memory's. */
static void check_stalled_read(const struct stall *s, const unsigned char *expected) {
    if (s->read_result < 0) {
        printf("tmcaller: the read ended with %s\n", strerror(s->read_errno));
        return;
    }
    if ((size_t)s->read_result > s->len) {
        fail("stalled read", "%zd bytes for a read of %zu", s->read_result, s->len);
        return;
    }
    if (memcmp(s->buf, expected, (size_t)s->read_result) != 0)
        fail("stalled read", "its %zd bytes are not the key memory", s->read_result);
    printf("tmcaller: the read gave %zd bytes\n", s->read_result);
}

static int stall(const char *tty, const char *how, const char *expected_path) {
    static unsigned char expected[MEM_MAX];
    struct stall s = {.dev_fd = -1, .tty_fd = -1};
    if (strcmp(how, "setd") == 0) {
        s.how = STALL_SETD;
    } else if (strcmp(how, "hangup") == 0) {
        s.how = STALL_HANGUP;
    } else {
        fprintf(stderr, "tmcaller: stall takes setd or hangup, not %s\n", how);
        return 2;
    }
    s.len = load_expected(expected_path, expected);
    if (!s.len)
        return finish();

    long page = sysconf(_SC_PAGESIZE);
    size_t area_len = (s.len + (size_t)page - 1) / (size_t)page * (size_t)page;
    int uffd = (int)syscall(SYS_userfaultfd, O_CLOEXEC | O_NONBLOCK);
    struct uffdio_api api = {.api = UFFD_API, .features = 0};
    if (uffd < 0 || ioctl(uffd, UFFDIO_API, &api) != 0) {
        fail("stall", "userfaultfd: %s", strerror(errno));
        return finish();
    }
    s.buf = mmap(NULL, area_len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    struct uffdio_register reg = {.range = {.start = (unsigned long)s.buf, .len = area_len},
                                  .mode = UFFDIO_REGISTER_MODE_MISSING};
    if (s.buf == MAP_FAILED || ioctl(uffd, UFFDIO_REGISTER, &reg) != 0) {
        fail("stall", "buffer with userfaultfd: %s", strerror(errno));
        return finish();
    }
    s.dev_fd = open(DEV_PATH, O_RDONLY | O_CLOEXEC);
    s.tty_fd = open(tty, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (s.dev_fd < 0 || s.tty_fd < 0) {
        fail("stall", "open %s: %s", s.dev_fd < 0 ? DEV_PATH : tty, strerror(errno));
        return finish();
    }
    if (ldisc_of(s.tty_fd) != LDISC_DRIVER) {
        fail("stall", "%s has line discipline %d, not %d", tty, ldisc_of(s.tty_fd), LDISC_DRIVER);
        return finish();
    }

    pthread_t reader, detacher;
    if (pthread_create(&reader, NULL, stall_reader, &s) != 0) {
        fail("stall", "no reader thread");
        return finish();
    }
    int faulted = wait_fault(uffd, &s);
    int detaching = faulted && pthread_create(&detacher, NULL, stall_detacher, &s) == 0;
    if (faulted && !detaching)
        fail("stall", "no detacher thread");
    /* The copy stays stalled until the detach is over, or for STALL_MS. */
    if (detaching)
        wait_flag(&s.detach_done, STALL_MS);
    if (faulted && !serve_fault(uffd, s.buf, area_len))
        return finish();
    if (!wait_flag(&s.read_done, READ_END_LIMIT_MS)) {
        fail("stall", "the read still runs %d ms after its fault was served", READ_END_LIMIT_MS);
        return finish();
    }
    pthread_join(reader, NULL);
    if (!detaching)
        return finish();
    if (!wait_flag(&s.detach_done, READ_END_LIMIT_MS)) {
        fail("stall", "the %s still runs after the read ended", how);
        return finish();
    }
    pthread_join(detacher, NULL);

    printf("tmcaller: %s took %lld ms, the close %lld ms, with the copy stalled\n",
           s.how == STALL_SETD ? "TIOCSETD N_TTY" : "TIOCVHANGUP", s.detach_ms, s.close_ms);
    if (s.detach_result != 0)
        fail(how, "failed: %s", strerror(s.detach_errno));
    if (s.detach_ms > DETACH_LIMIT_MS)
        fail(how, "took %lld ms with a copy stalled, over %d ms", s.detach_ms, DETACH_LIMIT_MS);
    if (s.close_ms > DETACH_LIMIT_MS)
        fail(how, "the close took %lld ms, over %d ms", s.close_ms, DETACH_LIMIT_MS);
    check_stalled_read(&s, expected);
    if (access(DEV_PATH, F_OK) == 0)
        fail(how, "%s still there", DEV_PATH);
    close(s.dev_fd);
    close(uffd);
    munmap(s.buf, area_len);
    return finish();
}

/* --- reads under an interval timer -------------------------------------- */

static volatile sig_atomic_t g_alarms;

static void on_alarm(int sig) {
    (void)sig;
    g_alarms++;
}

struct restart_tally {
    int reads;
    int interrupted;
    long long slowest_ms;
};

static void timed_pread(int fd, unsigned char *buf, size_t n, off_t off,
                        const unsigned char *expected, struct restart_tally *t) {
    int alarms = g_alarms;
    long long t0 = now_ms();
    ssize_t r = pread(fd, buf, n, off);
    int saved = errno;
    long long took = now_ms() - t0;
    t->reads++;
    t->interrupted += g_alarms != alarms;
    if (took > t->slowest_ms)
        t->slowest_ms = took;
    if (r != (ssize_t)n)
        fail("restart", "pread of %zu at %lld gave %zd (%s)", n, (long long)off, r,
             r < 0 ? strerror(saved) : "short");
    else if (memcmp(buf, expected + off, n) != 0)
        fail("restart", "pread of %zu at %lld: not the key memory", n, (long long)off);
    if (took > READ_LIMIT_MS)
        fail("restart", "pread of %zu at %lld took %lld ms", n, (long long)off, took);
}

static int restart(const char *expected_path, const char *rounds_text) {
    static unsigned char expected[MEM_MAX];
    static unsigned char buf[MEM_MAX];
    char *end;
    long rounds = strtol(rounds_text, &end, 10);
    if (*end || rounds < 1) {
        fprintf(stderr, "tmcaller: restart takes a number of rounds, not %s\n", rounds_text);
        return 2;
    }
    size_t size = load_expected(expected_path, expected);
    if (!size)
        return finish();
    int fd = open(DEV_PATH, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        fail("restart", "open %s: %s", DEV_PATH, strerror(errno));
        return finish();
    }

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_alarm;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGALRM, &sa, NULL);
    struct itimerval every = {{0, TIMER_US}, {0, TIMER_US}};
    struct itimerval off = {{0, 0}, {0, 0}};
    if (setitimer(ITIMER_REAL, &every, NULL) != 0) {
        fail("restart", "setitimer: %s", strerror(errno));
        return finish();
    }
    struct restart_tally t = {0, 0, 0};
    for (long i = 0; i < rounds; i++) {
        size_t at = (size_t)i * SHORT_READ % size;
        size_t n = size - at < SHORT_READ ? size - at : SHORT_READ;
        timed_pread(fd, buf, n, (off_t)at, expected, &t);
        timed_pread(fd, buf, size, 0, expected, &t);
    }
    setitimer(ITIMER_REAL, &off, NULL);
    close(fd);

    printf("tmcaller: %d reads, %d of them interrupted, %d signals, the slowest %lld ms\n", t.reads,
           t.interrupted, (int)g_alarms, t.slowest_ms);
    /* A read the timer never fired in shows nothing about signals. */
    if (t.interrupted != t.reads)
        fail("restart", "the timer fired in only %d of %d reads", t.interrupted, t.reads);
    return finish();
}

/* --- ptys ---------------------------------------------------------------- */

/* TIOCSETD of the driver's discipline on fd (side of a pty) must fail with
 * EOPNOTSUPP and leave N_TTY. */
static void refuse_on(int fd, const char *side) {
    int ldisc = LDISC_DRIVER;
    errno = 0;
    if (ioctl(fd, TIOCSETD, &ldisc) == 0) {
        fail(side, "TIOCSETD %d accepted", LDISC_DRIVER);
        int n_tty = LDISC_TTY;
        ioctl(fd, TIOCSETD, &n_tty);
    } else if (errno != EOPNOTSUPP) {
        fail(side, "TIOCSETD %d: %s, not %s", LDISC_DRIVER, strerror(errno), strerror(EOPNOTSUPP));
    }
    int now = ldisc_of(fd);
    if (now != LDISC_TTY)
        fail(side, "line discipline %d afterwards, not %d", now, LDISC_TTY);
}

static int pty_refused(void) {
    int master, slave;
    char path[PATH_SIZE];
    int nodes = count_nodes();
    if (!open_pty(&master, &slave, path, sizeof path))
        return finish();
    refuse_on(master, "pty master");
    refuse_on(slave, "pty slave");
    sleep_ms(SETTLE_MS);
    if (count_nodes() != nodes)
        fail("pty", "%d touchm nodes, were %d", count_nodes(), nodes);
    close(slave);
    close(master);
    return finish();
}

static int with_pty(char **argv) {
    int master, slave;
    char path[PATH_SIZE];
    if (!open_pty(&master, &slave, path, sizeof path))
        return finish();
    close(slave);
    int argc = 0;
    while (argv[argc])
        argc++;
    char **args = calloc((size_t)argc + 2, sizeof *args);
    if (!args) {
        close(master);
        fail("with-pty", "out of memory");
        return finish();
    }
    memcpy(args, argv, (size_t)argc * sizeof *args);
    args[argc] = path;
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        execv(args[0], args);
        fprintf(stderr, "tmcaller: exec %s: %s\n", args[0], strerror(errno));
        _exit(STATUS_NO_START);
    }
    free(args);
    if (pid < 0) {
        close(master);
        fail("with-pty", "fork: %s", strerror(errno));
        return finish();
    }
    int status = 0;
    long long until = now_ms() + WITH_PTY_LIMIT_S * MS_PER_S;
    pid_t got;
    while ((got = waitpid(pid, &status, WNOHANG)) == 0 && now_ms() < until)
        sleep_ms(POLL_STEP_MS);
    if (got == 0) {
        /* Still holding the pty: attached to it, say. */
        fail("with-pty", "%s still runs after %d s", argv[0], WITH_PTY_LIMIT_S);
        kill(pid, SIGTERM);
        until = now_ms() + STOP_GRACE_S * MS_PER_S;
        while ((got = waitpid(pid, &status, WNOHANG)) == 0 && now_ms() < until)
            sleep_ms(POLL_STEP_MS);
        if (got == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        close(master);
        return STATUS_TIMED_OUT;
    }
    close(master);
    return WIFEXITED(status) ? WEXITSTATUS(status) : STATUS_ABNORMAL;
}

static int ldisc_other(const char *number) {
    char *end;
    long n = strtol(number, &end, 10);
    if (*end || n <= LDISC_TTY || n == LDISC_DRIVER) {
        fprintf(stderr, "tmcaller: ldisc takes another discipline's number, not %s\n", number);
        return 2;
    }
    int master, slave;
    char path[PATH_SIZE];
    int nodes = count_nodes();
    if (!open_pty(&master, &slave, path, sizeof path))
        return finish();
    int ldisc = (int)n;
    if (ioctl(slave, TIOCSETD, &ldisc) != 0) {
        fail("ldisc", "TIOCSETD %d: %s", ldisc, strerror(errno));
    } else {
        if (ldisc_of(slave) != ldisc)
            fail("ldisc", "line discipline %d after TIOCSETD %d", ldisc_of(slave), ldisc);
        sleep_ms(SETTLE_MS);
        if (count_nodes() != nodes)
            fail("ldisc", "TIOCSETD %d made a touchm node (%d, were %d)", ldisc, count_nodes(),
                 nodes);
        int n_tty = LDISC_TTY;
        if (ioctl(slave, TIOCSETD, &n_tty) != 0)
            fail("ldisc", "back to N_TTY: %s", strerror(errno));
    }
    close(slave);
    close(master);
    return finish();
}

/* --- the attached tty's own requests ------------------------------------ */

#define RAW_IFLAG_SET (INPCK | BRKINT)
#define RAW_IFLAG_CLEAR (IGNBRK | IGNPAR | PARMRK)

/* Whether t is raw 8N1 at one of the line's speeds, with flags that report
 * line errors; else why not in why. */
static int forced_raw(const struct termios *t, char *why, size_t size) {
    speed_t sp = cfgetospeed(t);
    const char *what = NULL;
    /* (glibc's input speed is the output speed here.) */
    if ((t->c_cflag & CSIZE) != CS8)
        what = "not 8 data bits";
    else if (t->c_cflag & (PARENB | CSTOPB))
        what = "parity or two stop bits";
    else if (!(t->c_cflag & CREAD))
        what = "receiver off";
    else if ((t->c_iflag & RAW_IFLAG_SET) != RAW_IFLAG_SET)
        what = "INPCK or BRKINT clear";
    else if (t->c_iflag & RAW_IFLAG_CLEAR)
        what = "IGNBRK, IGNPAR or PARMRK set";
    else if (sp != B9600 && sp != B115200)
        what = "speed neither 9600 nor 115200";
    if (what)
        snprintf(why, size, "%s (iflag %#o cflag %#o)", what, (unsigned)t->c_iflag,
                 (unsigned)t->c_cflag);
    return what == NULL;
}

/* A presence request on the line, which must find the key. */
static void presence(const char *when) {
    int fd = open(DEV_PATH, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        fail("presence", "%s: open %s: %s", when, DEV_PATH, strerror(errno));
        return;
    }
    if (ioctl(fd, REQ_PRESENCE) != 0)
        fail("presence", "%s: %s", when, strerror(errno));
    close(fd);
}

static int termios_calls(const char *tty) {
    char why[WHY_SIZE];
    int fd = open(tty, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        fail("termios", "open %s: %s", tty, strerror(errno));
        return finish();
    }
    struct termios orig, t;
    if (ldisc_of(fd) != LDISC_DRIVER) {
        fail("termios", "%s has line discipline %d, not %d", tty, ldisc_of(fd), LDISC_DRIVER);
    } else if (tcgetattr(fd, &orig) != 0) {
        fail("tcgetattr", "%s", strerror(errno));
    } else {
        if (!forced_raw(&orig, why, sizeof why))
            fail("attached", "%s", why);
        if (tcsetattr(fd, TCSANOW, &orig) != 0)
            fail("tcsetattr", "the same settings: %s", strerror(errno));
        /* What a careless caller might set: 7E2 at another speed, errors
         * ignored or marked in the data, the receiver off. */
        t = orig;
        t.c_cflag &= ~(tcflag_t)(CSIZE | CREAD);
        t.c_cflag |= CS7 | PARENB | CSTOPB;
        t.c_iflag &= ~(tcflag_t)RAW_IFLAG_SET;
        t.c_iflag |= RAW_IFLAG_CLEAR;
        cfsetispeed(&t, B57600);
        cfsetospeed(&t, B57600);
        if (tcsetattr(fd, TCSANOW, &t) != 0)
            fail("tcsetattr", "other settings: %s", strerror(errno));
        presence("after other settings");
        if (tcgetattr(fd, &t) != 0)
            fail("tcgetattr", "after a request: %s", strerror(errno));
        else if (!forced_raw(&t, why, sizeof why))
            fail("after a request", "%s", why);
        if (tcsetattr(fd, TCSANOW, &orig) != 0)
            fail("tcsetattr", "back: %s", strerror(errno));
        presence("back");
    }
    if (ldisc_of(fd) != LDISC_DRIVER)
        fail("termios", "line discipline %d afterwards", ldisc_of(fd));
    close(fd);
    return finish();
}

/* --- hung up, then opened again ----------------------------------------- */

static int reopen(const char *tty) {
    int held = open(tty, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (held < 0) {
        fail("reopen", "open %s: %s", tty, strerror(errno));
        return finish();
    }
    if (ldisc_of(held) != LDISC_DRIVER) {
        fail("reopen", "%s has line discipline %d, not %d", tty, ldisc_of(held), LDISC_DRIVER);
        close(held);
        return finish();
    }
    if (ioctl(held, TIOCVHANGUP) != 0) {
        fail("reopen", "TIOCVHANGUP: %s", strerror(errno));
        close(held);
        return finish();
    }
    long long until = now_ms() + READ_END_LIMIT_MS;
    while (count_nodes() > 0 && now_ms() < until)
        sleep_ms(POLL_STEP_MS);
    if (count_nodes() != 0)
        fail("hangup", "%d touchm nodes left after the hangup", count_nodes());
    /* The hung-up descriptor keeps the tty; this open finds it again. */
    int again = open(tty, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (again < 0) {
        fail("reopen", "open %s again: %s", tty, strerror(errno));
    } else {
        if (ldisc_of(again) != LDISC_TTY)
            fail("reopen", "line discipline %d, not %d", ldisc_of(again), LDISC_TTY);
        sleep_ms(SETTLE_MS);
        if (count_nodes() != 0)
            fail("reopen", "%d touchm nodes after opening the hung-up tty", count_nodes());
        close(again);
    }
    close(held);
    return finish();
}

static int usage(void) {
    fprintf(stderr, "usage: tmcaller stall TTY setd|hangup EXPECTED\n"
                    "       tmcaller restart EXPECTED ROUNDS\n"
                    "       tmcaller pty\n"
                    "       tmcaller with-pty PROGRAM [ARG...]\n"
                    "       tmcaller termios TTY\n"
                    "       tmcaller reopen TTY\n"
                    "       tmcaller ldisc N\n");
    return 2;
}

int main(int argc, char **argv) {
    setvbuf(stdout, NULL, _IOLBF, 0);
    if (argc == 5 && strcmp(argv[1], "stall") == 0)
        return stall(argv[2], argv[3], argv[4]);
    if (argc == 4 && strcmp(argv[1], "restart") == 0)
        return restart(argv[2], argv[3]);
    if (argc == 2 && strcmp(argv[1], "pty") == 0)
        return pty_refused();
    if (argc >= 3 && strcmp(argv[1], "with-pty") == 0)
        return with_pty(argv + 2);
    if (argc == 3 && strcmp(argv[1], "termios") == 0)
        return termios_calls(argv[2]);
    if (argc == 3 && strcmp(argv[1], "reopen") == 0)
        return reopen(argv[2]);
    if (argc == 3 && strcmp(argv[1], "ldisc") == 0)
        return ldisc_other(argv[2]);
    return usage();
}
