// rspi_initialize on arbitrary configuration bytes.
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "rspi.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // A '/' could name a diagnostics file anywhere; keep every name relative
    // to the private directory the process works in.
    std::string text(reinterpret_cast<const char *>(data), size);
    for (char &c : text)
        if (c == '/') c = '_';
    tolvfuzz::clear_registry();
    tolvfuzz::put("fuzz.conf", reinterpret_cast<const uint8_t *>(text.data()), text.size());
    char **h = nullptr;
    const uint32_t rc = rspi_initialize(&h, (tolvfuzz::registry_dir() + "fuzz.conf").c_str());
    if (rc == 0) {
        if (!h || !*h) __builtin_trap();
        rspi_terminate(h);
    } else if (h) {
        __builtin_trap();  // a failed start hands back no handle
    }
    // As a host ends diagnostics: the plug-in leaves a stream the host has
    // taken back to the host, so a file it opened is closed here.
    if (debugOutput && debugOutput != stderr) std::fclose(debugOutput);
    verbose = 0;
    debugOutput = nullptr;
    return 0;
}
