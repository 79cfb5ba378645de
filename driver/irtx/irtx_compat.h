/*
 * irtx_compat.h - the kernel API differences the module has to bridge,
 * kept in one place. The module builds on the board's 2.6.39 kernel and
 * on current kernels.
 */
#ifndef IRTX_COMPAT_H
#define IRTX_COMPAT_H

#include <linux/version.h>
#include <linux/hrtimer.h>

/* hrtimer_setup() replaced hrtimer_init() plus a separate callback store. */
static inline void irtx_timer_setup(struct hrtimer *timer,
				    enum hrtimer_restart (*fn)(struct hrtimer *))
{
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 13, 0)
	hrtimer_setup(timer, fn, CLOCK_MONOTONIC, HRTIMER_MODE_REL);
#else
	hrtimer_init(timer, CLOCK_MONOTONIC, HRTIMER_MODE_REL);
	timer->function = fn;
#endif
}

#endif /* IRTX_COMPAT_H */
