// Sequences of exported calls with arbitrary names against a fresh registry;
// after every call the indexes must parse and no temporary file may remain.
#include <dirent.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "rspi.h"
#include "tolv.h"

namespace {

// Reads names and numbers off the fuzzer's bytes.
class Input {
public:
    Input(const uint8_t *d, size_t n) : d_(d), n_(n) {}
    bool done() const { return i_ >= n_; }
    uint8_t byte() { return i_ < n_ ? d_[i_++] : 0; }
    // A name: a length byte then that many bytes; 0xff gives a 300-byte name.
    std::string name() {
        const uint8_t len = byte();
        if (len == 0xff) return std::string(300, static_cast<char>('a' + byte() % 26));
        std::string s;
        for (uint8_t k = 0; k < len % 24 && i_ < n_; ++k) {
            const char c = static_cast<char>(d_[i_++]);
            if (c != '\0') s.push_back(c);
        }
        return s;
    }

private:
    const uint8_t *d_;
    size_t n_;
    size_t i_ = 0;
};

char *dup(const std::string &s) { return rspi_strdup(s.c_str()); }

[[noreturn]] void broken(const std::string &file, const std::string &why) {
    std::fprintf(stderr, "invariant broken in %s: %s\n", file.c_str(), why.c_str());
    __builtin_trap();
}

// Every index parses: lines whole (at most 249 bytes with the newline), the
// user and group lists with both double-blank separators, entry lists sorted
// and without duplicates; no temporary file anywhere.
void check_invariants() {
    DIR *d = opendir(tolvfuzz::registry_dir().c_str());
    if (!d) __builtin_trap();
    while (dirent *e = readdir(d)) {
        const std::string name = e->d_name;
        if (name.ends_with("_T")) broken(name, "temporary file left");
        const bool userish = name == "userlist.file" || name == "grouplist.file";
        const bool entry = !userish && (name.ends_with(".file") || name.ends_with(".GPmembers") ||
                                        name.ends_with(".myGroups") || name.ends_with(".myResCreds") ||
                                        name.ends_with(".RGmembers"));
        if (!userish && !entry) continue;
        const std::string text = tolvfuzz::slurp(name);
        std::string prev;
        bool first = true;
        size_t start = 0;
        while (start < text.size()) {
            size_t nl = text.find('\n', start);
            if (nl == std::string::npos) broken(name, "last line without newline");
            const std::string line = text.substr(start, nl - start);
            start = nl + 1;
            if (line.size() + 1 > 249) broken(name, "line longer than a piece: " + line);
            if (userish) {
                const size_t a = line.find("  ");
                if (a == std::string::npos || line.find("  ", a + 2) == std::string::npos) broken(name, "malformed: " + line);
            } else {
                // Lists keep the order of their lines with the newline, which differs
                // from the entries' own order for bytes below '\n'.
                if (!first && !(prev + "\n" < line + "\n")) broken(name, "out of order: \"" + prev + "\" then \"" + line + "\"");
                prev = line;
                first = false;
            }
        }
    }
    closedir(d);
}

void run(char **h, Input &in) {
    const uint8_t op = in.byte() % 16;
    rspi_user *u = rspi_alloc_user();
    rspi_group *g = rspi_alloc_group();
    u->domain = dup(in.name());
    u->user_id = dup(in.name());
    g->domain = dup(in.name());
    g->group_id = dup(in.name());
    switch (op) {
    case 0:
        u->registry_id = dup(in.name());
        u->cert_dn = dup(in.name());
        u->flag_1 = 2;
        u->account_valid = 2;
        rspi_create_user(h, u);
        break;
    case 1:
        u->cert_dn = dup(in.name());
        u->description = dup(in.name());
        u->flag_1 = 2;
        u->account_valid = 2;
        u->number_2 = -1;
        rspi_modify_user(h, u);
        break;
    case 2: rspi_delete_user(h, u); break;
    case 3: rspi_disable_user(h, u); break;
    case 4:
        u->registry_id = dup(in.name());
        u->flag_1 = 2;
        u->account_valid = 2;
        u->number_2 = -1;
        rspi_enable_user(h, u);
        break;
    case 5:
        g->registry_id = dup(in.name());
        g->state = 2;
        rspi_create_group(h, g);
        break;
    case 6: rspi_add_group_member(h, g, u); break;
    case 7: rspi_remove_group_member(h, g, u); break;
    case 8: rspi_delete_group(h, g); break;
    case 9: rspi_disable_group(h, g); break;
    case 10:
        g->registry_id = dup(in.name());
        g->state = 2;
        rspi_enable_group(h, g);
        break;
    case 11: {
        rspi_rescreds *c = rspi_alloc_rescreds();
        c->name = dup(in.name());
        c->state = 2;
        if (in.byte() & 1)
            rspi_create_rescreds(h, u, c);
        else
            rspi_delete_rescreds(h, u, c);
        rspi_free_rescreds(c);
        break;
    }
    case 12: {
        rspi_userlist *l = rspi_alloc_userlist();
        rspi_get_userlist(h, l, in.byte() % 4, nullptr, nullptr, nullptr);
        while (rspi_next_user(h, l, u, in.byte() & 1) == 0) {
        }
        rspi_free_userlist(l);
        break;
    }
    case 13: {
        rspi_grouplist *l = rspi_alloc_grouplist();
        rspi_get_grouplist(h, l, in.byte() % 4, nullptr, nullptr, nullptr);
        while (rspi_next_group(h, l, g, in.byte() & 1) == 0) {
        }
        rspi_free_grouplist(l);
        break;
    }
    case 14: {
        rspi_authndata *a = rspi_alloc_authndata();
        const std::string pw = in.name();
        a->type = 1;
        a->length = static_cast<uint32_t>(pw.size());
        a->data = dup(pw);
        rspi_authenticate_user(h, u, a);
        rspi_free_authndata(a);
        break;
    }
    default: {
        rspi_resgroup *rg = rspi_alloc_resgroup();
        rspi_resource *r = rspi_alloc_resource();
        r->name = dup(in.name());
        r->state = 2;
        rg->name = dup(in.name());
        rg->state = 2;
        rspi_create_resource(h, r);
        rspi_create_resgroup(h, rg);
        rspi_add_resgroup_member(h, rg, r->name);
        if (in.byte() & 1) rspi_delete_resource(h, r);
        rspi_free_resource(r);
        rspi_free_resgroup(rg);
        break;
    }
    }
    rspi_free_user(u);
    rspi_free_group(g);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    char **h = tolvfuzz::handle();
    tolvfuzz::clear_registry();
    Input in(data, size);
    for (int calls = 0; !in.done() && calls < 32; ++calls) {
        run(h, in);
        check_invariants();
    }
    return 0;
}
