#pragma once

#include <filesystem>

namespace kelvora {

// The application's own data folder, "$XDG_DATA_HOME/Kelvora", falling back to "~/.local/share/Kelvora" when
// the variable is unset, empty or not an absolute path (as the XDG rules ask). Nothing is created here;
// whoever writes into the folder creates it. Code that stores files takes the folder as a parameter, so
// tests pass a temporary folder of their own instead of this one.
std::filesystem::path applicationFolder();

}  // namespace kelvora
