#include "platform/memory.h"

#include <malloc.h>

namespace kavri {

void returnFreeMemory() { malloc_trim(0); }

}  // namespace kavri
