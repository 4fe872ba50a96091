/*
 * rspi.h - the registry plug-in interface: return codes, host records and
 * every operation a host may call.
 *
 * A host loads libtolvflatfile.so, calls rspi_initialize() once and passes the
 * handle it gets back as the first argument of every other operation. Records
 * that cross the boundary are allocated and released with librspiutil
 * (see tolv.h), so that either side can release what the other filled in.
 */
#ifndef TOLV_RSPI_H
#define TOLV_RSPI_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Return codes. */
#define RSPI_RC_SUCCESS                0u  /* success; also an empty list, or adding what is there */
#define RSPI_RC_NO_MEMORY              3u  /* an allocation failed */
#define RSPI_RC_CONFIG_ERROR           4u  /* configuration unreadable or without "dir"; no handle */
#define RSPI_RC_NO_MORE_ENTRIES        5u  /* cursor: empty list, past the end, before the first */
#define RSPI_RC_FILE_ERROR             6u  /* a file could not be written, read in full or renamed */
#define RSPI_RC_MALFORMED_ENTRY        9u  /* a stored file or list line does not have its format */
#define RSPI_RC_USER_NOT_DISABLED     10u  /* enable user: no disabled user under that registry id */
#define RSPI_RC_GROUP_NOT_DISABLED    12u  /* enable group: no disabled group under that registry id */
#define RSPI_RC_ACCOUNT_DISABLED      21u  /* right password, account not valid */
#define RSPI_RC_AUTHN_TYPE_UNSUPPORTED 22u /* authentication data other than a password */
#define RSPI_RC_AUTHN_FAILED          23u  /* wrong password */
#define RSPI_RC_ENTRY_NOT_IN_LIST     24u  /* a removal found no such line */
#define RSPI_RC_INVALID_USER          30u  /* bad user names, or no such user */
#define RSPI_RC_INVALID_GROUP         31u  /* bad group names, or no such group */
#define RSPI_RC_INVALID_POLICY        32u  /* bad policy names, or no such policy */
#define RSPI_RC_INVALID_RESOURCE      33u  /* bad resource name, or no such resource */
#define RSPI_RC_INVALID_RESGROUP      34u  /* bad resource-group name, or no such group */
#define RSPI_RC_INVALID_RESCREDS      35u  /* bad credential name, or no such credential */
#define RSPI_RC_USER_EXISTS           40u
#define RSPI_RC_GROUP_EXISTS          41u
#define RSPI_RC_POLICY_EXISTS         42u
#define RSPI_RC_RESOURCE_EXISTS       43u
#define RSPI_RC_RESGROUP_EXISTS       44u
#define RSPI_RC_RESCREDS_EXISTS       45u

/* Opaque bytes kept in a "_blob" file beside their record. */
typedef struct rspi_blob {
    uint32_t length;
    unsigned char *data;
} rspi_blob;

/* Login-type names; types[] is a trailing array of count entries. */
typedef struct rspi_logintypes {
    int32_t count;
    char *types[1];
} rspi_logintypes;

/* Authentication data; type 1 is a password of length bytes (not NUL-terminated). */
typedef struct rspi_authndata {
    uint32_t type;
    uint32_t length;
    char *data;
} rspi_authndata;

/* One entry of an enumeration list. flag 2 marks a registry-id entry. */
typedef struct rspi_list_item {
    struct rspi_list_item *next;
    struct rspi_list_item *prev;
    uint32_t flag;
    char *data;
} rspi_list_item;

/*
 * Enumeration lists. count -1 means "not loaded yet": the first count, first,
 * next or previous call loads the entries from file. The cursor lives in
 * previous/current. A listing operation (rspi_get_userlist, rspi_get_grouplist,
 * rspi_get_policylist, ...) resets the record without releasing entries that
 * already hang on it: pass a fresh record (rspi_alloc_*list) to every listing.
 */
#define RSPI_LIST_FIELDS      \
    uint32_t kind;            \
    int32_t count;            \
    char *file;               \
    rspi_list_item *first;    \
    rspi_list_item *previous; \
    rspi_list_item *current;

