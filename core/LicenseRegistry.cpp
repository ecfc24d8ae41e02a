#include "core/LicenseRegistry.h"

#include <fmt/core.h>
#include <spdlog/version.h>
#include <asio/version.hpp>
#include <nlohmann/json.hpp>

extern "C" {
#include <libavutil/avutil.h>
}

#include <algorithm>
#include <mutex>
#include <string>
#include <utility>

// Versions of the libraries found by pkg-config when the program was built (see core/CMakeLists.txt).
#ifndef KELVORA_AVAHI_VERSION
#error "the build passes the versions of the linked libraries"
#endif

namespace kelvora {
namespace {

std::string dotted(int major, int minor, int patch) {
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
}

// Where Debian keeps the full terms of every installed library.
constexpr const char* kFullTextHint =
    " Den vollständigen Lizenztext liefert die Distribution mit dem Paket der Bibliothek "
    "(/usr/share/doc/<Paket>/copyright).";

LicenseEntry library(std::string name, std::string version, std::string license, std::string url,
                     std::string notice) {
    return LicenseEntry{std::move(name), std::move(version), std::move(license), std::move(url),
                        std::move(notice) + kFullTextHint};
}

LicenseEntry productEntry() {
    return LicenseEntry{
        LicenseRegistry::kProductName, KELVORA_VERSION, "GPL-2.0-or-later",
        "https://www.gnu.org/licenses/old-licenses/gpl-2.0.html",
        "Tilvara ist freie Software: Sie dürfen es unter den Bedingungen der GNU General Public License, "
        "Version 2 oder (nach Ihrer Wahl) jeder späteren Version, weitergeben und verändern. Es wird ohne "
        "jede Gewährleistung bereitgestellt. Für Aufnahme, Encoding, Decoding, Darstellung und Netzwerk "
        "verwendet Tilvara die folgenden Bibliotheken von Drittanbietern, jeweils unter ihrer eigenen "
        "Lizenz."};
}

std::vector<LicenseEntry> linkedLibraries() {
    return {
        library("Asio", dotted(ASIO_VERSION / 100000, ASIO_VERSION / 100 % 1000, ASIO_VERSION % 100),
                "BSL-1.0", "https://think-async.com/Asio/",
                "Netzwerk und asynchrone Ein- und Ausgabe. Copyright (c) 2003-2022 Christopher M. Kohlhoff."),
        library("JSON for Modern C++",
                dotted(NLOHMANN_JSON_VERSION_MAJOR, NLOHMANN_JSON_VERSION_MINOR, NLOHMANN_JSON_VERSION_PATCH),
                "MIT", "https://github.com/nlohmann/json",
                "Lesen und Schreiben der JSON-Steuernachrichten und Einstellungen. Copyright (c) 2013-2022 "
                "Niels Lohmann."),
        library("spdlog", dotted(SPDLOG_VER_MAJOR, SPDLOG_VER_MINOR, SPDLOG_VER_PATCH), "MIT",
                "https://github.com/gabime/spdlog", "Protokollierung. Copyright (c) 2016 Gabi Melman."),
        library("{fmt}", dotted(FMT_VERSION / 10000, FMT_VERSION / 100 % 100, FMT_VERSION % 100), "MIT",
                "https://github.com/fmtlib/fmt",
                "Textformatierung. Copyright (c) 2012 - present, Victor Zverovich and {fmt} contributors."),
        library("Avahi", KELVORA_AVAHI_VERSION, "LGPL-2.1-or-later", "https://avahi.org",
                "Ankündigung und Suche im lokalen Netzwerk (DNS-SD). Copyright (c) die Avahi-Autoren."),
        library("GnuTLS", KELVORA_GNUTLS_VERSION, "LGPL-2.1-or-later", "https://www.gnutls.org",
                "TLS 1.3 für QUIC, Zertifikate und SHA-256. Copyright (c) Free Software Foundation, Inc. "
                "und die GnuTLS-Autoren."),
        library("ngtcp2", KELVORA_NGTCP2_VERSION, "MIT", "https://github.com/ngtcp2/ngtcp2",
                "QUIC-Transport. Copyright (c) 2016 ngtcp2 contributors."),
        library("FFmpeg (libavcodec, libavformat, libavutil, libswscale)", av_version_info(),
                "GPL-2.0-or-later", "https://ffmpeg.org/legal.html",
                "Decoding, Hardware-Encoding, Lesen von Videodateien, Pixelumwandlung und Skalierung. In der "
                "GPL-Fassung der Distribution gebaut. Copyright (c) die FFmpeg-Entwickler."),
        library("x264", KELVORA_X264_VERSION, "GPL-2.0-or-later",
                "https://www.videolan.org/developers/x264.html",
                "H.264-Encoding in Software. Copyright (c) 2003-2022 x264 project."),
        library("Cairo", KELVORA_CAIRO_VERSION, "LGPL-2.1-only OR MPL-1.1", "https://www.cairographics.org",
                "Zeichnen des Testbilds und des Beispielvideos. Copyright (c) die Cairo-Autoren."),
        library("Pango", KELVORA_PANGO_VERSION, "LGPL-2.0-or-later", "https://pango.gnome.org",
                "Textsatz im Testbild und im Beispielvideo. Copyright (c) die Pango-Autoren."),
        library("ICU", KELVORA_ICU_VERSION, "Unicode-DFS-2016", "https://icu.unicode.org",
                "Unicode-Textverarbeitung. Copyright (c) 2016 and later Unicode, Inc. and others."),
        library("libudev", KELVORA_UDEV_VERSION, "LGPL-2.1-or-later", "https://systemd.io",
                "Liste der Aufnahmegeräte und Meldungen beim An- und Abstecken. Copyright (c) die "
                "systemd-Autoren."),
        library("libsystemd", KELVORA_SYSTEMD_VERSION, "LGPL-2.1-or-later", "https://systemd.io",
                "Protokollierung in das systemd-Journal. Copyright (c) die systemd-Autoren."),
        library("libuuid", KELVORA_UUID_VERSION, "BSD-3-Clause", "https://github.com/util-linux/util-linux",
                "Erzeugen von Kennungen (UUID). Copyright (c) 1996, 1997 Theodore Ts'o."),
    };
}

struct Store {
    std::mutex mutex;
    std::vector<LicenseEntry> entries = LicenseRegistry::initialEntries();
};

Store& store() {
    static Store instance;
    return instance;
}

}  // namespace

std::vector<LicenseEntry> LicenseRegistry::initialEntries() {
    std::vector<LicenseEntry> all{productEntry()};
    for (auto& entry : linkedLibraries()) {
        all.push_back(std::move(entry));
    }
    return all;
}

std::vector<LicenseEntry> LicenseRegistry::entries() {
    Store& shared = store();
    std::lock_guard lock(shared.mutex);
    return shared.entries;
}

void LicenseRegistry::registerEntry(LicenseEntry entry) {
    Store& shared = store();
    std::lock_guard lock(shared.mutex);
    std::erase_if(shared.entries, [&](const LicenseEntry& existing) { return existing.name == entry.name; });
    shared.entries.push_back(std::move(entry));
}

}  // namespace kelvora
