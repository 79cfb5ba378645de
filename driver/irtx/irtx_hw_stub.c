/*
 * irtx_hw_stub.c - PWM backend for boards without the AT91 PWM: keeps the
 * last values written so the rest of the module runs unchanged, and
 * touches no hardware.
 */
#include "irtx_hw.h"

static struct {
	bool allocated;
	bool enabled;
	u32 mode;
	u32 duty;
	u32 period;
} irtx_stub;

int irtx_hw_alloc(void)
{
	irtx_stub.allocated = true;
	irtx_stub.enabled = false;
	return 0;
}

void irtx_hw_free(void)
{
	irtx_stub.allocated = false;
}

void irtx_hw_on(void)
{
	irtx_stub.enabled = true;
}

void irtx_hw_off(void)
{
	irtx_stub.enabled = false;
}

void irtx_hw_write(u32 mode, u32 duty, u32 period)
{
	irtx_stub.mode = mode;
	irtx_stub.duty = duty;
	irtx_stub.period = period;
}
