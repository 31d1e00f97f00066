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
 * Nothing that arrives is trusted blindly (see tm_echo.h): a byte the tty
 * flags, a byte beyond the echoes due and, in the core, an echo no line
 * could give fail the request; bytes between requests are counted and
 * dropped. Every wait is bounded and only a fatal signal cuts it short: an
 * ordinary signal lets the request run to its end.
 *
 * The discipline's number is fixed: 29 (N_DEVELOPMENT), the one number no
 * in-tree discipline uses, so that loading touchm can never take over
 * another discipline's number.
 *
 * Module parameter (read-only once loaded):
 *   key_size=N    key memory in bytes for every key; 0 (default): from the
 *                 family code of the key's ROM
 */
#include <linux/module.h>
#include <linux/kernel.h>
#include <linux/capability.h>
#include <linux/delay.h>
#include <linux/jiffies.h>
#include <linux/poll.h>
#include <linux/rwsem.h>
#include <linux/sched/signal.h>
#include <linux/slab.h>
#include <linux/spinlock.h>
#include <linux/string.h>
#include <linux/tty.h>
#include <linux/tty_driver.h>
#include <linux/tty_ldisc.h>
#include <linux/wait.h>
#include <linux/errno.h>

#include "touchm.h"
#include "touchm_tty.h"
#include "tm_echo.h"

#define TMT_LDISC		N_DEVELOPMENT
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
/*
 * After a request, how long the line must stay quiet: a byte slipped into
 * the stream shifts the echoes, and the echo it displaced comes after the
 * last one the request waited for. Behind USB it comes in the adapter's
 * next packet (its latency timer, 1 ms as tmattach sets it, and the bus's
 * 1 ms frames). On a UART it comes one byte time later, and a 16550 holds
 * the last bytes of a burst until its FIFO times out, four character
 * times: 0.44 ms at data speed, and the rest is the tty's handing on.
 */
#define TMT_SETTLE_USB_MIN_US	2000
#define TMT_SETTLE_USB_MAX_US	3000
#define TMT_SETTLE_UART_MIN_US	1000
#define TMT_SETTLE_UART_MAX_US	1500
/* How far the rate the port achieved may be from the one asked, in %. */
#define TMT_RATE_TOLERANCE_PCT	3
#define TMT_PERCENT		100u

/* Input modes the line needs off: none may drop, change or add a byte. */
#define TMT_IFLAG_OFF	(IGNBRK | IGNPAR | PARMRK | ISTRIP | INLCR | IGNCR | \
			 ICRNL | IUCLC | IXON | IXANY | IXOFF | IMAXBEL | IUTF8)
/* Input modes the line needs on: framing errors and breaks come flagged. */
#define TMT_IFLAG_ON	(INPCK | BRKINT)
#define TMT_LFLAG_OFF	(ECHO | ECHONL | ICANON | ISIG | IEXTEN)
#define TMT_CFLAG_OFF	(CSIZE | PARENB | CSTOPB | CRTSCTS)
#define TMT_CFLAG_ON	(CS8 | CREAD | CLOCAL)

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
 * @sent:        the request in progress has sent bytes
 * @wait:        woken by received bytes, by write room and by @dead; the
 *               flush sleeps on it uninterruptibly, so wakers use wake_up()
 * @silent:      a timeout has been logged; cleared by the next echo read
 * @settle_min_us, @settle_max_us: how long the line must stay quiet after
 *               a request
 * @wake_at:     echoes the request waits for, under @rx_lock: received
 *               bytes wake it only once they are in (or the request is
 *               spoiled), not byte by byte; 0: every delivery wakes
 */
struct tmt_line {
	struct touchm_dev dev;
	struct tm_bus bus;
	struct tty_struct *tty;
	spinlock_t rx_lock;
	struct tm_echo echo;
	bool dead;
	bool sent;
	wait_queue_head_t wait;
	bool silent;
	unsigned int settle_min_us;
	unsigned int settle_max_us;
	unsigned int wake_at;
};

static struct tmt_line *tmt_of(struct tm_bus *bus)
{
	return container_of(bus, struct tmt_line, bus);
}

