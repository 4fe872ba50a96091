/*
 * tolv.h - what the host framework supplies to the plug-in: the utility
 * library (librspiutil) that allocates and releases every record crossing the
 * boundary, and the UUID service (libqzsvcutl).
 */
#ifndef TOLV_TOLV_H
#define TOLV_TOLV_H

#include <stddef.h>
#include <stdint.h>

#include "rspi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* librspiutil: rspi_alloc zero-fills; every release accepts null. */
void *rspi_alloc(size_t size);
char *rspi_strdup(const char *s);
void rspi_free(void *p);

/*
 * Each rspi_free_X releases the record with every string and sub-record it
 * points to. A caller that lent a pointer to a record clears it first.
 */
rspi_user *rspi_alloc_user(void);
void rspi_free_user(rspi_user *user);
rspi_group *rspi_alloc_group(void);
void rspi_free_group(rspi_group *group);
rspi_policy *rspi_alloc_policy(void);
void rspi_free_policy(rspi_policy *policy);
rspi_resource *rspi_alloc_resource(void);
void rspi_free_resource(rspi_resource *resource);
rspi_resgroup *rspi_alloc_resgroup(void);
void rspi_free_resgroup(rspi_resgroup *resgroup);
rspi_rescreds *rspi_alloc_rescreds(void);
void rspi_free_rescreds(rspi_rescreds *creds);

/* New lists are empty and loaded: count 0. Releasing a list releases its items and their texts. */
rspi_userlist *rspi_alloc_userlist(void);
void rspi_free_userlist(rspi_userlist *list);
rspi_grouplist *rspi_alloc_grouplist(void);
void rspi_free_grouplist(rspi_grouplist *list);
rspi_policylist *rspi_alloc_policylist(void);
void rspi_free_policylist(rspi_policylist *list);
rspi_resourcelist *rspi_alloc_resourcelist(void);
void rspi_free_resourcelist(rspi_resourcelist *list);
rspi_resgrouplist *rspi_alloc_resgrouplist(void);
void rspi_free_resgrouplist(rspi_resgrouplist *list);
rspi_rescredslist *rspi_alloc_rescredslist(void);
void rspi_free_rescredslist(rspi_rescredslist *list);

rspi_authndata *rspi_alloc_authndata(void);
void rspi_free_authndata(rspi_authndata *authn);
rspi_blob *rspi_alloc_blob(uint32_t length);
void rspi_free_blob(rspi_blob *blob);
rspi_logintypes *rspi_alloc_logintypes(int32_t count);
void rspi_free_logintypes(rspi_logintypes *types);
rspi_resgroupmembers *rspi_alloc_resgroupmembers(int32_t count);
void rspi_free_resgroupmembers(rspi_resgroupmembers *members);

/* libqzsvcutl: status 0 is success. Strings are lower-case, 36 characters. */
void qz_uuid_create(unsigned char uuid[16], uint32_t *status);
void qz_uuid_to_string(const unsigned char uuid[16], char **out, uint32_t *status);
void qz_uuid_string_free(char **s, uint32_t *status);
void qz_uuid_from_string(const char *s, unsigned char uuid[16], uint32_t *status);

#ifdef __cplusplus
}
#endif

#endif /* TOLV_TOLV_H */
