#pragma once

namespace kelvora {

// The processors this process may run on: its affinity, which `taskset` or a container narrows, not the
// machine's count. At least 1; 2 when the affinity cannot be read.
int usableProcessorCount();

}  // namespace kelvora
