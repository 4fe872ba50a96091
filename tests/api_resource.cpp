// Resources through the exported interface: the resource file and its blob,
// the resource list, the name collision of sanitised file names, the cursor
// and the diagnostics.
#include <string>
#include <vector>

#include "api_resource_support.h"
#include "registry.h"

namespace {

using tolvtest::bytes;
using tolvtest::lines;
using tolvtest::set;
using Resource = tolvtest::Rec<rspi_resource, rspi_alloc_resource, rspi_free_resource>;
using ResourceList = tolvtest::Rec<rspi_resourcelist, rspi_alloc_resourcelist, rspi_free_resourcelist>;

Resource named(const char *name) {
    Resource r;
    set(r->name, name);
    r->state = 2;
    return r;
}

class Resources : public tolvtest::Registry {
protected:
    uint32_t create(const char *name) { return rspi_create_resource(h, named(name).get()); }
    ResourceList listing() {
        ResourceList l;
        EXPECT_EQ(rspi_get_resourcelist(h, l.get()), 0u);
        return l;
    }
};

TEST_F(Resources, CreateWritesTheResourceFileAndReadsItBack) {
    Resource r = named("Printer:A");
    set(r->description, "first floor");
    r->attribute = 4000000000u;
    r->blob = tolvtest::blob(std::string_view("ab\0", 3));
    ASSERT_EQ(rspi_create_resource(h, r.get()), 0u);
    EXPECT_STREQ(r->name, "printer:a");
    EXPECT_EQ(r->state, 1u);
    ASSERT_NE(r->uuid_string, nullptr);
    EXPECT_EQ(lines(read("printer-a.QZresource")),
              (std::vector<std::string>{"printer:a", "1", "first floor", "4000000000", r->uuid_string, "3"}));
    EXPECT_EQ(read("printer-a.QZresource_blob"), std::string("ab\0", 3));
    EXPECT_EQ(read("resourcelist.file"), "printer:a\n");

    Resource got = named("PRINTER:A");
    ASSERT_EQ(rspi_get_resource(h, got.get()), 0u);
    EXPECT_STREQ(got->description, "first floor");
    EXPECT_EQ(got->attribute, 4000000000u);
    EXPECT_EQ(got->state, 1u);
    EXPECT_STREQ(got->uuid_string, r->uuid_string);
    EXPECT_EQ(std::memcmp(got->uuid, r->uuid, 16), 0);
    EXPECT_EQ(bytes(got->blob), std::string("ab\0", 3));
}

TEST_F(Resources, WithoutABlobThereIsNoLineSixAndAnEmptyBlobWritesZero) {
    ASSERT_EQ(create("plain"), 0u);
    EXPECT_EQ(lines(read("plain.QZresource")).size(), 5u);
    EXPECT_EQ(lines(read("plain.QZresource"))[2], "");  // null description

    Resource empty = named("empty");
    empty->blob = tolvtest::blob("");
    ASSERT_EQ(rspi_create_resource(h, empty.get()), 0u);
    EXPECT_EQ(lines(read("empty.QZresource"))[5], "0");
    EXPECT_FALSE(exists("empty.QZresource_blob"));
    Resource got = named("empty");
    got->blob = tolvtest::blob("old");
    ASSERT_EQ(rspi_get_resource(h, got.get()), 0u);
    EXPECT_EQ(got->blob, nullptr);
}

TEST_F(Resources, NamesSharingAFileCollide) {
    Resource a = named("Printer:A");
    set(a->description, "the colon one");
    ASSERT_EQ(rspi_create_resource(h, a.get()), 0u);
    EXPECT_EQ(create("printer-a"), RSPI_RC_RESOURCE_EXISTS);
    EXPECT_EQ(create("Printer:A"), RSPI_RC_RESOURCE_EXISTS);
    Resource got = named("printer-a");
    EXPECT_EQ(rspi_get_resource(h, got.get()), RSPI_RC_MALFORMED_ENTRY);
    EXPECT_STREQ(got->description, "the colon one");
    EXPECT_EQ(read("resourcelist.file"), "printer:a\n");
}

TEST_F(Resources, CreateRefusesBadAndOverlongNames) {
    EXPECT_EQ(create("two words"), RSPI_RC_INVALID_RESOURCE);
    EXPECT_EQ(create(""), RSPI_RC_INVALID_RESOURCE);
    EXPECT_EQ(create(nullptr), RSPI_RC_INVALID_RESOURCE);
    EXPECT_EQ(rspi_create_resource(h, nullptr), RSPI_RC_INVALID_RESOURCE);
    // name + ".QZresource" + "_blob_T" must stay within 255 bytes.
    const std::string longest(237, 'r');
    EXPECT_EQ(create((longest + "r").c_str()), RSPI_RC_INVALID_RESOURCE);
    EXPECT_EQ(create("line\nbreak"), RSPI_RC_INVALID_RESOURCE);
    EXPECT_TRUE(files().empty());
    EXPECT_EQ(create(longest.c_str()), 0u);
    EXPECT_EQ(read("resourcelist.file"), longest + "\n");
}

TEST_F(Resources, ModifyKeepsWhatIsNotGivenAndTheUuid) {
    Resource r = named("disk");
    set(r->description, "big");
    r->attribute = 7;
    r->blob = tolvtest::blob("bytes");
    ASSERT_EQ(rspi_create_resource(h, r.get()), 0u);
    const std::string before = read("disk.QZresource");

    ASSERT_EQ(rspi_modify_resource(h, named("DISK").get()), 0u);
    EXPECT_EQ(read("disk.QZresource"), before);
    EXPECT_EQ(read("disk.QZresource_blob"), "bytes");

    Resource change = named("disk");
    change->state = 0;
    change->attribute = 8;
    change->blob = tolvtest::blob("other");
    ASSERT_EQ(rspi_modify_resource(h, change.get()), 0u);
    EXPECT_EQ(lines(read("disk.QZresource")),
              (std::vector<std::string>{"disk", "0", "big", "8", r->uuid_string, "5"}));
    EXPECT_EQ(read("disk.QZresource_blob"), "other");
    ASSERT_EQ(rspi_modify_resource(h, named("disk").get()), 0u);  // state 2 keeps 0
    EXPECT_EQ(lines(read("disk.QZresource"))[1], "0");

    // A resource missing from the list is listed again.
    write("resourcelist.file", "");
    ASSERT_EQ(rspi_modify_resource(h, named("disk").get()), 0u);
    EXPECT_EQ(read("resourcelist.file"), "disk\n");

    EXPECT_EQ(rspi_modify_resource(h, named("none").get()), RSPI_RC_INVALID_RESOURCE);
    write("bad.QZresource", "bad\n1\n");
    EXPECT_EQ(rspi_modify_resource(h, named("bad").get()), RSPI_RC_MALFORMED_ENTRY);
    EXPECT_EQ(read("bad.QZresource"), "bad\n1\n");
}

TEST_F(Resources, GetReportsShortFilesAndMissingBlobs) {
    EXPECT_EQ(rspi_get_resource(h, named("none").get()), RSPI_RC_INVALID_RESOURCE);
    write("short.QZresource", "short\n0\ndesc\n");
    Resource got = named("short");
    got->attribute = 99;
    EXPECT_EQ(rspi_get_resource(h, got.get()), RSPI_RC_MALFORMED_ENTRY);
    EXPECT_STREQ(got->description, "desc");
    EXPECT_EQ(got->attribute, 99u);

    Resource r = named("disk");
    r->blob = tolvtest::blob("bytes");
    ASSERT_EQ(rspi_create_resource(h, r.get()), 0u);
    ASSERT_TRUE(tolvtest::file_exists(path("disk.QZresource_blob")));
    std::remove(path("disk.QZresource_blob").c_str());
    Resource again = named("disk");
    EXPECT_EQ(rspi_get_resource(h, again.get()), RSPI_RC_FILE_ERROR);
    tolvtest::for_each_failed_alloc([&] { return rspi_get_resource(h, again.get()); },
                                    [](uint32_t rc, bool failed) { EXPECT_EQ(rc, failed ? 3u : 6u); });
}

TEST_F(Resources, DeleteRemovesFileListEntryAndAnyBlob) {
    Resource r = named("disk");
    r->blob = tolvtest::blob("bytes");
    ASSERT_EQ(rspi_create_resource(h, r.get()), 0u);
    ASSERT_EQ(create("tape"), 0u);
    write("none.QZresource_blob", "stray");
    EXPECT_EQ(rspi_delete_resource(h, named("none").get()), RSPI_RC_INVALID_RESOURCE);
    EXPECT_FALSE(exists("none.QZresource_blob"));

    EXPECT_EQ(rspi_delete_resource(h, named("DISK").get()), 0u);
    EXPECT_EQ(files(), (std::vector<std::string>{"resourcelist.file", "tape.QZresource"}));
    EXPECT_EQ(read("resourcelist.file"), "tape\n");
    write("resourcelist.file", "other\n");
    EXPECT_EQ(rspi_delete_resource(h, named("tape").get()), RSPI_RC_ENTRY_NOT_IN_LIST);
    EXPECT_FALSE(exists("tape.QZresource"));
}

TEST_F(Resources, CursorWalksTheListBothWays) {
    Resource r;
    ResourceList empty = listing();
    EXPECT_EQ(rspi_resourcelist_count(h, empty.get()), 0);
    EXPECT_EQ(rspi_first_resource(h, empty.get(), r.get(), 0), RSPI_RC_NO_MORE_ENTRIES);
    EXPECT_EQ(rspi_next_resource(h, empty.get(), r.get(), 0), RSPI_RC_NO_MORE_ENTRIES);
    EXPECT_EQ(rspi_previous_resource(h, empty.get(), r.get(), 0), RSPI_RC_NO_MORE_ENTRIES);

    ASSERT_EQ(create("tape"), 0u);
    ASSERT_EQ(create("disk"), 0u);
    ResourceList l = listing();
    ASSERT_EQ(rspi_next_resource(h, l.get(), r.get(), 0), 0u);  // next on a fresh list is the first
    EXPECT_STREQ(r->name, "disk");
    EXPECT_EQ(rspi_resourcelist_count(h, l.get()), 2);
    ASSERT_EQ(rspi_first_resource(h, l.get(), r.get(), 1), 0u);
    EXPECT_STREQ(r->name, "disk");
    EXPECT_EQ(r->state, 1u);
    ASSERT_EQ(rspi_next_resource(h, l.get(), r.get(), 0), 0u);
    EXPECT_STREQ(r->name, "tape");
    EXPECT_EQ(rspi_next_resource(h, l.get(), r.get(), 0), RSPI_RC_NO_MORE_ENTRIES);
    ASSERT_EQ(rspi_previous_resource(h, l.get(), r.get(), 0), 0u);  // back to the last
    EXPECT_STREQ(r->name, "tape");
    EXPECT_EQ(rspi_next_resource(h, l.get(), r.get(), 0), RSPI_RC_NO_MORE_ENTRIES);
    ASSERT_EQ(rspi_next_resource(h, l.get(), r.get(), 0), 0u);
    EXPECT_STREQ(r->name, "disk");
    EXPECT_EQ(rspi_previous_resource(h, l.get(), r.get(), 0), RSPI_RC_NO_MORE_ENTRIES);
    ASSERT_EQ(rspi_next_resource(h, l.get(), r.get(), 0), 0u);
    EXPECT_STREQ(r->name, "disk");

    // The loaded list does not see later changes; a listed name without a file is 33.
    ASSERT_EQ(rspi_delete_resource(h, named("tape").get()), 0u);
    EXPECT_EQ(rspi_resourcelist_count(h, l.get()), 2);
    EXPECT_EQ(rspi_next_resource(h, l.get(), r.get(), 1), RSPI_RC_INVALID_RESOURCE);
}

TEST_F(Resources, DiagnosticsNameEveryOperation) {
    tolvtest::Trace trace;
    ASSERT_EQ(create("disk"), 0u);
    ASSERT_EQ(rspi_modify_resource(h, named("disk").get()), 0u);
    EXPECT_EQ(rspi_delete_resource(h, named("none").get()), RSPI_RC_INVALID_RESOURCE);
    EXPECT_EQ(trace.take(),
              "rspi_create_resource invoked\nrspi_create_resource rc = 0\n"
              "rspi_modify_resource invoked\nrspi_get_resource invoked\nrspi_get_resource rc = 0\n"
              "rspi_modify_resource rc = 0\n"
              "rspi_delete_resource invoked\nrspi_delete_resource rc = 33\n");

    ResourceList l = listing();
    EXPECT_EQ(rspi_resourcelist_count(h, l.get()), 1);
    Resource r;
    ASSERT_EQ(rspi_first_resource(h, l.get(), r.get(), 1), 0u);
    EXPECT_EQ(rspi_previous_resource(h, l.get(), r.get(), 0), RSPI_RC_NO_MORE_ENTRIES);
    rspiutil_fail_nth_alloc(1);
    EXPECT_EQ(rspi_next_resource(h, l.get(), r.get(), 0), RSPI_RC_NO_MEMORY);
    rspiutil_fail_nth_alloc(0);
    EXPECT_EQ(trace.take(),
              "rspi_get_resourcelist invoked\nrspi_get_resourcelist rc = 0\n"
              "rspi_resourcelist_count invoked\n"
              "rspi_first_resource invoked\nrspi_get_resource invoked\nrspi_get_resource rc = 0\n"
              "rspi_first_resource rc = 0\n"
              "rspi_previous_resource invoked\nrspi_previous_resource rc = 5\n"
              "rspi_next_resource invoked\n");
}

}  // namespace