static struct device *tmt_device(struct tmt_line *t)
{
	return t->dev.misc.this_device;
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

/* Whether every echo due is in (spoiled or not), or the line is gone. */
static bool tmt_settled(struct tmt_line *t)
{
	unsigned long flags;
	bool done;

	spin_lock_irqsave(&t->rx_lock, flags);
	done = t->dead || tm_echo_complete(&t->echo);
	spin_unlock_irqrestore(&t->rx_lock, flags);
	return done;
}

/* A killable wait's result as an error code: 0 when @left > 0. */
static int tmt_wait_result(long left)
{
	if (left > 0)
		return 0;
	return left == 0 ? -ETIMEDOUT : -EINTR;
}

/*
 * Lets the echoes still due come in, then drops all that was received and
 * forgets what is due. A request killed on its way, or failed by a bad
 * byte, leaves its bytes on the line, and their echoes arrive after it
 * has returned: taken by the next request, they would pass for its reset's
 * echo and its data. The wait is bounded by the echo timeout; when nothing
 * is due (every request that ended normally) it takes no time.
 */
static void tmt_flush(struct tm_bus *bus)
{
	struct tmt_line *t = tmt_of(bus);
	unsigned long flags;

	wait_event_timeout(t->wait, tmt_settled(t),
			   msecs_to_jiffies(TMT_ECHO_TIMEOUT_MS));
	spin_lock_irqsave(&t->rx_lock, flags);
	tm_echo_reset(&t->echo);
	spin_unlock_irqrestore(&t->rx_lock, flags);
}

/* Logs a line that stopped answering, once until it answers again. */
static void tmt_no_echo(struct tmt_line *t, unsigned int got,
			unsigned int due)
{
	touchm_fault(&t->dev, TOUCHM_FAULT_TIMEOUTS, 1);
	if (!t->silent)
		dev_warn_ratelimited(tmt_device(t), "no echo from %s within %d ms (%u of %u bytes): is the 1-Wire interface connected?\n",
				     tty_name(t->tty), TMT_ECHO_TIMEOUT_MS,
				     got, due);
	t->silent = true;
}

/* Announces @n bytes about to go out, or takes back those that did not. */
static void tmt_account(struct tmt_line *t, unsigned int n, bool sent)
{
	unsigned long flags;

	spin_lock_irqsave(&t->rx_lock, flags);
	if (sent)
		tm_echo_sent(&t->echo, n);
	else
		tm_echo_unsent(&t->echo, n);
	spin_unlock_irqrestore(&t->rx_lock, flags);
}

static int tmt_write(struct tm_bus *bus, const unsigned char *buf, int count)
{
	struct tmt_line *t = tmt_of(bus);
	struct tty_struct *tty = t->tty;
	unsigned long deadline;
	int done = 0, n, chunk;
	unsigned int room;
	long left;

	if (count < 0)
		return -EINVAL;
	deadline = jiffies + msecs_to_jiffies(TMT_ROOM_TIMEOUT_MS);
	while (done < count) {
		if (tmt_dead(t))
			return -ENODEV;
		room = tty_write_room(tty);
		if (room) {
			/*
			 * The echoes are due before the bytes go: an echo
			 * that comes back at once must not look like one too
			 * many.
			 */
			chunk = min_t(int, count - done, room);
			tmt_account(t, chunk, true);
			n = tty->ops->write(tty, buf + done, chunk);
			if (n < chunk)
				tmt_account(t, chunk - max(n, 0), false);
			if (n < 0)
				return n;
			if (n) {
				t->sent = true;
				done += n;
				continue;
			}
		}
		/* The tty is full: wait for its wakeup, up to the deadline. */
		if (time_after_eq(jiffies, deadline)) {
			dev_warn_ratelimited(tmt_device(t), "%s takes no bytes to send\n",
					     tty_name(tty));
			return -ETIMEDOUT;
		}
		if (room) {
			/* Room, yet nothing taken: try again a tick later. */
			schedule_timeout_killable(1);
			if (fatal_signal_pending(current))
				return -EINTR;
			continue;
		}
		set_bit(TTY_DO_WRITE_WAKEUP, &tty->flags);
		left = wait_event_killable_timeout(t->wait,
				tmt_dead(t) || tty_write_room(tty) > 0,
				max_t(long, deadline - jiffies, 1));
		if (left < 0)
			return -EINTR;
	}
	return count;
}

/*
 * Waits until @want echoes (at most those outstanding) are in and takes at
 * most @count of them. A spoiled request gets -EIO; the echoes still due
 * stay due, so that the next flush waits them out.
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
	spin_lock_irqsave(&t->rx_lock, flags);
	t->wake_at = tmt_due(t, want);
	spin_unlock_irqrestore(&t->rx_lock, flags);
	left = wait_event_killable_timeout(t->wait, tmt_echoes_in(t, want),
				msecs_to_jiffies(TMT_ECHO_TIMEOUT_MS));
	r = tmt_wait_result(left);

	spin_lock_irqsave(&t->rx_lock, flags);
	t->wake_at = 0;
	if (t->dead)
		r = -ENODEV;
	else if (t->echo.spoiled)
		r = -EIO;
	else if (!r && !tm_echo_has(&t->echo, tmt_due(t, want)))
		r = -ETIMEDOUT;
	if (r == -ETIMEDOUT) {
		n = t->echo.len;
		due = tmt_due(t, want);
	}
	if (!r)
		n = tm_echo_take(&t->echo, buf, (unsigned int)count);
	else if (r == -EIO)
		tm_echo_discard(&t->echo);
	else if (r != -EINTR)
		/* A silent line sends nothing more: forget what is due. */
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
	r = tm_core_decode_slots(bus->rx_buf, buf, (unsigned int)count);
	if (r) {
		bus->impossible++;
		return r;
	}
	return count;
}

