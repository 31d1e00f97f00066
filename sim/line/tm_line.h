/* SPDX-License-Identifier: GPL-2.0 */
/*
 * tm_line - a touch-memory driver core over the velkor transport, driving
 * a simulated PL2303 adapter whose serial line is a 1-Wire line with one
 * touch-memory key on it.
 *
 * The adapter echoes every serial byte it sends, as the line carried it.
 * At data speed (115200 baud) one serial byte is one 1-Wire time slot:
 * 0x00 writes a 0; 0xFF writes a 1 or reads a bit, and reads back below
 * 0xFF when the key pulls the line low. At reset speed (9600 baud) the
 * byte 0xF0 is a reset pulse, and a key present answers by pulling the
 * echo below 0xF0. Busy-waits are counted, not slept.
 *
 * The driver core serves the requests of the touch-memory device: presence,
 * Read ROM (0x33; a ROM whose CRC-8 does not match, or that is all 0x00 or
 * all 0xFF, is a failed request), Skip ROM (0xCC), Read Memory (0xF0 and a
 * two-byte address) and writes through the key's 32-byte scratchpad (Write
 * 0x0F, Read 0xAA and compare, Copy 0x55, Read again to see the copy done).
 *
 * Results: 0 (or a byte count) on success, else a negative error code:
 * -ENXIO when no key answers, -EIO for a line failure (shorted line, bits
 * that did not come back as sent, a bad ROM, a scratchpad mismatch),
 * -EINVAL for bad arguments, or what a failing serial function returned.
 *
 * The key model, adapter and driver core are plain C that build in user
 * space and in the kernel alike. One line is for one thread at a time.
 */
#ifndef TM_LINE_H
#define TM_LINE_H

#ifdef __cplusplus
extern "C" {
#endif

#define TM_LINE_ROM_SIZE	8
/* Key memory is addressed with 16 bits. */
#define TM_LINE_MEM_MAX		65536u
#define TM_LINE_PAGE_SIZE	32
/*
 * Data slots are counted from 0 after each reset pulse. In a Read ROM
 * transaction the command takes slots 0 to 7, so bit k of the ROM (bit
 * k % 8 of byte k / 8) travels in slot TM_LINE_ROM_FIRST_SLOT + k.
 */
#define TM_LINE_ROM_FIRST_SLOT	8

struct tm_line;

struct tm_line_stats {
	unsigned long long serial_out;	/* bytes sent to the adapter */
	unsigned long long serial_in;	/* bytes the adapter handed back */
	unsigned long long data_slots;	/* time slots at data speed */
	unsigned long long resets;	/* reset pulses on the line */
	unsigned long long overruns;	/* echoes lost, receive FIFO full */
	unsigned long long delay_calls;	/* busy-wait calls */
	unsigned long long delay_us;	/* time they stand for, microseconds */
};

/* User space only: a zeroed line to tm_line_init(), or NULL; and its end. */
struct tm_line *tm_line_new(void);
void tm_line_free(struct tm_line *line);

/*
 * Sets the line up from scratch: data speed, no faults, zero counters, and
 * a key with ROM @rom (NULL: no key attached) whose memory is the caller's
 * @mem of @mem_size bytes, at most TM_LINE_MEM_MAX; the key reads and
 * writes it in place. Returns 0, or -EINVAL (line untouched).
 */
int tm_line_init(struct tm_line *line, const unsigned char *rom,
		 unsigned char *mem, unsigned int mem_size);
/* Replaces the key memory; -EINVAL as above. */
int tm_line_set_memory(struct tm_line *line, unsigned char *mem,
		       unsigned int mem_size);
/* Puts a key with @rom on the line (replacing any) / takes it away. */
void tm_line_attach(struct tm_line *line, const unsigned char *rom);
void tm_line_detach(struct tm_line *line);
int tm_line_key_present(const struct tm_line *line);

/* Reset pulse; 0 when a key answers with its presence pulse. */
int tm_line_presence(struct tm_line *line);
/* Resets the connection: receive FIFO flushed, data speed, reset pulse. */
int tm_line_reset(struct tm_line *line);
/* Reads the ROM into @rom (untouched on failure), in the order it travels. */
int tm_line_read_rom(struct tm_line *line, unsigned char *rom);
int tm_line_skip_rom(struct tm_line *line);
/*
 * Memory at @off: at most @n bytes, fewer at the end of the key memory
 * (0 at or after it). Returns the count. A read checks afterwards that the
 * key is still there; a write goes page by page through the scratchpad,
 * and pages copied before a failing one stay written.
 */
int tm_line_read(struct tm_line *line, unsigned int off, unsigned char *buf,
		 unsigned int n);
int tm_line_write(struct tm_line *line, unsigned int off,
		  const unsigned char *data, unsigned int n);

/*
 * Faults. All are deterministic and stay until cleared or used up. Slot
 * faults count data slots from 0 after each reset pulse; the first @skip
 * transactions that reach @slot pass unharmed.
 * flip:   the line carries the opposite level in data slot @slot, in
 *         @times transactions (0: in every one);
 * remove: the key leaves the line when data slot @slot is reached (once);
 * short:  the line is held low;
 * serial: after @skip good calls, pl2303_write() (or pl2303_read()) fails
 *         with @err for @times calls (0: every call); @err 0 clears.
 */
void tm_line_fault_flip(struct tm_line *line, unsigned int slot,
			unsigned int skip, unsigned int times);
void tm_line_fault_remove(struct tm_line *line, unsigned int slot,
			  unsigned int skip);
void tm_line_fault_short(struct tm_line *line, int on);
void tm_line_fault_serial_write(struct tm_line *line, unsigned int skip,
				unsigned int times, int err);
void tm_line_fault_serial_read(struct tm_line *line, unsigned int skip,
			       unsigned int times, int err);
void tm_line_clear_faults(struct tm_line *line);

void tm_line_get_stats(const struct tm_line *line,
		       struct tm_line_stats *stats);
void tm_line_clear_stats(struct tm_line *line);

/*
 * User space only: where the driver's messages go (by default nowhere):
 * @level is the printk level digit (6 for KERN_INFO) or -1, @text the
 * message without its level prefix. One sink for the whole process.
 */
typedef void (*tm_line_log_fn)(void *ctx, int level, const char *text);
void tm_line_set_log(tm_line_log_fn fn, void *ctx);

#ifdef __cplusplus
}
#endif

#endif /* TM_LINE_H */
