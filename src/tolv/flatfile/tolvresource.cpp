// tolvresource.cpp - resources: create, get, modify, delete, the enumeration of "resourcelist.file", and the
// check that a name is an existing resource.
#include "tolvinternal.h"

namespace tolv {

const KeyedFamily<rspi_resource> kResource{
    .fields = format::kResourceFields,
    .invalid = Rc::InvalidResource,
    .exists = Rc::ResourceExists,
    .list = kResourceList,
    .domain = nullptr,
    .id = &rspi_resource::name,
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

TOLV_KEYED_FAMILY_EXPORTS(resource, tolv::kResource, rspi_resource, rspi_resourcelist)
