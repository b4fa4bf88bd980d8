#pragma once
// Free bytes available to an unprivileged writer on the file system holding a path.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace talvo {

// No value means the system did not say; a failure to ask throws.
using FreeSpaceQuery = std::function<std::optional<std::uint64_t>(const std::string& path)>;

// statvfs: f_bavail × f_frsize (the blocks left for users other than root). Throws FileError.
std::optional<std::uint64_t> availableBytes(const std::string& path);

}  // namespace talvo
