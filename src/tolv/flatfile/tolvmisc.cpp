// tolvmisc.cpp - version, library set-up, routing and liveness: constant answers.
#include "tolvinternal.h"

TOLV_EXPORT uint32_t rspi_version(char **) { return 2; }
TOLV_EXPORT uint32_t rspi_lib_init(char **) { return 0; }
TOLV_EXPORT uint32_t rspi_router(char **) { return 2; }
TOLV_EXPORT uint32_t rspi_is_registry_server_up(char **) { return 1; }
