// tolvresource.cpp - resources: create, get, modify, delete, the enumeration
// of "resourcelist.file", and the check that a name is an existing resource.
#include "tolvinternal.h"

namespace tolv {

namespace {

constexpr FamilyTexts kTexts{text::create_resource,  text::get_resource,    text::modify_resource,
                             text::delete_resource,  text::get_resourcelist, text::resourcelist_count,
                             text::first_resource,   text::next_resource,   text::previous_resource};

const KeyedFamily<rspi_resource> kResource{
    .fields = format::kResourceFields,
    .read = {},
    .invalid = Rc::InvalidResource,
    .exists = Rc::ResourceExists,
    .list = kResourceList,
    .domain = nullptr,
    .id = &rspi_resource::name,
    .file = [](std::string_view dir, const rspi_resource *r) { return resource_file(dir, r->name); },
    .alloc = rspi_alloc_resource,
    .release = rspi_free_resource,
    .get_op = rspi_get_resource,
    .texts = kTexts,
};

Rc replace(std::string_view dir, rspi_resource *r, bool create) { return replace_keyed(kResource, dir, r, create); }

}  // namespace

Rc ui_validate_resource(std::string_view dir, char *name) {
    if (!usable_name(name)) return Rc::InvalidResource;
    ui_tolower(name);
    rspi_resource named{};
    named.name = name;
    if (!kResource.names_fit(&named)) return Rc::InvalidResource;
    return io::present(io::probe(resource_file(dir, name)), Rc::InvalidResource);
}

}  // namespace tolv

using tolv::kResource;
using tolv::Move;
using R = rspi_resource;
using RL = rspi_resourcelist;

TOLV_EXPORT uint32_t rspi_create_resource(char **h, R *r) {
    return tolv::traced_write_op(kResource.texts.create, h, [&](std::string_view dir) {
        return create_keyed(kResource, dir, r, [&](R *c) { return tolv::replace(dir, c, true); });
    });
}
TOLV_EXPORT uint32_t rspi_get_resource(char **h, R *r) {
    return tolv::traced_read_op(kResource.texts.get, h,
                                [&](std::string_view dir) { return get_keyed(kResource, dir, r); });
}
TOLV_EXPORT uint32_t rspi_modify_resource(char **h, R *r) {
    return tolv::traced_write_op(kResource.texts.modify, h, [&](std::string_view dir) {
        return modify_keyed(kResource, h, r, [](auto &) {}, [&](R *m) { return tolv::replace(dir, m, false); });
    });
}
TOLV_EXPORT uint32_t rspi_delete_resource(char **h, R *r) {
    return tolv::traced_write_op(kResource.texts.del, h,
                                 [&](std::string_view dir) { return delete_keyed(kResource, dir, r); });
}
TOLV_EXPORT uint32_t rspi_get_resourcelist(char **h, RL *l) { return keyed_list(kResource, h, l); }
TOLV_EXPORT int32_t rspi_resourcelist_count(char **h, RL *l) { return keyed_count(kResource, h, l); }
TOLV_EXPORT uint32_t rspi_first_resource(char **h, RL *l, R *r, int32_t fetch) {
    return keyed_step(kResource, h, l, r, fetch, Move::First);
}
TOLV_EXPORT uint32_t rspi_next_resource(char **h, RL *l, R *r, int32_t fetch) {
    return keyed_step(kResource, h, l, r, fetch, Move::Next);
}
TOLV_EXPORT uint32_t rspi_previous_resource(char **h, RL *l, R *r, int32_t fetch) {
    return keyed_step(kResource, h, l, r, fetch, Move::Previous);
}
