// tolvadmin.h - the tool face: what an administrator needs of the registry and a host never does, built from
// the plug-in's own objects into libtolvadmin.so. Every function here works under the plug-in's lock and
// journal, on the registry of a handle that rspi_initialize opened; tolvadm parses its command line, calls
// these and the rspi_ operations, and formats what they return. It opens no registry file itself.
//
// One header per subject, each included here:
//   recovery of a pending journal, the configuration file, making a registry (tolvadmin_registry.h)
//   every entry of the user and group lists, disabled ones too (tolvadmin_entries.h)
//   many entries added in one call (tolvadmin_bulk.h)
//   the check of the whole registry and its repair (tolvadmin_check.h)
//   (more subjects add their header below)
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "rspi.h"
#include "tolvadmin_entries.h"
#include "tolvadmin_registry.h"

// The tool face's functions are the only ones libtolvadmin.so exports besides the rspi_ operations.
#ifndef TOLV_ADMIN
#define TOLV_ADMIN __attribute__((visibility("default")))
#endif

namespace tolv::admin {

// Settles a journal that a killed writer left, as the next writing call would: 0 when nothing is pending any
// more, 6 when it cannot be done (the journal stays for the next try), 4 for an unusable handle.
TOLV_ADMIN uint32_t recover(char **handle);

}  // namespace tolv::admin

#include "tolvadmin_bulk.h"
#include "tolvadmin_check.h"
