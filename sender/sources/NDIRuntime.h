#pragma once

#include "core/LicenseEntry.h"
#include "sender/sources/NDIFunctionTable.h"

#include <memory>
#include <string>
#include <vector>

extern "C" {
// Opens the library at `path` (lazy binding, local symbols) and returns the table its "NDIlib_v5_load"
// hands out, or null when the file does not open or has no such entry.
const NDIFunctionTable* kelvoraLoadNDILibrary(const char* path);
}

namespace kelvora {

// The NDI runtime library (libndi of Vizrt NDI AB): not linked, but looked for and loaded at run time, so
// that NDI stays optional. A loaded runtime keeps its table for the rest of the process; the library is
// never unloaded and never shut down.
//
// The process-wide runtime (`shared`) is loaded once, on first use, from the usual places; tests load
// runtimes of their own from other paths. Safe to use from any thread.
class NDIRuntime {
  public:
    static constexpr const char* kVendorWebsite = "https://ndi.video/";
    static constexpr const char* kTrademarkNotice = "NDI® is a registered trademark of Vizrt NDI AB.";

    // The first candidate that exists and yields a table wins; later ones are not tried, even when the
    // winner then refuses to initialise. Logs the library that was loaded and its version.
    static std::shared_ptr<const NDIRuntime> load(const std::vector<std::string>& candidates);

    // The program's private library folder, then the system's usual places.
    static std::vector<std::string> defaultCandidates();
    // Loaded once per process from `defaultCandidates`.
    static std::shared_ptr<const NDIRuntime> shared();
    static bool isAvailable() { return shared()->available(); }
    // Adds the NDI row to the licences window (replacing an earlier one).
    static void licenseNotice();

    bool available() const { return table_ != nullptr; }
    // Null when unavailable.
    const NDIFunctionTable* table() const { return table_; }
    // The file the table came from; empty when unavailable.
    const std::string& path() const { return path_; }
    // The runtime's own version text; empty when it gives none.
    std::string version() const;

    // The licences-window row for this runtime.
    LicenseEntry licenseEntry() const;

  private:
    NDIRuntime(const NDIFunctionTable* table, std::string path) : table_(table), path_(std::move(path)) {}

    const NDIFunctionTable* table_ = nullptr;
    std::string path_;
};

}  // namespace kelvora