/* Whether the port's rate @got is close enough to @want for the line. */
static bool tmt_rate_ok(speed_t got, unsigned int want)
{
	unsigned int diff = got > want ? got - want : want - got;

	return diff * TMT_PERCENT <= want * TMT_RATE_TOLERANCE_PCT;
}

/* Whether @kt is raw 8N1 at @baud, with errors reported as flagged bytes. */
static bool tmt_termios_right(const struct ktermios *kt, unsigned int baud)
{
	return !(kt->c_iflag & TMT_IFLAG_OFF) &&
	       (kt->c_iflag & TMT_IFLAG_ON) == TMT_IFLAG_ON &&
	       !(kt->c_oflag & OPOST) && !(kt->c_lflag & TMT_LFLAG_OFF) &&
	       (kt->c_cflag & (TMT_CFLAG_OFF | TMT_CFLAG_ON)) ==
	       TMT_CFLAG_ON &&
	       tmt_rate_ok(tty_termios_baud_rate(kt), baud);
}

/*
 * Raw 8N1 at @baud, under the tty's termios lock, and only when it is not
 * so already: a USB adapter takes a control transfer for each change. The
 * core changes speed only once every echo due is in, so nothing sent is
 * still on its way. The rate the port achieved is checked.
 */
static int tmt_force_line(struct tty_struct *tty, unsigned int baud)
{
	struct ktermios kt;
	speed_t got;
	int r;

	down_read(&tty->termios_rwsem);
	kt = tty->termios;
	up_read(&tty->termios_rwsem);
	if (tmt_termios_right(&kt, baud))
		return 0;

	kt.c_iflag &= ~TMT_IFLAG_OFF;
	kt.c_iflag |= TMT_IFLAG_ON;
	kt.c_oflag &= ~OPOST;
	kt.c_lflag &= ~TMT_LFLAG_OFF;
	kt.c_cflag &= ~TMT_CFLAG_OFF;
	kt.c_cflag |= TMT_CFLAG_ON;
	tty_termios_encode_baud_rate(&kt, baud, baud);
	r = tty_set_termios(tty, &kt);
	if (r)
		return r;

	down_read(&tty->termios_rwsem);
	got = tty_termios_baud_rate(&tty->termios);
	up_read(&tty->termios_rwsem);
	if (!tmt_rate_ok(got, baud)) {
		pr_warn_ratelimited(TMT_NAME ": %s runs at %u baud when asked for %u: no 1-Wire line\n",
				    tty_name(tty), (unsigned int)got, baud);
		return -EIO;
	}
	return 0;
}