typedef struct rspi_userlist { RSPI_LIST_FIELDS } rspi_userlist;
typedef struct rspi_grouplist { RSPI_LIST_FIELDS } rspi_grouplist;
typedef struct rspi_policylist { RSPI_LIST_FIELDS } rspi_policylist;
typedef struct rspi_resourcelist { RSPI_LIST_FIELDS } rspi_resourcelist;
typedef struct rspi_resgrouplist { RSPI_LIST_FIELDS } rspi_resgrouplist;
typedef struct rspi_rescredslist { RSPI_LIST_FIELDS } rspi_rescredslist;

typedef struct rspi_user {
    char *user_id;
    char *domain;
    char *description;
    uint32_t number_1;
    unsigned char uuid[16];
    char *uuid_string;
    int32_t flag_1;          /* 0, 1; 2 = not given */
    int32_t account_valid;   /* 0, 1; 2 = not given */
    rspi_authndata *password;
    rspi_logintypes *login_types;
    char *text_1;
    char *text_2;
    char *text_3;
    char *registry_id;
    rspi_grouplist *groups;
    int32_t number_2;        /* -1 = not given */
    uint32_t ulong_1;
    uint32_t ulong_2;
    uint32_t ulong_3;
    char *text_4;
    char *cert_dn;
    char *text_5;
    void *reserved;
    rspi_blob *blob;
} rspi_user;

typedef struct rspi_group {
    char *group_id;
    char *domain;
    char *description;
    uint32_t attribute;
    unsigned char uuid[16];
    char *uuid_string;
    uint32_t state;          /* 2 = not given */
    char *registry_id;
    rspi_userlist *members;
    void *reserved;
    rspi_blob *blob;
} rspi_group;

typedef struct rspi_policy {
    char *policy_id;
    char *domain;
    char *description;
    uint32_t attribute;
    unsigned char uuid[16];
    char *uuid_string;
    uint32_t state;          /* 2 = not given */
    int32_t long_1;
    int32_t number_2;        /* number_N: -1 = not set */
    int32_t number_3;
    int32_t number_4;
    int32_t number_5;
    int32_t number_6;
    int32_t number_7;
    int32_t number_8;
    int32_t number_9;
    int32_t number_10;
    int32_t number_11;
    int32_t number_12;
    int32_t number_13;
    int32_t number_14;
    int32_t number_15;
    int32_t number_16;
    uint32_t flag_2;         /* 2 = not given */
    uint32_t flag_3;         /* 2 = not given */
    char *text_1;
    uint32_t reserved;
    rspi_blob *blob;
    int32_t number_17;
} rspi_policy;

typedef struct rspi_resource {
    char *name;
    char *description;
    uint32_t attribute;
    unsigned char uuid[16];
    char *uuid_string;
    uint32_t state;          /* 2 = not given */
    uint32_t reserved;
    rspi_blob *blob;
} rspi_resource;

/* Member resource names; names[] is a trailing array of count entries. */
typedef struct rspi_resgroupmembers {
    int32_t count;
    char *names[1];
} rspi_resgroupmembers;

typedef struct rspi_resgroup {
    char *name;
    char *description;
    uint32_t attribute;
    unsigned char uuid[16];
    char *uuid_string;
    uint32_t state;          /* 2 = not given */
    rspi_resgroupmembers *members;
    uint32_t reserved;
    rspi_blob *blob;
} rspi_resgroup;

typedef struct rspi_rescreds {
    char *name;
    char *description;
    uint32_t attribute;
    unsigned char uuid[16];
    char *uuid_string;
    uint32_t state;          /* 2 = not given */
    char *text_1;
    rspi_authndata *password;
    uint32_t reserved;
    rspi_blob *blob;
} rspi_rescreds;

/* Diagnostics: when verbose is non-zero, operations trace onto debugOutput. */
extern int32_t verbose;
extern FILE *debugOutput;

/* Frame. */
uint32_t rspi_initialize(char ***handle, const char *config_file);
uint32_t rspi_terminate(char **handle);

