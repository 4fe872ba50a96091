// tolvinternal_resource.cpp - storage of resources: the resource file, its
// blob, the resource list and the check that a name is an existing resource.
#include "tolvinternal.h"

namespace tolv {

bool resource_name_fits(std::string_view name) {
    // The longest name is the blob's while it is written: "_blob" + "_T".
    return one_line(name) &&
           component_fits(resource_file({}, name).size(), kBlobSuffix.size() + kTempSuffix.size()) &&
           entry_fits(name.size());
}

Rc ui_validate_resource(std::string_view dir, char *name) {
    if (!usable_name(name)) return Rc::InvalidResource;
    ui_tolower(name);
    if (!resource_name_fits(name)) return Rc::InvalidResource;
    return io::present(io::probe(resource_file(dir, name)), Rc::InvalidResource);
}

Rc ui_replace_resource(std::string_view dir, rspi_resource *resource, bool create_uuid) {
    if (!resource || !resource->name || !resource_name_fits(resource->name)) return Rc::InvalidResource;
    if (!storable_texts(resource->description, resource->uuid_string)) return Rc::InvalidResource;
    const std::string path = resource_file(dir, resource->name);
    if (resource->state == 2) resource->state = 1;
    if (create_uuid) ui_uuid_create(resource->uuid, resource->uuid_string);

    RecordWriter w;
    w.text(resource->name)
        .u32(resource->state)
        .text(resource->description)
        .u32(resource->attribute)
        .text(resource->uuid_string);
    if (resource->blob) w.u32(resource->blob->length);
    if (!io::write_file(path, w.bytes())) return Rc::FileError;

    if (resource->blob) {
        const Rc rc = ui_write_blob(blob_file(path), resource->blob);
        if (!ok(rc)) return rc;  // the file stays, without a list entry
    }
    return ui_add_to_resourcelist(dir, resource);
}

Rc ui_add_to_resourcelist(std::string_view dir, rspi_resource *resource) {
    return ui_add_to_entrylist(dir, kResourceList, resource->name);
}

Rc ui_remove_from_resourcelist(std::string_view dir, rspi_resource *resource) {
    return ui_remove_from_entrylist(dir, kResourceList, resource->name);
}

}  // namespace tolv
