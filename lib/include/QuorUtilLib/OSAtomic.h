// Atomic helpers of the utility layer. The board's ARMv5 core has no
// exclusive loads and stores: the legacy __sync operations become calls that
// the C runtime serves with the kernel's compare-and-swap helper, which every
// ARM Linux kernel provides (full barriers on every architecture).
#ifndef QUOR_OSATOMIC_H
#define QUOR_OSATOMIC_H

#include <cstdint>

// Adds delta and returns the new value.
inline uint32_t gb_atomic_add(uint32_t* value, int32_t delta)
{
    return __sync_add_and_fetch(value, (uint32_t)delta);
}

// Stores newValue only if *value still equals oldValue; true on success.
inline bool gb_compare_and_store(uint32_t oldValue, uint32_t newValue, uint32_t* value)
{
    return __sync_bool_compare_and_swap(value, oldValue, newValue);
}

#endif
