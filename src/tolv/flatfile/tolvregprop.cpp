// tolvregprop.cpp - what the registry says about itself: constant answers.
#include "tolvinternal.h"

TOLV_EXPORT uint32_t rspi_get_registry_properties(char **, void *) { return 1; }
TOLV_EXPORT const char *rspi_registry_type(char **) { return "other"; }
TOLV_EXPORT uint32_t rspi_authn_type(char **) { return 1; }
TOLV_EXPORT uint32_t rspi_extensions(char **) { return 0; }
