#include "temp_path.h"

#include <unistd.h>

#include <atomic>
#include <filesystem>

std::string temp_path(const std::string& tag) {
    static std::atomic<int> counter{0};
    const std::filesystem::path name =
        "tamblo-test-" + std::to_string(getpid()) + "-" + tag + "-" + std::to_string(counter++);
    return (std::filesystem::temp_directory_path() / name).string();
}
