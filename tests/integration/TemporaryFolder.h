// A folder of a test's own under /tmp, removed with everything in it at the test's end.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace qdo::test {

class TemporaryFolder {
public:
    TemporaryFolder() {
        char pattern[] = "/tmp/qdo-test-XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            throw std::runtime_error("no temporary folder");
        path_ = pattern;
    }
    ~TemporaryFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

} // namespace qdo::test
