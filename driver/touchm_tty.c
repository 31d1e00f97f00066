// SPDX-License-Identifier: GPL-2.0
/*
 * touchm's tty backend: a line discipline that turns a serial port with a
 * passive 1-Wire interface (any USB-serial adapter or UART the kernel
 * drives) into a touch-memory line. Attaching it to a tty (TIOCSETD, see
 * tmattach) creates /dev/touchmN; detaching, closing or a hangup (a USB
 * adapter unplugged) removes it.
 *
 * Every 1-Wire time slot is one byte at 115200 baud, a reset pulse one byte
 * at 9600 baud; the interface echoes each byte as the line carried it. The
 * bytes received are only copied into a ring here, in the context the tty
 * layer delivers them; the request waits for them asleep, so the deferred
 * work that delivers them gets to run. Every wait is bounded: a line that
 * stops answering fails the request with -ETIMEDOUT, logged once until the
 * line answers again.
 *
 * Module parameters (read-only once loaded):
 *   ldisc=N       the line discipline number (default 29, N_DEVELOPMENT)
 *   key_size=N    key memory in bytes for every key; 0 (default): from the
 *                 family code of the key's ROM
 */
#include <linux/module.h>
#include <linux/kernel.h>
#include <linux/capability.h>
#include <linux/jiffies.h>
#include <linux/poll.h>
#include <linux/sched/signal.h>
#include <linux/slab.h>
#include <linux/spinlock.h>
#include <linux/tty.h>
#include <linux/tty_ldisc.h>
#include <linux/wait.h>
#include <linux/errno.h>

#include "touchm.h"
#include "touchm_tty.h"
#include "tm_echo.h"

#define TMT_LDISC_DEFAULT	N_DEVELOPMENT
#define TMT_NAME		"touchm"
/* Only root and the group udev gives it may use a real key. */
#define TMT_NODE_MODE		0660
/*
 * How long the echoes of the bytes outstanding may take. 64 slot bytes
 * are 5.6 ms on the wire at 115200 baud; a USB-serial adapter adds its
 * latency timer (16 ms unless set to 1 ms) and the bus's frames. 250 ms
 * is far beyond all of that, and still quick to report a dead line.
 */
#define TMT_ECHO_TIMEOUT_MS	250
/* How long the tty may take to make room for the bytes of one write. */
#define TMT_ROOM_TIMEOUT_MS	250
/* How long sending what is queued may take before a speed change:
 * 64 bytes at 9600 baud are 67 ms. */
#define TMT_DRAIN_TIMEOUT_MS	250

static int ldisc = TMT_LDISC_DEFAULT;
module_param(ldisc, int, 0444);
MODULE_PARM_DESC(ldisc, "line discipline number for the tty backend (default 29)");

static unsigned int key_size;
module_param(key_size, uint, 0444);
MODULE_PARM_DESC(key_size, "key memory in bytes for every key on a tty; 0 (default): from the family code");

/**
 * struct tmt_line - a tty with the discipline attached
 * @dev:         the character device and its lock
 * @bus:         the bus the transaction core drives
 * @tty:         the tty; used only with @dev.lock held and the line alive
 * @rx_lock:     guards @echo and @dead
 * @echo:        echoes received and echoes still due
 * @dead:        the tty is closing or hung up
 * @wait:        woken by received bytes, by write room and by @dead; the
 *               flush sleeps on it uninterruptibly, so wakers use wake_up()
 * @silent:      a timeout has been logged; cleared by the next echo read
 */
struct tmt_line {
	struct touchm_dev dev;
	struct tm_bus bus;
	struct tty_struct *tty;
	spinlock_t rx_lock;
	struct tm_echo echo;
	bool dead;
	wait_queue_head_t wait;
	bool silent;
};

static struct tmt_line *tmt_of(struct tm_bus *bus)
{
	return container_of(bus, struct tmt_line, bus);
}

static bool tmt_dead(struct tmt_line *t)
{
	unsigned long flags;
	bool dead;

	spin_lock_irqsave(&t->rx_lock, flags);
	dead = t->dead;
	spin_unlock_irqrestore(&t->rx_lock, flags);
	return dead;
}

/* The echoes a wait for @want of them waits for: never more than are due. */
static unsigned int tmt_due(struct tmt_line *t, unsigned int want)
{
	return min(want, t->echo.outstanding);
}