static int tmt_set_baud(struct tm_bus *bus, unsigned int baud)
{
	struct tmt_line *t = tmt_of(bus);

	if (tmt_dead(t))
		return -ENODEV;
	return tmt_force_line(t->tty, baud);
}

/* A request begins: late echoes waited out, the line clean. */
static int tmt_begin(struct tm_bus *bus)
{
	struct tmt_line *t = tmt_of(bus);
	unsigned long flags;

	tmt_flush(bus);
	spin_lock_irqsave(&t->rx_lock, flags);
	tm_echo_begin(&t->echo);
	spin_unlock_irqrestore(&t->rx_lock, flags);
	t->sent = false;
	return tmt_dead(t) ? -ENODEV : 0;
}

/*
 * The request has ended: after it sent anything, the line must stay quiet
 * for a moment, so that an echo displaced by a stray byte is seen before
 * the request's data is handed out.
 */
static int tmt_end(struct tm_bus *bus)
{
	struct tmt_line *t = tmt_of(bus);
	unsigned long flags;
	int spoiled;

	if (t->sent && !tmt_dead(t))
		usleep_range(t->settle_min_us, t->settle_max_us);
	spin_lock_irqsave(&t->rx_lock, flags);
	spoiled = tm_echo_end(&t->echo);
	spin_unlock_irqrestore(&t->rx_lock, flags);
	return spoiled ? -EIO : 0;
}

static const struct tm_bus_ops tmt_ops = {
	.write = tmt_write,
	.read = tmt_read,
	.read_1w = tmt_read_1w,
	.read_echoes = tmt_read_echoes,
	.set_baud = tmt_set_baud,
	.flush = tmt_flush,
	.begin = tmt_begin,
	.end = tmt_end,
};

static void tmt_release(struct touchm_dev *dev)
{
	kfree(container_of(dev, struct tmt_line, dev));
}

/*
 * Whether @tty can carry a 1-Wire line: a serial port whose speed can be
 * set, not a pseudo-terminal (whose "speed" is only a number), and which
 * runs at both speeds of the line.
 */
static int tmt_check_port(struct tty_struct *tty)
{
	int r;

	if (tty->driver->type == TTY_DRIVER_TYPE_PTY ||
	    !tty->ops->write || !tty->ops->set_termios) {
		pr_info(TMT_NAME ": %s is no serial port: no 1-Wire line on it\n",
			tty_name(tty));
		return -EOPNOTSUPP;
	}
	r = tmt_force_line(tty, TM_BAUD_RESET);
	if (!r)
		r = tmt_force_line(tty, TM_BAUD_DATA);
	return r;
}

/*
 * Whether the port is behind USB (a USB-serial adapter, a CDC ACM modem):
 * its echoes come in packets, not byte by byte.
 */
static bool tmt_behind_usb(struct tty_struct *tty)
{
	struct device *d;

	for (d = tty->dev; d; d = d->parent)
		if (d->bus && (!strcmp(d->bus->name, "usb") ||
			       !strcmp(d->bus->name, "usb-serial")))
			return true;
	return false;
}

static int tmt_open(struct tty_struct *tty)
{
	struct tmt_line *t;
	int r;

	/* A key line is a device node for others: only root creates one. */
	if (!capable(CAP_SYS_ADMIN))
		return -EPERM;
	r = tmt_check_port(tty);
	if (r)
		return r;

	t = kzalloc(sizeof(*t), GFP_KERNEL);
	if (!t)
		return -ENOMEM;
	touchm_dev_init(&t->dev, &t->bus, tmt_release);
	tm_bus_init(&t->bus, &tmt_ops);
	t->dev.probe_size = !key_size;
	t->dev.whole_reads = true;
	t->bus.mem_size = key_size;
	t->tty = tty;
	if (tmt_behind_usb(tty)) {
		t->settle_min_us = TMT_SETTLE_USB_MIN_US;
		t->settle_max_us = TMT_SETTLE_USB_MAX_US;
	} else {
		t->settle_min_us = TMT_SETTLE_UART_MIN_US;
		t->settle_max_us = TMT_SETTLE_UART_MAX_US;
	}
	spin_lock_init(&t->rx_lock);
	init_waitqueue_head(&t->wait);

	tty->disc_data = t;
	tty->receive_room = TM_ECHO_RING_SIZE;
	/*
	 * The node's parent is the port, so that udev sees the adapter
	 * behind it. A hangup removes the node before the port goes.
	 */
	t->dev.misc.parent = tty->dev;
	r = touchm_dev_register(&t->dev, TMT_NODE_MODE);
	if (r) {
		tty->disc_data = NULL;
		kfree(t);
		return r;
	}
	dev_info(tmt_device(t), "/dev/%s on %s\n", t->dev.name,
		 tty_name(tty));
	return 0;
}

