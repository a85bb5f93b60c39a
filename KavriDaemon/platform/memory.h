#ifndef KAVRI_PLATFORM_MEMORY_H_
#define KAVRI_PLATFORM_MEMORY_H_

namespace kavri {

// Hands memory that a burst of work allocated and freed back to the system,
// so that an idle agent holds what it keeps, not what it once needed. Costs
// a walk over the free memory; call it after large, rare work. Any thread.
void returnFreeMemory();

}  // namespace kavri

#endif  // KAVRI_PLATFORM_MEMORY_H_