/* Whether @want echoes (at most those due) are in, or waiting is over. */
static bool tmt_echoes_in(struct tmt_line *t, unsigned int want)
{
	unsigned long flags;
	bool done;

	spin_lock_irqsave(&t->rx_lock, flags);
	done = t->dead || tm_echo_has(&t->echo, tmt_due(t, want));
	spin_unlock_irqrestore(&t->rx_lock, flags);
	return done;
}

/* The wait's result as an error code: 0 when @left > 0. */
static int tmt_wait_result(long left)
{
	if (left > 0)
		return 0;
	return left == 0 ? -ETIMEDOUT : -EINTR;
}

/*
 * Lets the echoes still due come in, then drops all that was received and
 * forgets what is due. A request cut short by a signal leaves its bytes on
 * the line, and their echoes arrive after it has returned: taken by the
 * next request, they would pass for its reset's echo and its data. The
 * wait is bounded by the echo timeout and cannot be interrupted, so that
 * a second signal cannot let them through; when nothing is due (every
 * request that ended normally) it takes no time.
 */
static void tmt_flush(struct tm_bus *bus)
{
	struct tmt_line *t = tmt_of(bus);
	unsigned long flags;

	wait_event_timeout(t->wait, tmt_echoes_in(t, UINT_MAX),
			   msecs_to_jiffies(TMT_ECHO_TIMEOUT_MS));
	spin_lock_irqsave(&t->rx_lock, flags);
	tm_echo_reset(&t->echo);
	spin_unlock_irqrestore(&t->rx_lock, flags);
}

/* Logs a line that stopped answering, once until it answers again. */
static void tmt_no_echo(struct tmt_line *t, unsigned int got,
			unsigned int due)
{
	if (!t->silent)
		pr_warn("%s: no echo from %s within %d ms (%u of %u bytes): is the 1-Wire interface connected?\n",
			t->dev.name, tty_name(t->tty), TMT_ECHO_TIMEOUT_MS,
			got, due);
	t->silent = true;
}

static int tmt_write(struct tm_bus *bus, const unsigned char *buf, int count)
{
	struct tmt_line *t = tmt_of(bus);
	struct tty_struct *tty = t->tty;
	unsigned long deadline, flags;
	int done = 0, n = 0, r;
	unsigned int room;
	long left;

	if (count < 0)
		return -EINVAL;
	deadline = jiffies + msecs_to_jiffies(TMT_ROOM_TIMEOUT_MS);
	while (done < count) {
		if (tmt_dead(t))
			return -ENODEV;
		room = tty_write_room(tty);
		if (room)
			n = tty->ops->write(tty, buf + done,
					    min_t(int, count - done, room));
		if (n < 0)
			return n;
		if (room && n) {
			spin_lock_irqsave(&t->rx_lock, flags);
			tm_echo_sent(&t->echo, n);
			spin_unlock_irqrestore(&t->rx_lock, flags);
			done += n;
			continue;
		}
		/* The tty is full: wait for its wakeup, up to the deadline. */
		if (time_after_eq(jiffies, deadline)) {
			pr_warn("%s: %s takes no bytes to send\n",
				t->dev.name, tty_name(tty));
			return -ETIMEDOUT;
		}
		if (room) {
			/* Room, yet nothing taken: try again a tick later. */
			if (schedule_timeout_interruptible(1))
				return -EINTR;
			continue;
		}
		set_bit(TTY_DO_WRITE_WAKEUP, &tty->flags);
		left = wait_event_interruptible_timeout(t->wait,
				tmt_dead(t) || tty_write_room(tty) > 0,
				max_t(long, deadline - jiffies, 1));
		r = tmt_wait_result(left);
		if (r == -EINTR)
			return r;
	}
	return count;
}

/*
 * Waits until @want echoes (at most those outstanding) are in and takes at
 * most @count of them. On any failure the echoes received and due are
 * dropped.
 */
