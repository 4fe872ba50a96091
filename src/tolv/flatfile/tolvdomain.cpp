// tolvdomain.cpp - domains are not kept by this registry: every domain operation answers with the same constant.
#include "tolvinternal.h"

TOLV_EXPORT uint32_t rspi_create_domain_handle(char **, const char *, void **) { return 1; }
TOLV_EXPORT uint32_t rspi_delete_domain_handle(char **, void *) { return 1; }
TOLV_EXPORT uint32_t rspi_create_domain(char **, const char *) { return 1; }
TOLV_EXPORT uint32_t rspi_delete_domain(char **, const char *) { return 1; }
TOLV_EXPORT uint32_t rspi_get_domain_name(char **, void *, char **) { return 1; }
