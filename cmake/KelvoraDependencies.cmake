# Third-party libraries, all from Debian packages (scripts/install-deps.sh installs them).
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(nlohmann_json 3.11 REQUIRED)
find_package(spdlog REQUIRED)
find_package(GTest REQUIRED)
find_package(benchmark REQUIRED)

pkg_check_modules(UUID REQUIRED IMPORTED_TARGET uuid)
pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
pkg_check_modules(ICU REQUIRED IMPORTED_TARGET icu-uc icu-i18n)
pkg_check_modules(AVAHI REQUIRED IMPORTED_TARGET avahi-client)
pkg_check_modules(GNUTLS REQUIRED IMPORTED_TARGET gnutls)
pkg_check_modules(NGTCP2 REQUIRED IMPORTED_TARGET libngtcp2 libngtcp2_crypto_gnutls)
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavcodec libavformat libavutil libswscale)
pkg_check_modules(X264 REQUIRED IMPORTED_TARGET x264)
pkg_check_modules(PANGOCAIRO REQUIRED IMPORTED_TARGET pangocairo cairo)
pkg_check_modules(UDEV REQUIRED IMPORTED_TARGET libudev)

# Qt 6.4 from Debian: QtCore for the app model, Qt Quick for the views. Only the app's UI libraries link
# the GUI modules; every other library builds without them.
find_package(Qt6 6.4 REQUIRED COMPONENTS Core Gui Widgets Network Qml Quick QuickControls2 Svg Test)

# Standalone Asio is header only.
find_path(ASIO_INCLUDE_DIR asio.hpp REQUIRED)
add_library(kelvora_asio INTERFACE)
target_include_directories(kelvora_asio SYSTEM INTERFACE ${ASIO_INCLUDE_DIR})
target_compile_definitions(kelvora_asio INTERFACE ASIO_STANDALONE ASIO_NO_DEPRECATED)
target_link_libraries(kelvora_asio INTERFACE Threads::Threads)

include(GoogleTest)
