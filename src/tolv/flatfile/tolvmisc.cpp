// tolvmisc.cpp - the operations with constant answers: version, library
// set-up, routing, liveness, what the registry says about itself, and
// domains, which this registry does not keep.
#include "tolvinternal.h"

TOLV_EXPORT uint32_t rspi_version(char **) { return 2; }
TOLV_EXPORT uint32_t rspi_lib_init(char **) { return 0; }
TOLV_EXPORT uint32_t rspi_router(char **) { return 2; }
TOLV_EXPORT uint32_t rspi_is_registry_server_up(char **) { return 1; }

TOLV_EXPORT uint32_t rspi_get_registry_properties(char **, void *) { return 1; }
TOLV_EXPORT const char *rspi_registry_type(char **) { return "other"; }
TOLV_EXPORT uint32_t rspi_authn_type(char **) { return 1; }
TOLV_EXPORT uint32_t rspi_extensions(char **) { return 0; }

TOLV_EXPORT uint32_t rspi_create_domain_handle(char **, const char *, void **) { return 1; }
TOLV_EXPORT uint32_t rspi_delete_domain_handle(char **, void *) { return 1; }
TOLV_EXPORT uint32_t rspi_create_domain(char **, const char *) { return 1; }
TOLV_EXPORT uint32_t rspi_delete_domain(char **, const char *) { return 1; }
TOLV_EXPORT uint32_t rspi_get_domain_name(char **, void *, char **) { return 1; }
