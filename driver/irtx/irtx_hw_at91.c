/*
 * irtx_hw_at91.c - PWM backend for the AT91 SoC: channel 3 through the
 * platform PWM channel driver (CONFIG_ATMEL_PWM), registers written
 * directly.
 */
#include <linux/atmel_pwm.h>

#include "irtx_hw.h"

#define IRTX_AT91_CHANNEL 3

static struct pwm_channel pwmc;

int irtx_hw_alloc(void)
{
	return pwm_channel_alloc(IRTX_AT91_CHANNEL, &pwmc);
}

void irtx_hw_free(void)
{
	pwm_channel_free(&pwmc);
}

void irtx_hw_on(void)
{
	pwm_channel_enable(&pwmc);
}

void irtx_hw_off(void)
{
	pwm_channel_disable(&pwmc);
}

void irtx_hw_write(u32 mode, u32 duty, u32 period)
{
	pwm_channel_writel(&pwmc, PWM_CMR, mode);
	pwm_channel_writel(&pwmc, PWM_CDTY, duty);
	pwm_channel_writel(&pwmc, PWM_CPRD, period);
}