static int tmt_take(struct tmt_line *t, unsigned char *buf, int count,
		    unsigned int want)
{
	unsigned int n = 0, due = 0;
	unsigned long flags;
	long left;
	int r;

	if (count < 0)
		return -EINVAL;
	left = wait_event_interruptible_timeout(t->wait,
				tmt_echoes_in(t, want),
				msecs_to_jiffies(TMT_ECHO_TIMEOUT_MS));
	r = tmt_wait_result(left);

	spin_lock_irqsave(&t->rx_lock, flags);
	if (t->dead)
		r = -ENODEV;
	else if (t->echo.overrun)
		r = -EIO;
	else if (!r && !tm_echo_has(&t->echo, tmt_due(t, want)))
		r = -ETIMEDOUT;
	if (r == -ETIMEDOUT) {
		n = t->echo.len;
		due = tmt_due(t, want);
	}
	if (!r)
		n = tm_echo_take(&t->echo, buf, (unsigned int)count);
	else if (r != -EINTR)
		/*
		 * A silent line sends nothing more, lost bytes make the count
		 * useless: forget what is due. After a signal the echoes are
		 * still coming; the next request's flush waits them out.
		 */
		tm_echo_reset(&t->echo);
	spin_unlock_irqrestore(&t->rx_lock, flags);

	if (r == -ETIMEDOUT)
		tmt_no_echo(t, n, due);
	if (r)
		return r;
	t->silent = false;
	return (int)n;
}

/* pl2303_read(): waits for the echoes of all that was sent, not @count. */
static int tmt_read(struct tm_bus *bus, unsigned char *buf, int count)
{
	return tmt_take(tmt_of(bus), buf, count, UINT_MAX);
}

/*
 * The echoes of the first @count bytes outstanding, while later ones are
 * still on the line: the core keeps several groups of read slots in flight.
 */
static int tmt_read_echoes(struct tm_bus *bus, unsigned char *buf, int count)
{
	if (count < 0)
		return -EINVAL;
	return tmt_take(tmt_of(bus), buf, count, (unsigned int)count);
}

/* read_1w() at wire speed: read slots out, their echoes back, decoded. */
static int tmt_read_1w(struct tm_bus *bus, unsigned char *buf, int count)
{
	int nbits = count * VELKOR_BITS_PER_BYTE;
	int r;

	if (count < 1 || count > VELKOR_MAX_BYTES)
		return -EINVAL;
	memset(bus->tx_bits, VELKOR_BIT_ONE, nbits);
	r = tmt_write(bus, bus->tx_bits, nbits);
	if (r < 0)
		return r;
	r = tmt_read(bus, bus->rx_buf, nbits);
	if (r < 0)
		return r;
	if (r != nbits)
		return -EIO;
	tm_core_decode_slots(bus->rx_buf, buf, (unsigned int)count);
	return count;
}

/* Raw 8N1 at @baud, once everything queued has gone out at the old speed. */
static int tmt_set_baud(struct tm_bus *bus, unsigned int baud)
{
	struct tmt_line *t = tmt_of(bus);
	struct tty_struct *tty = t->tty;
	struct ktermios kt;

	if (tmt_dead(t))
		return -ENODEV;
	tty_wait_until_sent(tty, msecs_to_jiffies(TMT_DRAIN_TIMEOUT_MS));
	if (tty_get_baud_rate(tty) == baud)
		return 0;
	kt = tty->termios;
	kt.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
			ICRNL | IXON | IXOFF);
	kt.c_oflag &= ~OPOST;
	kt.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
	kt.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
	kt.c_cflag |= CS8 | CREAD | CLOCAL;
	tty_termios_encode_baud_rate(&kt, baud, baud);
	return tty_set_termios(tty, &kt);
}

static const struct tm_bus_ops tmt_ops = {
	.write = tmt_write,
	.read = tmt_read,
	.read_1w = tmt_read_1w,
	.read_echoes = tmt_read_echoes,
	.set_baud = tmt_set_baud,
	.flush = tmt_flush,
};

static void tmt_release(struct touchm_dev *dev)
{
	kfree(container_of(dev, struct tmt_line, dev));
}

static int tmt_open(struct tty_struct *tty)
{
	struct tmt_line *t;
	int r;

	/* A key line is a device node for others: not for anyone's pty. */
	if (!capable(CAP_SYS_ADMIN))
		return -EPERM;
	if (!tty->ops->write)
		return -EOPNOTSUPP;

	t = kzalloc(sizeof(*t), GFP_KERNEL);
	if (!t)
		return -ENOMEM;
	touchm_dev_init(&t->dev, &t->bus, tmt_release);
	tm_bus_init(&t->bus, &tmt_ops);
	t->dev.probe_size = !key_size;
	t->dev.whole_reads = true;
	t->bus.mem_size = key_size;
	t->tty = tty;
	spin_lock_init(&t->rx_lock);
	init_waitqueue_head(&t->wait);

	tty->disc_data = t;
	tty->receive_room = TM_ECHO_RING_SIZE;
	r = touchm_dev_register(&t->dev, TMT_NODE_MODE);
	if (r) {
		tty->disc_data = NULL;
		kfree(t);
		return r;
	}
	pr_info("%s: /dev/%s on %s\n", TMT_NAME, t->dev.name, tty_name(tty));
	return 0;
}

