// Unique names for temporary files and folders of the tests.
#pragma once

#include <string>

// A path in the system's temporary folder that nothing uses yet.
std::string temp_path(const std::string& tag);
