/*
 * irtx_hw.h - the PWM channel that produces the IR carrier.
 *
 * One channel, owned by the module from load to unload. irtx_hw_at91.c
 * drives the SoC's channel 3 through the platform PWM driver;
 * irtx_hw_stub.c stands in on every other architecture so the module
 * still builds (it records the last values and touches no hardware).
 */
#ifndef IRTX_HW_H
#define IRTX_HW_H

#include <linux/types.h>

/* Claims the channel; 0 or a negative error number. */
int irtx_hw_alloc(void);
/* Releases the channel claimed by irtx_hw_alloc(). */
void irtx_hw_free(void);
/* Carrier on / off (channel enable / disable). */
void irtx_hw_on(void);
void irtx_hw_off(void);
/* Channel mode, duty and period registers; call with the carrier off. */
void irtx_hw_write(u32 mode, u32 duty, u32 period);

#endif /* IRTX_HW_H */
