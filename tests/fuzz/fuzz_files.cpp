// Arbitrary bytes as one index or record file, then every operation that
// reads it: listings, walks, lookups, get, modify, authenticate, delete.
#include <string>

#include "fuzz_support.h"
#include "rspi.h"
#include "tolv.h"

namespace {

const char *const kTargets[] = {
    "userlist.file",      "grouplist.file",     "certdnlist.file",    "corp_ann.QZuser",  "corp_dev.QZgroup",
    "corp_gold.QZpolicy", "web.QZresource",     "rg.QZresgroup",      "corp_ann_web.QZrescreds",
    "corp_ann.myGroups",  "corp_dev.GPmembers", "corp_ann.myResCreds", "policylist.file", "resourcelist.file",
    "resgrouplist.file",  "rg.RGmembers",       "corp_ann.QZuser_blob",
};

const char kUser[] = "ann\ncorp\n0\n1\npw\n\n0\n0a3c6a02-7c4e-4b7e-9d1e-1b2c3d4e5f60\n\n\n\n\nANN\n0\n0\n0\n0\n\ncn=ann\n\n";

rspi_user *ann() {
    rspi_user *u = rspi_alloc_user();
    u->domain = rspi_strdup("corp");
    u->user_id = rspi_strdup("ann");
    return u;
}

void reads(char **h) {
    {
        rspi_userlist *l = rspi_alloc_userlist();
        rspi_user *u = rspi_alloc_user();
        for (uint32_t mode = 0; mode < 4; ++mode) {
            rspi_free_userlist(l);
            l = rspi_alloc_userlist();
            rspi_get_userlist(h, l, mode, nullptr, "c*", nullptr);
            for (int k = 0; k < 64 && rspi_next_user(h, l, u, 1) == 0; ++k) {
            }
            rspi_previous_user(h, l, u, 0);
        }
        rspi_free_userlist(l);
        rspi_free_user(u);
    }
    {
        rspi_grouplist *l = rspi_alloc_grouplist();
        rspi_group *g = rspi_alloc_group();
        rspi_get_grouplist(h, l, 0, nullptr, nullptr, nullptr);
        for (int k = 0; k < 64 && rspi_next_group(h, l, g, 1) == 0; ++k) {
            rspi_userlist *m = rspi_alloc_userlist();
            rspi_group_userlist(h, g, m);
            rspi_free_userlist(m);
        }
        rspi_free_grouplist(l);
        rspi_free_group(g);
    }
    {
        rspi_user *u = ann();
        rspi_get_user(h, u);
        rspi_grouplist *gl = rspi_alloc_grouplist();
        rspi_group *g = rspi_alloc_group();
        rspi_user_grouplist(h, u, gl);
        for (int k = 0; k < 64 && rspi_next_group(h, gl, g, 1) == 0; ++k) {
        }
        rspi_free_grouplist(gl);
        rspi_free_group(g);
        rspi_rescredslist *cl = rspi_alloc_rescredslist();
        rspi_rescreds *c = rspi_alloc_rescreds();
        rspi_get_rescredslist(h, u, cl);
        for (int k = 0; k < 64 && rspi_next_rescreds(h, cl, c, 1) == 0; ++k) {
        }
        rspi_free_rescredslist(cl);
        rspi_free_rescreds(c);
        rspi_authndata *a = rspi_alloc_authndata();
        a->type = 1;
        a->length = 2;
        a->data = rspi_strdup("pw");
        rspi_authenticate_user(h, u, a);
        rspi_free_authndata(a);
        rspi_free_user(u);
    }
    for (const char *key : {"uuid", "cert", "rgy"}) {
        rspi_user *u = rspi_alloc_user();
        if (key[0] == 'u') {
            u->uuid_string = rspi_strdup("0a3c6a02");
            rspi_get_user_by_uuid(h, u);
        } else if (key[0] == 'c') {
            u->cert_dn = rspi_strdup("cn=ann");
            rspi_get_user_by_certdn(h, u);
        } else {
            u->registry_id = rspi_strdup("ann");
            rspi_get_user_by_rgyid(h, u);
        }
        rspi_free_user(u);
    }
    {
        rspi_group *g = rspi_alloc_group();
        g->registry_id = rspi_strdup("dev");
        rspi_get_group_by_rgyid(h, g);
        rspi_free(g->uuid_string);
        g->uuid_string = rspi_strdup("0");
        rspi_get_group_by_uuid(h, g);
        rspi_free_group(g);
    }
    {
        rspi_policylist *l = rspi_alloc_policylist();
        rspi_policy *p = rspi_alloc_policy();
        rspi_get_policylist(h, l);
        for (int k = 0; k < 64 && rspi_next_policy(h, l, p, 1) == 0; ++k) {
        }
        rspi_free_policylist(l);
        rspi_free_policy(p);
        rspi_resourcelist *rl = rspi_alloc_resourcelist();
        rspi_resource *r = rspi_alloc_resource();
        rspi_get_resourcelist(h, rl);
        for (int k = 0; k < 64 && rspi_next_resource(h, rl, r, 1) == 0; ++k) {
        }
        rspi_free_resourcelist(rl);
        rspi_free_resource(r);
        rspi_resgrouplist *gl = rspi_alloc_resgrouplist();
        rspi_resgroup *rg = rspi_alloc_resgroup();
        rspi_get_resgrouplist(h, gl);
        for (int k = 0; k < 64 && rspi_next_resgroup(h, gl, rg, 1) == 0; ++k) {
        }
        rspi_free_resgrouplist(gl);
        rspi_free_resgroup(rg);
    }
}

void writes(char **h) {
    rspi_user *u = ann();
    u->flag_1 = 2;
    u->account_valid = 2;
    u->number_2 = -1;
    u->text_1 = rspi_strdup("t");
    rspi_modify_user(h, u);
    rspi_group *g = rspi_alloc_group();
    g->domain = rspi_strdup("corp");
    g->group_id = rspi_strdup("dev");
    g->state = 2;
    rspi_modify_group(h, g);
    rspi_delete_group(h, g);
    rspi_delete_user(h, u);
    rspi_free_group(g);
    rspi_free_user(u);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    char **h = tolvfuzz::handle();
    tolvfuzz::clear_registry();
    tolvfuzz::put("corp_ann.QZuser", reinterpret_cast<const uint8_t *>(kUser), sizeof kUser - 1);
    const char *target = kTargets[data[0] % (sizeof kTargets / sizeof kTargets[0])];
    tolvfuzz::put(target, data + 1, size - 1);
    reads(h);
    writes(h);
    return 0;
}
