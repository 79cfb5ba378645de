/* Entry points of irtx_logic_c89.c for the C++ tests. */
#ifndef IRTX_LOGIC_C89_H
#define IRTX_LOGIC_C89_H

#ifdef __cplusplus
extern "C" {
#endif

/* Runs a code of n durations; returns the carrier switches made. */
unsigned irtx_c89_switches(unsigned n, int *ends_off);
/* irtx_duration_ns() as compiled in C. */
int irtx_c89_duration_ns(unsigned periods, unsigned freq, unsigned *ns);

#ifdef __cplusplus
}
#endif

#endif
