// tolvgrouplist.cpp - group enumeration: listing "grouplist.file" by mode and
// filters, appending names, counting and walking a group list.
#include "tolvdiag.h"
#include "tolvinternal.h"

namespace tolv {

namespace {

constexpr IndexTexts kGroupListTexts{
    "UUID? grouplist entry invalid: %s\n",
    "registryGID? grouplist entry invalid: %s\n",
    "groupID? grouplist entry invalid: %s\n",
    "QZ domain = %s  QZ groupid = %s\n",
    "Flatfile registry GID = %s\n",
};

Rc get_grouplist(std::string_view dir, rspi_grouplist *list, const IndexFilters &filters) {
    if (!list) return Rc::InvalidGroup;
    return list_index(dir, kGroupList, list_ref(list), filters, kGroupListTexts);
}

// Fills the group from one entry: a registry-id entry names a disabled group
// (no group file, so fetch does not apply); a name entry gives the names.
Rc deliver_group(char **handle, rspi_group *g, const rspi_list_item &item, int32_t fetch) {
    if (item.flag == kRegistryIdEntry) {
        rspi_free(g->group_id);
        rspi_free(g->domain);
        g->group_id = g->domain = nullptr;
        return set_str(g->registry_id, item.data ? item.data : "");
    }
    if (const Rc rc = ui_split_name_entry(item.data, g->domain, g->group_id); !ok(rc)) return rc;
    return fetch ? static_cast<Rc>(rspi_get_group(handle, g)) : Rc::Success;
}

Rc traced_step(const text::OpText &t, char **handle, std::string_view dir, rspi_grouplist *list, rspi_group *g,
               int32_t fetch, Move move) {
    TOLV_TRACE("%s", t.entry);
    const Rc rc = cursor_step(dir, list, g, Rc::InvalidGroup, move,
                              [&](const rspi_list_item &item) { return deliver_group(handle, g, item, fetch); });
    TOLV_TRACE(t.exit, code(rc));
    return rc;
}

}  // namespace

}  // namespace tolv

using tolv::guarded_op;
namespace text = tolv::text;

TOLV_EXPORT uint32_t rspi_get_grouplist(char **handle, rspi_grouplist *list, uint32_t mode, const char *id_filter,
                                        const char *domain_filter, const char *registry_id_filter) {
    return guarded_op(handle, [&](std::string_view dir) {
        TOLV_TRACE("%s", text::get_grouplist.entry);
        const tolv::Rc rc =
            tolv::get_grouplist(dir, list, tolv::IndexFilters{mode, id_filter, domain_filter, registry_id_filter});
        TOLV_TRACE(text::get_grouplist.exit, tolv::code(rc));
        return rc;
    });
}

TOLV_EXPORT uint32_t rspi_grouplist_add_group(char **, rspi_grouplist *list, char **names, int32_t count) {
    // The handle is not needed: nothing is read or written.
    return tolv::guarded([&] { return list ? tolv::list_add_names(tolv::list_ref(list), names, count)
                                           : tolv::Rc::InvalidGroup; });
}

TOLV_EXPORT int32_t rspi_grouplist_count(char **handle, rspi_grouplist *list) {
    return tolv::guarded_count_op(
        handle, [&](std::string_view dir) { return tolv::traced_list_count(text::grouplist_count, dir, list); });
}

TOLV_EXPORT uint32_t rspi_first_group(char **handle, rspi_grouplist *list, rspi_group *group, int32_t fetch) {
    return guarded_op(handle, [&](std::string_view dir) {
        return tolv::traced_step(text::first_group, handle, dir, list, group, fetch, tolv::Move::First);
    });
}

TOLV_EXPORT uint32_t rspi_next_group(char **handle, rspi_grouplist *list, rspi_group *group, int32_t fetch) {
    return guarded_op(handle, [&](std::string_view dir) {
        return tolv::traced_step(text::next_group, handle, dir, list, group, fetch, tolv::Move::Next);
    });
}

TOLV_EXPORT uint32_t rspi_previous_group(char **handle, rspi_grouplist *list, rspi_group *group, int32_t fetch) {
    return guarded_op(handle, [&](std::string_view dir) {
        return tolv::traced_step(text::previous_group, handle, dir, list, group, fetch, tolv::Move::Previous);
    });
}