/*
 * The tty is going (hangup, then close; or close alone): mark the line dead
 * and wake every waiter so the request in progress ends at once with an
 * error, then let the device wait for it and remove the node.
 */
static void tmt_kill(struct tmt_line *t)
{
	unsigned long flags;
	bool was_dead;

	spin_lock_irqsave(&t->rx_lock, flags);
	was_dead = t->dead;
	t->dead = true;
	spin_unlock_irqrestore(&t->rx_lock, flags);
	wake_up_all(&t->wait);
	touchm_dev_unregister(&t->dev);
	if (!was_dead)
		pr_info("%s: /dev/%s removed, %s gone\n", TMT_NAME,
			t->dev.name, tty_name(t->tty));
}

/*
 * A hangup runs beside the tty's receive path, so the record stays for
 * tmt_close(), which runs alone, to drop.
 */
static void tmt_hangup(struct tty_struct *tty)
{
	struct tmt_line *t = tty->disc_data;

	if (t)
		tmt_kill(t);
}

static void tmt_close(struct tty_struct *tty)
{
	struct tmt_line *t = tty->disc_data;

	if (!t)
		return;
	tmt_kill(t);
	tty->disc_data = NULL;
	touchm_dev_put(&t->dev);
}

/*
 * The discipline moves no data through the tty's own file: a holder of the
 * tty (tmattach) polls only to see it hang up. The hangup wakes read_wait.
 */
static __poll_t tmt_poll(struct tty_struct *tty, struct file *file,
			 poll_table *wait)
{
	struct tmt_line *t = tty->disc_data;

	poll_wait(file, &tty->read_wait, wait);
	if (!t || tmt_dead(t) || tty_hung_up_p(file))
		return EPOLLHUP;
	return 0;
}

static void tmt_receive_buf(struct tty_struct *tty, const unsigned char *cp,
			    const char *fp, int count)
{
	struct tmt_line *t = tty->disc_data;
	unsigned long flags;

	if (!t || count <= 0)
		return;
	spin_lock_irqsave(&t->rx_lock, flags);
	tm_echo_push(&t->echo, cp, (unsigned int)count);
	spin_unlock_irqrestore(&t->rx_lock, flags);
	wake_up(&t->wait);
}

static void tmt_write_wakeup(struct tty_struct *tty)
{
	struct tmt_line *t = tty->disc_data;

	clear_bit(TTY_DO_WRITE_WAKEUP, &tty->flags);
	if (t)
		wake_up(&t->wait);
}

static struct tty_ldisc_ops tmt_ldisc = {
	.owner = THIS_MODULE,
	.name = TMT_NAME,
	.open = tmt_open,
	.close = tmt_close,
	.hangup = tmt_hangup,
	.poll = tmt_poll,
	.receive_buf = tmt_receive_buf,
	.write_wakeup = tmt_write_wakeup,
};

int touchm_tty_init(void)
{
	int r;

	/* The read slots the core keeps in flight must fit the echo ring. */
	BUILD_BUG_ON(TM_ECHO_RING_SIZE < TM_CORE_SLOTS_IN_FLIGHT);
	if (key_size > TM_CORE_MEM_MAX) {
		pr_err(TMT_NAME ": key_size %u is over %u\n", key_size,
		       TM_CORE_MEM_MAX);
		return -EINVAL;
	}
	if (ldisc < 0 || ldisc >= NR_LDISCS || ldisc == N_TTY) {
		pr_err(TMT_NAME ": ldisc %d is no free line discipline number\n",
		       ldisc);
		return -EINVAL;
	}
	tmt_ldisc.num = ldisc;
	r = tty_register_ldisc(&tmt_ldisc);
	if (r)
		pr_err(TMT_NAME ": line discipline %d not registered: %d\n",
		       ldisc, r);
	return r;
}

void touchm_tty_exit(void)
{
	tty_unregister_ldisc(&tmt_ldisc);
}
