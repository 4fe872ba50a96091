// tolvadmin_check.h - the registry checked as a whole: every record file against its names, each index
// against the records it lists, each membership against its other side, and the journal's directories; and
// the one safe mend of each finding that has one (tolvadmin_check*.cpp).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tolvadmin.h"

namespace tolv::admin {

// One finding: the file it is about (relative to the registry directory) and what is wrong with it.
struct Finding {
    std::string file;
    std::string problem;
    bool mendable = false;  // check with repair mends it
    bool repaired = false;  // and it did: the mend is committed
};

// Checks the registry of handle. A plain check reads with the registry's lock taken shared: writers wait for
// it, readers go on. With repair it is one writing call: a pending journal is applied first, and every mend
// is staged and committed together, so the registry is either as it was or mended in full. 0 when the check
// ran to its end (out: the findings, in the order found); 6 when a file could not be read or the mends not
// be made (out: what was found until then, none marked repaired; error: why); 4 for an unusable handle; 3
// without memory.
TOLV_ADMIN uint32_t check(char **handle, bool repair, std::vector<Finding> &out, std::string &error);

}  // namespace tolv::admin
