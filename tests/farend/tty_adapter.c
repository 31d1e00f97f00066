// SPDX-License-Identifier: GPL-2.0-or-later
/*
 * The bus operations of the driver core carried out on a tty with termios:
 * the reset speed and the data speed are set with tcsetattr, so a far end
 * on a pseudo-terminal's master sees them with tcgetattr.
 */
#include "tty_adapter.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <string.h>

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

static const struct tm_bus_ops tty_adapter_ops;

int tty_adapter_open(struct tm_bus *bus, const char *path, unsigned int mem_size) {
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
    tm_bus_init(bus, &tty_adapter_ops);
    bus->mem_size = mem_size;
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

static int tty_write(struct tm_bus *bus, const unsigned char *buf, int count) {
    int done = 0;
    ssize_t n;

    (void)bus;
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

static int tty_read(struct tm_bus *bus, unsigned char *buf, int count) {
    unsigned want = g_outstanding < (unsigned)count ? g_outstanding : (unsigned)count;
    long long deadline = now_ms() + TTY_ADAPTER_ECHO_TIMEOUT_MS;
    unsigned got = 0;
    struct pollfd pfd;
    ssize_t n;
    long long left;
    int r;

    (void)bus;
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

static int tty_set_baud(struct tm_bus *bus, unsigned int baud) {
    struct termios tio;

    (void)bus;
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

static void tty_flush(struct tm_bus *bus) {
    (void)bus;
    if (g_fd >= 0)
        tcflush(g_fd, TCIFLUSH);
    g_outstanding = 0;
}

/* The echoes of the first count bytes outstanding, later ones still due. */
static int tty_read_echoes(struct tm_bus *bus, unsigned char *buf, int count) {
    if (count < 0 || (unsigned)count > g_outstanding)
        return -EINVAL;
    return tty_read(bus, buf, count);
}

/* Read slots at wire speed: 0xFF per bit, the echoes decoded. */
static int tty_read_1w(struct tm_bus *bus, unsigned char *buf, int count) {
    unsigned char slots[VELKOR_TX_BITS_SIZE];
    int n = count * VELKOR_BITS_PER_BYTE;
    int r;

    if (count < 1 || count > VELKOR_MAX_BYTES)
        return -EINVAL;
    memset(slots, VELKOR_BIT_ONE, (size_t)n);
    r = tty_write(bus, slots, n);
    if (r >= 0)
        r = tty_read(bus, bus->rx_buf, n);
    if (r < 0)
        return r;
    if (r != n)
        return -EIO;
    tm_core_decode_slots(bus->rx_buf, buf, (unsigned int)count);
    return count;
}

static const struct tm_bus_ops tty_adapter_ops = {
    .write = tty_write,
    .read = tty_read,
    .read_1w = tty_read_1w,
    .read_echoes = tty_read_echoes,
    .set_baud = tty_set_baud,
    .flush = tty_flush,
};