/* Constant queries and domain stubs: they ignore their arguments. */
uint32_t rspi_version(char **handle);
const char *rspi_registry_type(char **handle);
uint32_t rspi_authn_type(char **handle);
uint32_t rspi_extensions(char **handle);
uint32_t rspi_lib_init(char **handle);
uint32_t rspi_router(char **handle);
uint32_t rspi_get_registry_properties(char **handle, void *properties);
uint32_t rspi_create_domain_handle(char **handle, const char *domain, void **domain_handle);
uint32_t rspi_delete_domain_handle(char **handle, void *domain_handle);
uint32_t rspi_create_domain(char **handle, const char *domain);
uint32_t rspi_delete_domain(char **handle, const char *domain);
uint32_t rspi_get_domain_name(char **handle, void *domain_handle, char **domain);
uint32_t rspi_is_registry_server_up(char **handle);

/* Users. */
uint32_t rspi_create_user(char **handle, rspi_user *user);
uint32_t rspi_get_user(char **handle, rspi_user *user);
uint32_t rspi_modify_user(char **handle, rspi_user *user);
uint32_t rspi_delete_user(char **handle, rspi_user *user);
uint32_t rspi_disable_user(char **handle, rspi_user *user);
uint32_t rspi_enable_user(char **handle, rspi_user *user);
uint32_t rspi_authenticate_user(char **handle, rspi_user *user, rspi_authndata *authn);
uint32_t rspi_change_authndata(char **handle, rspi_user *user, rspi_authndata *old_authn,
                               rspi_authndata *new_authn);
uint32_t rspi_get_user_by_uuid(char **handle, rspi_user *user);
uint32_t rspi_get_user_by_certdn(char **handle, rspi_user *user);
uint32_t rspi_get_user_by_rgyid(char **handle, rspi_user *user);
uint32_t rspi_get_userlist(char **handle, rspi_userlist *list, uint32_t mode, const char *id_filter,
                           const char *domain_filter, const char *registry_id_filter);
uint32_t rspi_userlist_add_user(char **handle, rspi_userlist *list, char **names, int32_t count);
int32_t rspi_userlist_count(char **handle, rspi_userlist *list);
uint32_t rspi_first_user(char **handle, rspi_userlist *list, rspi_user *user, int32_t fetch);
uint32_t rspi_next_user(char **handle, rspi_userlist *list, rspi_user *user, int32_t fetch);
uint32_t rspi_previous_user(char **handle, rspi_userlist *list, rspi_user *user, int32_t fetch);
uint32_t rspi_user_grouplist(char **handle, rspi_user *user, rspi_grouplist *groups);

/* Groups. */
uint32_t rspi_create_group(char **handle, rspi_group *group);
uint32_t rspi_get_group(char **handle, rspi_group *group);
uint32_t rspi_modify_group(char **handle, rspi_group *group);
uint32_t rspi_delete_group(char **handle, rspi_group *group);
uint32_t rspi_disable_group(char **handle, rspi_group *group);
uint32_t rspi_enable_group(char **handle, rspi_group *group);
uint32_t rspi_add_group_member(char **handle, rspi_group *group, rspi_user *user);
uint32_t rspi_remove_group_member(char **handle, rspi_group *group, rspi_user *user);
uint32_t rspi_get_group_by_uuid(char **handle, rspi_group *group);
uint32_t rspi_get_group_by_rgyid(char **handle, rspi_group *group);
uint32_t rspi_group_userlist(char **handle, rspi_group *group, rspi_userlist *members);
uint32_t rspi_get_grouplist(char **handle, rspi_grouplist *list, uint32_t mode, const char *id_filter,
                            const char *domain_filter, const char *registry_id_filter);
uint32_t rspi_grouplist_add_group(char **handle, rspi_grouplist *list, char **names, int32_t count);
int32_t rspi_grouplist_count(char **handle, rspi_grouplist *list);
uint32_t rspi_first_group(char **handle, rspi_grouplist *list, rspi_group *group, int32_t fetch);
uint32_t rspi_next_group(char **handle, rspi_grouplist *list, rspi_group *group, int32_t fetch);
uint32_t rspi_previous_group(char **handle, rspi_grouplist *list, rspi_group *group, int32_t fetch);

