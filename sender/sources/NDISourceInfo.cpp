#include "sender/sources/NDISourceInfo.h"

namespace kelvora {

std::string NDISourceInfo::machineName() const {
    const auto found = name.find(" (");
    return found == std::string::npos ? name : name.substr(0, found);
}

std::string NDISourceInfo::sourceName() const {
    const auto open = name.find('(');
    if (open == std::string::npos || name.empty() || name.back() != ')') {
        return name;
    }
    return name.substr(open + 1, name.size() - 1 - (open + 1));
}

}  // namespace kelvora
