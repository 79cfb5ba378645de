/*
 * irtx_logic.h - the arithmetic and sequencing of the IR transmitter.
 *
 * Pure code shared by the kernel module and the user-space tests: request
 * validation, the conversion of durations from carrier periods to
 * nanoseconds, the PWM duty/period arithmetic and the timer step that walks
 * the carrier through on, off, on ... for the listed durations.
 *
 * No kernel or libc calls beyond the fixed-width types below, so the same
 * text compiles in the kernel (32-bit ARM and x86-64) and in user space
 * (C or C++, 64- and 32-bit). Written in C89 style for old kernels.
 */
#ifndef IRTX_LOGIC_H
#define IRTX_LOGIC_H

#ifdef __KERNEL__
#include <linux/types.h>
#include <linux/math64.h>
#include <linux/ioctl.h>
typedef u8 irtx_u8;  typedef u32 irtx_u32; typedef u64 irtx_u64;
/* 32-bit kernels have no library 64-bit division: always go through div_u64. */
#define IRTX_DIV_U64(n, d) div_u64((n), (d))
#else
#include <stdint.h>
#include <linux/ioctl.h>
typedef uint8_t irtx_u8; typedef uint32_t irtx_u32; typedef uint64_t irtx_u64;
#define IRTX_DIV_U64(n, d) ((irtx_u64)(n) / (irtx_u32)(d))
#endif

#define IRTX_DEVICE_NAME   "atmel_ir"
#define IRTX_DEVICE_MINOR  100

#define IRTX_MAX_DURATIONS 1024u
#define IRTX_HEADER_WORDS  3u
#define IRTX_BUF_BYTES     4108u  /* (3 + 1024) 32-bit words */

/* The one command: write of the whole code buffer, type 'I', number 0. */
#define IRTX_IOC_MAGIC     'I'
#define IRTX_IOC_SEND      _IOW(IRTX_IOC_MAGIC, 0, char[IRTX_BUF_BYTES])

/* PWM input clock after the master clock's divide-by-32 prescaler. */
#define IRTX_PWM_CLOCK_HZ  4156250u
#define IRTX_PWM_MODE_MCK32 5u
/* Channel period and duty registers are 16 bits wide. */
#define IRTX_PWM_REG_MAX   0xFFFFu
/* Carrier programmed at load: about 38.1 kHz. */
#define IRTX_DEFAULT_DUTY   50u
#define IRTX_DEFAULT_PERIOD 109u

/* The user's code buffer, 32-bit words in host order. */
struct irtx_code {
	irtx_u32 send;   /* 0: copy only; anything else starts a transmission */
	irtx_u32 freq;   /* carrier frequency in Hz */
	irtx_u32 count;  /* number of durations */
	irtx_u32 dur[IRTX_MAX_DURATIONS]; /* carrier periods: on, off, on ... */
};

enum irtx_status {
	IRTX_OK = 0,
	IRTX_BAD_COUNT,      /* more durations than the buffer holds */
	IRTX_BAD_FREQ,       /* no usable PWM period/duty for this frequency */
	IRTX_TOO_LONG        /* a duration of 2^32 ns or more */
};

/* PWM period register value: one carrier period in prescaled clock ticks. */
static inline irtx_u32 irtx_pwm_period(irtx_u32 freq)
{
	return freq ? IRTX_PWM_CLOCK_HZ / freq : 0;
}

/* PWM duty register value: half a carrier period. */
static inline irtx_u32 irtx_pwm_duty(irtx_u32 freq)
{
	return freq ? (IRTX_PWM_CLOCK_HZ / 2u) / freq : 0;
}

/*
 * A frequency is usable when both registers get a value in range: a zero
 * duty (above 2 078 125 Hz) would never light the LED, a zero period
 * (above 4 156 250 Hz) is meaningless and a period above the register
 * width (below 64 Hz) would be truncated by the hardware.
 */
static inline enum irtx_status irtx_check_freq(irtx_u32 freq)
{
	if (irtx_pwm_duty(freq) == 0 || irtx_pwm_period(freq) > IRTX_PWM_REG_MAX)
		return IRTX_BAD_FREQ;
	return IRTX_OK;
}