/* Authorization policies. */
uint32_t rspi_create_policy(char **handle, rspi_policy *policy);
uint32_t rspi_get_policy(char **handle, rspi_policy *policy);
uint32_t rspi_modify_policy(char **handle, rspi_policy *policy);
uint32_t rspi_delete_policy(char **handle, rspi_policy *policy);
uint32_t rspi_get_policylist(char **handle, rspi_policylist *list);
int32_t rspi_policylist_count(char **handle, rspi_policylist *list);
uint32_t rspi_first_policy(char **handle, rspi_policylist *list, rspi_policy *policy, int32_t fetch);
uint32_t rspi_next_policy(char **handle, rspi_policylist *list, rspi_policy *policy, int32_t fetch);
uint32_t rspi_previous_policy(char **handle, rspi_policylist *list, rspi_policy *policy, int32_t fetch);

/* Resources. */
uint32_t rspi_create_resource(char **handle, rspi_resource *resource);
uint32_t rspi_get_resource(char **handle, rspi_resource *resource);
uint32_t rspi_modify_resource(char **handle, rspi_resource *resource);
uint32_t rspi_delete_resource(char **handle, rspi_resource *resource);
uint32_t rspi_get_resourcelist(char **handle, rspi_resourcelist *list);
int32_t rspi_resourcelist_count(char **handle, rspi_resourcelist *list);
uint32_t rspi_first_resource(char **handle, rspi_resourcelist *list, rspi_resource *resource, int32_t fetch);
uint32_t rspi_next_resource(char **handle, rspi_resourcelist *list, rspi_resource *resource, int32_t fetch);
uint32_t rspi_previous_resource(char **handle, rspi_resourcelist *list, rspi_resource *resource,
                                int32_t fetch);

/* Resource groups. */
uint32_t rspi_create_resgroup(char **handle, rspi_resgroup *resgroup);
uint32_t rspi_get_resgroup(char **handle, rspi_resgroup *resgroup);
uint32_t rspi_modify_resgroup(char **handle, rspi_resgroup *resgroup);
uint32_t rspi_delete_resgroup(char **handle, rspi_resgroup *resgroup);
uint32_t rspi_add_resgroup_member(char **handle, rspi_resgroup *resgroup, char *member);
uint32_t rspi_remove_resgroup_member(char **handle, rspi_resgroup *resgroup, char *member);
uint32_t rspi_get_resgrouplist(char **handle, rspi_resgrouplist *list);
int32_t rspi_resgrouplist_count(char **handle, rspi_resgrouplist *list);
uint32_t rspi_first_resgroup(char **handle, rspi_resgrouplist *list, rspi_resgroup *resgroup, int32_t fetch);
uint32_t rspi_next_resgroup(char **handle, rspi_resgrouplist *list, rspi_resgroup *resgroup, int32_t fetch);
uint32_t rspi_previous_resgroup(char **handle, rspi_resgrouplist *list, rspi_resgroup *resgroup,
                                int32_t fetch);

/* Resource credentials of a user. */
uint32_t rspi_create_rescreds(char **handle, rspi_user *user, rspi_rescreds *creds);
uint32_t rspi_get_rescreds(char **handle, rspi_user *user, rspi_rescreds *creds);
uint32_t rspi_modify_rescreds(char **handle, rspi_user *user, rspi_rescreds *creds);
uint32_t rspi_delete_rescreds(char **handle, rspi_user *user, rspi_rescreds *creds);
uint32_t rspi_get_rescredslist(char **handle, rspi_user *user, rspi_rescredslist *list);
int32_t rspi_rescredslist_count(char **handle, rspi_rescredslist *list);
uint32_t rspi_first_rescreds(char **handle, rspi_rescredslist *list, rspi_rescreds *creds, int32_t fetch);
uint32_t rspi_next_rescreds(char **handle, rspi_rescredslist *list, rspi_rescreds *creds, int32_t fetch);
uint32_t rspi_previous_rescreds(char **handle, rspi_rescredslist *list, rspi_rescreds *creds, int32_t fetch);

#ifdef __cplusplus
}
#endif

#endif /* TOLV_RSPI_H */
