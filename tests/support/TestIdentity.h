#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelvora::test {

// A throw-away folder under the system's temporary folder, removed with its contents.
class TemporaryFolder {
  public:
    TemporaryFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kelvora-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path_ = pattern;
    }
    ~TemporaryFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

inline std::vector<uint8_t> readBytes(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// Makes a self-signed certificate with `keySpec` (an openssl -newkey argument such as "rsa:2048" or
// "ec -pkeyopt ec_paramgen_curve:prime256v1") and returns its PKCS#12 container, protected by `password`.
inline std::vector<uint8_t> makePkcs12(const std::string& keySpec, const std::string& password,
                                       const std::string& commonName = "Kelvora Test") {
    TemporaryFolder folder;
    auto dir = folder.path().string();
    std::string request = "/usr/bin/openssl req -x509 -newkey " + keySpec + " -nodes -keyout '" + dir +
                          "/key.pem' -out '" + dir + "/cert.pem' -days 30 -subj '/CN=" + commonName +
                          "' >/dev/null 2>&1";
    std::string export_ = "/usr/bin/openssl pkcs12 -export -inkey '" + dir + "/key.pem' -in '" + dir +
                          "/cert.pem' -out '" + dir + "/id.p12' -passout 'pass:" + password +
                          "' >/dev/null 2>&1";
    if (std::system(request.c_str()) != 0 || std::system(export_.c_str()) != 0) {
        throw std::runtime_error("openssl could not make a test identity");
    }
    return readBytes(folder.path() / "id.p12");
}

}  // namespace kelvora::test