/*
 * The tty is going (hangup, then close; or close alone): mark the line dead
 * and wake every waiter so the request in progress ends at once with an
 * error, then let the device wait for it and remove the node. No request
 * holds the line's lock while it copies to or from user memory, so this
 * never waits on a caller's page fault.
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
	if (!was_dead)
		dev_info(tmt_device(t), "/dev/%s removed, %s gone\n",
			 t->dev.name, tty_name(t->tty));
	touchm_dev_unregister(&t->dev);
}

/*
 * A hangup runs beside the tty's receive path, so the record stays for
 * tmt_close(), which runs alone, to drop. The tty falls back to N_TTY:
 * opened again while its old holder still has it, a hung-up port must not
 * bring up a new key line that nobody asked for.
 */
static void tmt_hangup(struct tty_struct *tty)
{
	struct tmt_line *t = tty->disc_data;

	if (t)
		tmt_kill(t);
	down_write(&tty->termios_rwsem);
	tty->termios.c_line = N_TTY;
	up_write(&tty->termios_rwsem);
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

/* The tty's own requests (termios, flushing) work as on any terminal. */
static int tmt_ioctl(struct tty_struct *tty, unsigned int cmd,
		     unsigned long arg)
{
	return n_tty_ioctl_helper(tty, cmd, arg);
}

/* Counts what a delivery brought; says so when the line misbehaves. */
static void tmt_note_seen(struct tmt_line *t, const struct tm_echo_seen *seen)
{
	touchm_fault(&t->dev, TOUCHM_FAULT_FLAGGED, seen->flagged);
	touchm_fault(&t->dev, TOUCHM_FAULT_STRAY, seen->stray);
	touchm_fault(&t->dev, TOUCHM_FAULT_SURPLUS, seen->surplus);
	touchm_fault(&t->dev, TOUCHM_FAULT_LOST, seen->lost);
	if (seen->flagged || seen->surplus || seen->lost)
		dev_warn_ratelimited(tmt_device(t), "%s: %u bytes flagged, %u beyond the echoes due, %u lost\n",
				     tty_name(t->tty), seen->flagged,
				     seen->surplus, seen->lost);
}

static void tmt_receive_buf(struct tty_struct *tty, const unsigned char *cp,
			    const char *fp, int count)
{
	struct tmt_line *t = tty->disc_data;
	struct tm_echo_seen seen = { 0 };
	unsigned long flags;
	bool wake;

	if (!t || count <= 0)
		return;
	spin_lock_irqsave(&t->rx_lock, flags);
	if (!t->dead)
		tm_echo_push(&t->echo, cp, fp, (unsigned int)count, &seen);
	/* A request waiting for a batch's echoes sleeps until all are in. */
	wake = !t->wake_at || tm_echo_has(&t->echo, t->wake_at);
	spin_unlock_irqrestore(&t->rx_lock, flags);
	tmt_note_seen(t, &seen);
	if (wake)
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
	.num = TMT_LDISC,
	.name = TMT_NAME,
	.open = tmt_open,
	.close = tmt_close,
	.hangup = tmt_hangup,
	.ioctl = tmt_ioctl,
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
	r = tty_register_ldisc(&tmt_ldisc);
	if (r)
		pr_err(TMT_NAME ": line discipline %d not registered: %d\n",
		       TMT_LDISC, r);
	return r;
}

void touchm_tty_exit(void)
{
	tty_unregister_ldisc(&tmt_ldisc);
}

MODULE_ALIAS_LDISC(TMT_LDISC);
