// tolvresource.cpp - resources: create, get, modify, delete, the enumeration of "resourcelist.file", and the
// check that a name is an existing resource.
#include "tolvinternal.h"

namespace tolv {

const KeyedFamily<rspi_resource> kResource{
    .of = format::kResourceFamily,
    .file = [](std::string_view dir, const rspi_resource *r) { return resource_file(dir, r->name); },
    .alloc = rspi_alloc_resource,
    .release = rspi_free_resource,
    .get_op = rspi_get_resource,
};

Rc ui_validate_resource(std::string_view dir, char *name) {
    if (!usable_name(name)) return Rc::InvalidResource;
    ui_tolower(name);
    rspi_resource named{};
    named.name = name;
    if (!kResource.names_fit(&named)) return Rc::InvalidResource;
    return io::present(io::probe(resource_file(dir, name)), Rc::InvalidResource);
}

}  // namespace tolv

TOLV_EXPORT uint32_t rspi_create_resource(char **h, rspi_resource *r) {
    return tolv::keyed_create(tolv::kResource, tolv::text::create_resource, h, r);
}
TOLV_EXPORT uint32_t rspi_get_resource(char **h, rspi_resource *r) {
    return tolv::keyed_get(tolv::kResource, tolv::text::get_resource, h, r);
}
TOLV_EXPORT uint32_t rspi_modify_resource(char **h, rspi_resource *r) {
    return tolv::keyed_modify(tolv::kResource, tolv::text::modify_resource, h, r);
}
TOLV_EXPORT uint32_t rspi_delete_resource(char **h, rspi_resource *r) {
    return tolv::keyed_delete(tolv::kResource, tolv::text::delete_resource, h, r);
}
TOLV_EXPORT uint32_t rspi_get_resourcelist(char **h, rspi_resourcelist *l) {
    return tolv::keyed_list(tolv::kResource, tolv::text::get_resourcelist, h, l);
}
TOLV_EXPORT int32_t rspi_resourcelist_count(char **h, rspi_resourcelist *l) {
    return tolv::count_op(tolv::text::resourcelist_count, h, l);
}
TOLV_EXPORT uint32_t rspi_first_resource(char **h, rspi_resourcelist *l, rspi_resource *r, int32_t fetch) {
    return tolv::keyed_step(tolv::kResource, tolv::text::first_resource, h, l, r, fetch, tolv::Move::First);
}
TOLV_EXPORT uint32_t rspi_next_resource(char **h, rspi_resourcelist *l, rspi_resource *r, int32_t fetch) {
    return tolv::keyed_step(tolv::kResource, tolv::text::next_resource, h, l, r, fetch, tolv::Move::Next);
}
TOLV_EXPORT uint32_t rspi_previous_resource(char **h, rspi_resourcelist *l, rspi_resource *r, int32_t fetch) {
    return tolv::keyed_step(tolv::kResource, tolv::text::previous_resource, h, l, r, fetch, tolv::Move::Previous);
}
