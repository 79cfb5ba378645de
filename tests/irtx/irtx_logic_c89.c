/*
 * The logic header compiled as C in the dialect of the board's kernel
 * (gnu89, no declarations after statements), exercised from the C++ tests.
 */
#include "irtx_logic.h"
#include "irtx_logic_c89.h"

unsigned irtx_c89_switches(unsigned n, int *ends_off)
{
	struct irtx_tx tx;
	struct irtx_step step;
	unsigned switches = 0;
	int on = 0;

	irtx_tx_reset(&tx);
	step = irtx_tx_begin(&tx, n);
	for (;;) {
		if (step.carrier != IRTX_CARRIER_KEEP) {
			switches++;
			on = step.carrier == IRTX_CARRIER_ON;
		}
		if (!step.arm)
			break;
		step = irtx_tx_expire(&tx);
	}
	*ends_off = !on;
	return switches;
}

int irtx_c89_duration_ns(unsigned periods, unsigned freq, unsigned *ns)
{
	irtx_u32 out = 0;
	int st = irtx_duration_ns(periods, freq, &out);

	*ns = out;
	return st;
}
