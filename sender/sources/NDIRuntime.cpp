#include "sender/sources/NDIRuntime.h"

#include "core/LicenseRegistry.h"
#include "core/Log.h"

#include <dlfcn.h>

#include <filesystem>
#include <system_error>

extern "C" const NDIFunctionTable* kelvoraLoadNDILibrary(const char* path) {
    void* handle = dlopen(path, RTLD_LAZY | RTLD_LOCAL);
    if (handle == nullptr) {
        return nullptr;
    }
    auto load = reinterpret_cast<NDILoadFunction>(dlsym(handle, "NDIlib_v5_load"));
    if (load == nullptr) {
        // Some other library of that name: nothing of it is used, so it need not stay loaded.
        dlclose(handle);
        return nullptr;
    }
    return load();
}

namespace kelvora {

std::shared_ptr<const NDIRuntime> NDIRuntime::load(const std::vector<std::string>& candidates) {
    for (const std::string& candidate : candidates) {
        std::error_code error;
        if (!std::filesystem::exists(candidate, error)) {
            continue;
        }
        const NDIFunctionTable* table = kelvoraLoadNDILibrary(candidate.c_str());
        if (table == nullptr) {
            continue;
        }
        if (table->initialize == nullptr || !table->initialize()) {
            Log::capture().error("NDI: Initialisierung fehlgeschlagen (CPU nicht unterstützt?)");
            return std::shared_ptr<const NDIRuntime>(new NDIRuntime(nullptr, {}));
        }
        auto runtime = std::shared_ptr<const NDIRuntime>(new NDIRuntime(table, candidate));
        const std::string version = runtime->version();
        Log::capture().info("NDI geladen: {}, Version {}", candidate, version.empty() ? "?" : version);
        return runtime;
    }
    return std::shared_ptr<const NDIRuntime>(new NDIRuntime(nullptr, {}));
}

std::vector<std::string> NDIRuntime::defaultCandidates() {
    std::vector<std::string> candidates;
    // Beside the program: <prefix>/bin/<program> keeps its own libraries in <prefix>/lib/kelvora.
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error && program.has_parent_path()) {
        candidates.push_back(
            (program.parent_path().parent_path() / "lib" / "kelvora" / "libndi.so").string());
    }
    for (const char* path : {"/usr/local/lib/libndi.so", "/usr/lib/libndi.so", "/usr/local/lib/libndi.so.6",
                             "/usr/local/lib/libndi.so.5"}) {
        candidates.emplace_back(path);
    }
    return candidates;
}

std::shared_ptr<const NDIRuntime> NDIRuntime::shared() {
    static const std::shared_ptr<const NDIRuntime> runtime = load(defaultCandidates());
    return runtime;
}

std::string NDIRuntime::version() const {
    if (table_ == nullptr || table_->version == nullptr) {
        return {};
    }
    const char* text = table_->version();
    return text != nullptr ? std::string(text) : std::string();
}

LicenseEntry NDIRuntime::licenseEntry() const {
    LicenseEntry entry;
    entry.name = "NDI® SDK (nur Empfang)";
    entry.version = version();
    if (entry.version.empty()) {
        entry.version = "6";
    }
    entry.license = "NDI SDK License Agreement";
    entry.url = kVendorWebsite;
    entry.notice =
        std::string(
            "NDI®-Quellen werden mit der NDI-Laufzeitbibliothek (libndi) von Vizrt NDI AB empfangen. "
            "NDI wird nur als Videoquelle auf diesem Computer genutzt, nicht zur Übertragung. ") +
        kTrademarkNotice +
        " Informationen und Werkzeuge: https://ndi.video/ und die NDI Tools unter "
        "https://ndi.video/tools/. Die NDI-Laufzeitbibliothek ist Eigentum von Vizrt NDI AB und wird "
        "nach den Bedingungen des NDI SDK License Agreement genutzt: Sie darf nicht verändert, "
        "zurückentwickelt oder zerlegt und nur zusammen mit einem Programm weitergegeben werden, das "
        "sie nutzt. Sie wird ohne Gewährleistung jeder Art bereitgestellt, weder ausdrücklich noch "
        "stillschweigend; soweit das Gesetz es zulässt, haften weder Vizrt NDI AB noch die Anbieter "
        "dieses Programms für Schäden aus ihrer Nutzung. Die Lizenzen der in libndi enthaltenen "
        "Komponenten stehen in libndi_licenses.txt bei der NDI-Laufzeitbibliothek.";
    return entry;
}

void NDIRuntime::licenseNotice() {
    LicenseRegistry::registerEntry(shared()->licenseEntry());
}

}  // namespace kelvora
