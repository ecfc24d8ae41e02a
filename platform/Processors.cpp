#include "platform/Processors.h"

#include <sched.h>

#include <algorithm>

namespace kelvora {

int usableProcessorCount() {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof(allowed), &allowed) != 0) {
        return 2;
    }
    return std::max(CPU_COUNT(&allowed), 1);
}

}  // namespace kelvora
