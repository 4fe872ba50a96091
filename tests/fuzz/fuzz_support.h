// Shared pieces of the fuzz targets: a private registry directory per process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tolvfuzz {

// A registry directory (with a trailing '/') made once per process; the
// process works inside it, so relative names land there too.
const std::string &registry_dir();
// Removes every file in the registry directory.
void clear_registry();
// Writes bytes to a file in the registry directory.
void put(const std::string &name, const uint8_t *data, std::size_t size);
// Initialises the plug-in on the registry directory once; returns the handle.
char **handle();

}  // namespace tolvfuzz

namespace tolvfuzz {
// The bytes of a file in the registry directory ("" when missing).
std::string slurp(const std::string &name);
}  // namespace tolvfuzz