/* Header words of a send request, checked before anything is converted. */
static inline enum irtx_status irtx_check_request(const struct irtx_code *code)
{
	if (code->count > IRTX_MAX_DURATIONS)
		return IRTX_BAD_COUNT;
	return irtx_check_freq(code->freq);
}

/*
 * Carrier periods to nanoseconds: microseconds first (truncated), then
 * times 1000, in 64 bits so long durations do not wrap. A result that does
 * not fit the 32-bit word it is kept in is refused.
 */
static inline enum irtx_status irtx_duration_ns(irtx_u32 periods, irtx_u32 freq,
						irtx_u32 *ns)
{
	irtx_u64 us;
	irtx_u64 total;

	if (freq == 0)
		return IRTX_BAD_FREQ;
	us = IRTX_DIV_U64((irtx_u64)periods * 1000000u, freq);
	total = us * 1000u;
	if (total > 0xFFFFFFFFu)
		return IRTX_TOO_LONG;
	*ns = (irtx_u32)total;
	return IRTX_OK;
}

/*
 * Validates a send request and converts its durations into ns[] (room for
 * IRTX_MAX_DURATIONS words). On failure ns[] may be partly written and must
 * not be used.
 */
static inline enum irtx_status irtx_prepare(const struct irtx_code *code, irtx_u32 *ns)
{
	enum irtx_status st = irtx_check_request(code);
	irtx_u32 i;

	for (i = 0; st == IRTX_OK && i < code->count; i++)
		st = irtx_duration_ns(code->dur[i], code->freq, &ns[i]);
	return st;
}

/* Transmission state shared by the ioctl and the timer callback. */
struct irtx_tx {
	irtx_u8 gonoff;    /* carrier switches so far; odd while the carrier is on */
	irtx_u32 gcount;   /* index of the next duration to schedule */
	irtx_u32 n;        /* number of durations of the running code */
};

enum irtx_carrier {
	IRTX_CARRIER_KEEP = 0,
	IRTX_CARRIER_ON,
	IRTX_CARRIER_OFF
};

/* What the caller does next: switch the carrier, then maybe arm the timer. */
struct irtx_step {
	enum irtx_carrier carrier;
	int arm;           /* nonzero: arm the timer with duration number `next` */
	irtx_u32 next;
};

static inline void irtx_step_set(struct irtx_step *s, enum irtx_carrier carrier,
				 int arm, irtx_u32 next)
{
	s->carrier = carrier;
	s->arm = arm;
	s->next = next;
}

/* Idle: carrier off, nothing scheduled. */
static inline void irtx_tx_reset(struct irtx_tx *tx)
{
	tx->gonoff = 0;
	tx->gcount = 0;
	tx->n = 0;
}

/* First step of a code of n durations; n = 0 sends nothing. */
static inline struct irtx_step irtx_tx_begin(struct irtx_tx *tx, irtx_u32 n)
{
	struct irtx_step s;

	irtx_tx_reset(tx);
	if (n == 0) {
		irtx_step_set(&s, IRTX_CARRIER_KEEP, 0, 0);
		return s;
	}
	tx->n = n;
	tx->gonoff = 1;
	tx->gcount = 1;
	irtx_step_set(&s, IRTX_CARRIER_ON, 1, 0);
	return s;
}

/*
 * Timer expiry: a burst ends (carrier off) or, while durations remain, a
 * space ends (carrier on); then the next duration, if any, is scheduled.
 * The expiry of a final space switches nothing, so the carrier is always
 * off once the timer is no longer armed.
 */
static inline struct irtx_step irtx_tx_expire(struct irtx_tx *tx)
{
	struct irtx_step s;

	irtx_step_set(&s, IRTX_CARRIER_KEEP, 0, 0);
	if (tx->gonoff & 1u) {
		s.carrier = IRTX_CARRIER_OFF;
		tx->gonoff++;
	} else if (tx->gcount < tx->n) {
		s.carrier = IRTX_CARRIER_ON;
		tx->gonoff++;
	}
	if (tx->gcount < tx->n) {
		s.arm = 1;
		s.next = tx->gcount;
		tx->gcount++;
	}
	return s;
}

#endif /* IRTX_LOGIC_H */
