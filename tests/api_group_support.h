// Records and helpers for the group and user-enumeration tests.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "registry.h"
#include "tolv.h"

namespace tolvtest {

template <class T, void (*Free)(T *)>
struct Freer {
    void operator()(T *p) const { Free(p); }
};
using Group = std::unique_ptr<rspi_group, Freer<rspi_group, rspi_free_group>>;
using User = std::unique_ptr<rspi_user, Freer<rspi_user, rspi_free_user>>;
using UserList = std::unique_ptr<rspi_userlist, Freer<rspi_userlist, rspi_free_userlist>>;
using GroupList = std::unique_ptr<rspi_grouplist, Freer<rspi_grouplist, rspi_free_grouplist>>;

inline void set(char *&field, const char *v) {
    rspi_free(field);
    field = v ? rspi_strdup(v) : nullptr;
}

inline Group group(const char *domain, const char *id, const char *registry_id = nullptr) {
    Group g(rspi_alloc_group());
    set(g->domain, domain);
    set(g->group_id, id);
    set(g->registry_id, registry_id);
    g->state = 2;
    return g;
}

inline User user(const char *domain, const char *id) {
    User u(rspi_alloc_user());
    set(u->domain, domain);
    set(u->user_id, id);
    return u;
}

inline UserList userlist() { return UserList(rspi_alloc_userlist()); }
inline GroupList grouplist() { return GroupList(rspi_alloc_grouplist()); }

// The entries of a list record as (flag, data), following next from first.
template <class L>
std::vector<std::pair<uint32_t, std::string>> entries(const L *list) {
    std::vector<std::pair<uint32_t, std::string>> out;
    for (const rspi_list_item *i = list->first; i; i = i->next) out.emplace_back(i->flag, i->data ? i->data : "");
    return out;
}

inline std::string str(const char *s) { return s ? s : "(null)"; }

// A minimal user file of the twenty-line format: enough for membership,
// which only checks that the file exists.
inline std::string user_file_text(const std::string &domain, const std::string &id, const std::string &rid) {
    return id + "\n" + domain + "\n0\n1\npw\n\n0\n\n\n\n\n\n" + rid + "\n0\n0\n0\n0\n\n\n\n";
}

}  // namespace tolvtest
