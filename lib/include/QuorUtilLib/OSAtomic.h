// Atomic helpers of the utility layer.
#ifndef QUOR_OSATOMIC_H
#define QUOR_OSATOMIC_H

#include <cstdint>

// Adds delta and returns the new value.
inline uint32_t gb_atomic_add(uint32_t* value, int32_t delta)
{
    return __atomic_add_fetch(value, (uint32_t)delta, __ATOMIC_SEQ_CST);
}

// Stores newValue only if *value still equals oldValue; true on success.
inline bool gb_compare_and_store(uint32_t oldValue, uint32_t newValue, uint32_t* value)
{
    return __atomic_compare_exchange_n(value, &oldValue, newValue, false,
                                       __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
}

#endif
