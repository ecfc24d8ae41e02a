#pragma once

#include "core/LicenseEntry.h"

#include <vector>

namespace kelvora {

// The process-wide list behind the licences window. It starts with the program's own entry followed by
// every third-party library the program links; components loaded at run time (the NDI runtime) add their
// entry when they come into use. Safe to use from any thread; the lock is held only for the copy or update.
class LicenseRegistry {
  public:
    LicenseRegistry() = delete;

    // The name of the program's own entry.
    static constexpr const char* kProductName = "Tilvara";

    // A copy of the list in registration order.
    static std::vector<LicenseEntry> entries();

    // Removes every entry of the same name, then appends the new one: registering a component again
    // replaces its entry and moves it to the end; registering an identical entry changes nothing else.
    static void registerEntry(LicenseEntry entry);

    // The list the registry starts with: the program's own entry, then the linked libraries.
    static std::vector<LicenseEntry> initialEntries();
};

}  // namespace kelvora
