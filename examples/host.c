/*
 * host.c - a minimal host: loads the plug-in with dlopen, opens the registry
 * named by a configuration file, creates a user with a password and
 * authenticates it.
 *
 *   cc host.c $(pkg-config --cflags --libs tolv) -ldl -o host
 *   printf 'dir=%s/\n' "$PWD/registry" > tolv.conf && mkdir -p registry
 *   ./host tolv.conf
 */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include <tolv/rspi.h>
#include <tolv/tolv.h> /* librspiutil: rspi_alloc_user, rspi_free_user, ... */

typedef uint32_t initialize_fn(char ***handle, const char *config_file);
typedef uint32_t user_fn(char **handle, rspi_user *user);
typedef uint32_t authenticate_fn(char **handle, rspi_user *user, rspi_authndata *authn);
typedef uint32_t terminate_fn(char **handle);

/* A password as authentication data: type 1, length bytes, no terminator needed. */
static rspi_authndata *password(const char *text) {
    rspi_authndata *authn = rspi_alloc_authndata();
    if (!authn) return NULL;
    authn->type = 1;
    authn->length = (uint32_t)strlen(text);
    authn->data = rspi_strdup(text);
    if (!authn->data) {
        rspi_free_authndata(authn);
        return NULL;
    }
    return authn;
}

/* A user record naming DOMAIN/ID; the other fields say "not given". */
static rspi_user *user_record(const char *domain, const char *id) {
    rspi_user *u = rspi_alloc_user();
    if (!u) return NULL;
    u->domain = rspi_strdup(domain);
    u->user_id = rspi_strdup(id);
    u->flag_1 = 2;
    u->account_valid = 2;
    u->number_2 = -1;
    if (!u->domain || !u->user_id) {
        rspi_free_user(u);
        return NULL;
    }
    return u;
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s CONFIG-FILE\n", argv[0]);
        return 2;
    }

    /* The loader finds the plug-in on the library path (LD_LIBRARY_PATH, the
       executable's run path, ld.so.conf). */
    void *lib = dlopen("libtolvflatfile.so", RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    initialize_fn *initialize = (initialize_fn *)dlsym(lib, "rspi_initialize");
    user_fn *create_user = (user_fn *)dlsym(lib, "rspi_create_user");
    user_fn *get_user = (user_fn *)dlsym(lib, "rspi_get_user");
    authenticate_fn *authenticate = (authenticate_fn *)dlsym(lib, "rspi_authenticate_user");
    terminate_fn *terminate = (terminate_fn *)dlsym(lib, "rspi_terminate");
    if (!initialize || !create_user || !get_user || !authenticate || !terminate) {
        fprintf(stderr, "dlsym: %s\n", dlerror());
        dlclose(lib);
        return 1;
    }

    char **h = NULL;
    uint32_t rc = initialize(&h, argv[1]);
    if (rc != RSPI_RC_SUCCESS) { /* 4: unreadable or no dir= line; there is no handle */
        fprintf(stderr, "rspi_initialize: rc = %u\n", (unsigned)rc);
        dlclose(lib);
        return 1;
    }

    int status = 1;
    rspi_user *u = user_record("Corp", "Ann"); /* key names are lower-cased in place */
    rspi_authndata *right = password("s3cret");
    rspi_authndata *wrong = password("guess");
    if (!u || !right || !wrong) {
        fprintf(stderr, "out of memory\n");
        goto out;
    }

    /* The record lends its password to create; the plug-in stores it as it is, in the user file. */
    u->password = right;
    u->registry_id = rspi_strdup("ann@corp");
    rc = create_user(h, u);
    u->password = NULL; /* lent, not given: clear it before the record is freed */
    if (rc != RSPI_RC_SUCCESS && rc != RSPI_RC_USER_EXISTS) {
        fprintf(stderr, "rspi_create_user: rc = %u\n", (unsigned)rc);
        goto out;
    }
    printf("created %s/%s%s\n", u->domain, u->user_id, rc == RSPI_RC_USER_EXISTS ? " (it was there)" : "");

    rc = get_user(h, u); /* fills the record in; rspi_free_user releases all of it */
    if (rc != RSPI_RC_SUCCESS) {
        fprintf(stderr, "rspi_get_user: rc = %u\n", (unsigned)rc);
        goto out;
    }
    printf("uuid %s, registry id %s\n", u->uuid_string ? u->uuid_string : "-",
           u->registry_id ? u->registry_id : "-");

    uint32_t good = authenticate(h, u, right);
    uint32_t bad = authenticate(h, u, wrong);
    printf("right password: rc = %u, wrong password: rc = %u\n", (unsigned)good, (unsigned)bad);
    if (good == RSPI_RC_SUCCESS && bad == RSPI_RC_AUTHN_FAILED) status = 0;

out:
    rspi_free_authndata(wrong);
    rspi_free_authndata(right);
    rspi_free_user(u);
    terminate(h);
    dlclose(lib);
    return status;
}
