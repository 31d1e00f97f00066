/*
 * pl2303_write(), pl2303_read() and the speed switch of the driver core,
 * carried out on a tty with termios: the reset speed and the data speed
 * are set with tcsetattr, so a far end on a pseudo-terminal's master sees
 * them with tcgetattr.
 */
#include "tty_adapter.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "tm_line_core.h"

#define MS_PER_S 1000
#define NS_PER_MS 1000000L

static int g_fd = -1;
/* Bytes written whose echo has not been read yet. */
static unsigned g_outstanding;

static long long now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * MS_PER_S + ts.tv_nsec / NS_PER_MS;
}

int tty_adapter_open(const char *path) {
    struct termios tio;
    int err;

    tty_adapter_close();
    g_fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (g_fd < 0)
        return -errno;
    if (tcgetattr(g_fd, &tio) != 0)
        goto fail;
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    if (cfsetspeed(&tio, B115200) != 0 || tcsetattr(g_fd, TCSANOW, &tio) != 0)
        goto fail;
    tcflush(g_fd, TCIOFLUSH);
    g_outstanding = 0;
    return 0;
fail:
    err = -errno;
    tty_adapter_close();
    return err;
}

void tty_adapter_close(void) {
    if (g_fd >= 0)
        close(g_fd);
    g_fd = -1;
    g_outstanding = 0;
}

int pl2303_write(struct tm_port *port, const unsigned char *buf, int count) {
    int done = 0;
    ssize_t n;

    (void)port;
    if (g_fd < 0)
        return -ENODEV;
    while (done < count) {
        n = write(g_fd, buf + done, (size_t)(count - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? -errno : -EIO;
        done += (int)n;
    }
    g_outstanding += (unsigned)count;
    return count;
}

int pl2303_read(struct tm_port *port, unsigned char *buf, int count) {
    unsigned want = g_outstanding < (unsigned)count ? g_outstanding : (unsigned)count;
    long long deadline = now_ms() + TTY_ADAPTER_ECHO_TIMEOUT_MS;
    unsigned got = 0;
    struct pollfd pfd;
    ssize_t n;
    long long left;
    int r;

    (void)port;
    if (g_fd < 0)
        return -ENODEV;
    while (got < want) {
        left = deadline - now_ms();
        if (left <= 0) {
            /* Echoes that never came: start over with nothing pending. */
            tcflush(g_fd, TCIFLUSH);
            g_outstanding = 0;
            return -ETIMEDOUT;
        }
        pfd.fd = g_fd;
        pfd.events = POLLIN;
        r = poll(&pfd, 1, (int)left);
        if (r < 0 && errno != EINTR)
            return -errno;
        if (r <= 0)
            continue;
        n = read(g_fd, buf + got, want - got);
        if (n < 0 && errno != EINTR && errno != EAGAIN)
            return -errno;
        if (n > 0)
            got += (unsigned)n;
    }
    g_outstanding -= got;
    return (int)got;
}

int tm_pl2303_set_baud(struct tm_port *port, unsigned int baud) {
    struct termios tio;

    (void)port;
    if (baud != TM_BAUD_DATA && baud != TM_BAUD_RESET)
        return -EINVAL;
    if (g_fd < 0)
        return -ENODEV;
    if (tcgetattr(g_fd, &tio) != 0 ||
        cfsetspeed(&tio, baud == TM_BAUD_RESET ? B9600 : B115200) != 0 ||
        tcsetattr(g_fd, TCSANOW, &tio) != 0)
        return -errno;
    return 0;
}

void tm_pl2303_flush(struct tm_port *port) {
    (void)port;
    if (g_fd >= 0)
        tcflush(g_fd, TCIFLUSH);
    g_outstanding = 0;
}
