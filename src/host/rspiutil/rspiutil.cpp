// librspiutil: allocation and release of every record that crosses the
// plug-in boundary, so that either side can release what the other filled in.
//
// Choices:
// - Every allocation is zero-filled; a request for 0 bytes still gives a
//   unique pointer. Memory comes from rspiutil_pool, so only rspi_free (or
//   the record frees) may release it.
// - rspi_strdup(null) returns null and allocates nothing.
// - rspi_alloc_blob always gives a non-null data block, one byte when the
//   length is 0, so callers may pass data to memcpy/fread unchecked.
// - rspi_alloc_logintypes / rspi_alloc_resgroupmembers refuse a negative
//   count with null; a count of 0 gives a record with count 0. Their frees
//   release no slot of a record whose count is negative.

#include <atomic>
#include <cstdlib>
#include <cstring>

#pragma GCC visibility push(default)
#include "rspiutil_test.h"
#include "tolv.h"
#pragma GCC visibility pop

#include "rspiutil_pool.h"
#include "tolvcatalogue.h"

namespace {

// The fault switch, for single-threaded tests: the count is a plain
// load and store (no locked add on every allocation), so threads may lose
// counts but never corrupt anything.
std::atomic<long> alloc_count{0};
std::atomic<long> fail_at{0};

bool fault_now() {
    const long nth = alloc_count.load(std::memory_order_relaxed) + 1;
    alloc_count.store(nth, std::memory_order_relaxed);
    const long fail = fail_at.load(std::memory_order_relaxed);
    return fail > 0 && nth == fail;
}

void *allocate(size_t size, bool zero = true) {
    return fault_now() ? nullptr : rspiutil::pool::allocate(size, zero);
}

void release(void *p) {
    rspiutil::pool::release(p);
}

template <class T>
T *allocate_record() {
    return static_cast<T *>(allocate(sizeof(T)));
}

// A record with a trailing array of count string slots; sizeof(T) holds one.
template <class T>
T *allocate_slots(int32_t count) {
    if (count < 0) {
        return nullptr;
    }
    const size_t extra = count > 1 ? static_cast<size_t>(count) - 1 : 0;
    auto *record = static_cast<T *>(allocate(sizeof(T) + extra * sizeof(char *)));
    if (record != nullptr) {
        record->count = count;
    }
    return record;
}

void free_strings(char **slots, int32_t count) {
    for (int32_t i = 0; i < count; ++i) {
        release(slots[i]);
    }
}

void free_items(rspi_list_item *item) {
    while (item != nullptr) {
        rspi_list_item *next = item->next;
        release(item->data);
        release(item);
        item = next;
    }
}

template <class List>
void free_list(List *list) {
    if (list == nullptr) {
        return;
    }
    free_items(list->first);
    release(list->file);
    release(list);
}

// Releases every member the family's field table names (a new field is
// released without an edit here), then what the table does not hold (lists
// of members), then the record.
template <class R, class Rest>
void free_record(R *r, Rest &&rest) {
    if (r == nullptr) {
        return;
    }
    using tolv::format::Kind;
    for (const auto &f : tolv::format::family_of<R>().fields) {
        switch (f.kind) {
        case Kind::Key:
        case Kind::Text:
        case Kind::Uuid: release(r->*f.text); break;
        case Kind::Password: rspi_free_authndata(r->*f.password); break;
        case Kind::LoginTypes: rspi_free_logintypes(r->*f.login_types); break;
        case Kind::BlobLength: rspi_free_blob(r->*f.blob); break;
        case Kind::Unsigned:
        case Kind::Signed: break;
        }
    }
    rest(r);
    release(r);
}
template <class R>
void free_record(R *r) {
    free_record(r, [](R *) {});
}

}  // namespace

extern "C" {

void *rspi_alloc(size_t size) {
    return allocate(size);
}

char *rspi_strdup(const char *s) {
    if (s == nullptr) {
        return nullptr;
    }
    const size_t size = std::strlen(s) + 1;
    auto *copy = static_cast<char *>(allocate(size, false));
    if (copy != nullptr) {
        std::memcpy(copy, s, size);
    }
    return copy;
}

void rspi_free(void *p) {
    release(p);
}

void rspiutil_fail_nth_alloc(long n) {
    fail_at.store(n > 0 ? n : 0, std::memory_order_relaxed);
    alloc_count.store(0, std::memory_order_relaxed);
}

long rspiutil_alloc_count(void) {
    return alloc_count.load(std::memory_order_relaxed);
}

// Small records.

rspi_authndata *rspi_alloc_authndata(void) {
    return allocate_record<rspi_authndata>();
}

void rspi_free_authndata(rspi_authndata *authn) {
    if (authn == nullptr) {
        return;
    }
    release(authn->data);
    release(authn);
}

rspi_blob *rspi_alloc_blob(uint32_t length) {
    auto *blob = allocate_record<rspi_blob>();
    if (blob == nullptr) {
        return nullptr;
    }
    blob->data = static_cast<unsigned char *>(allocate(length));
    if (blob->data == nullptr) {
        release(blob);
        return nullptr;
    }
    blob->length = length;
    return blob;
}

void rspi_free_blob(rspi_blob *blob) {
    if (blob == nullptr) {
        return;
    }
    release(blob->data);
    release(blob);
}

rspi_logintypes *rspi_alloc_logintypes(int32_t count) {
    return allocate_slots<rspi_logintypes>(count);
}

void rspi_free_logintypes(rspi_logintypes *types) {
    if (types == nullptr) {
        return;
    }
    free_strings(types->types, types->count);
    release(types);
}

rspi_resgroupmembers *rspi_alloc_resgroupmembers(int32_t count) {
    return allocate_slots<rspi_resgroupmembers>(count);
}

void rspi_free_resgroupmembers(rspi_resgroupmembers *members) {
    if (members == nullptr) {
        return;
    }
    free_strings(members->names, members->count);
    release(members);
}

// Lists: zero-filled, so empty and loaded (count 0).

rspi_userlist *rspi_alloc_userlist(void) { return allocate_record<rspi_userlist>(); }
void rspi_free_userlist(rspi_userlist *list) { free_list(list); }
rspi_grouplist *rspi_alloc_grouplist(void) { return allocate_record<rspi_grouplist>(); }
void rspi_free_grouplist(rspi_grouplist *list) { free_list(list); }
rspi_policylist *rspi_alloc_policylist(void) { return allocate_record<rspi_policylist>(); }
void rspi_free_policylist(rspi_policylist *list) { free_list(list); }
rspi_resourcelist *rspi_alloc_resourcelist(void) { return allocate_record<rspi_resourcelist>(); }
void rspi_free_resourcelist(rspi_resourcelist *list) { free_list(list); }
rspi_resgrouplist *rspi_alloc_resgrouplist(void) { return allocate_record<rspi_resgrouplist>(); }
void rspi_free_resgrouplist(rspi_resgrouplist *list) { free_list(list); }
rspi_rescredslist *rspi_alloc_rescredslist(void) { return allocate_record<rspi_rescredslist>(); }
void rspi_free_rescredslist(rspi_rescredslist *list) { free_list(list); }

// Entity records. `reserved` is never owned by the record and is left alone.

rspi_user *rspi_alloc_user(void) { return allocate_record<rspi_user>(); }
void rspi_free_user(rspi_user *user) {
    free_record(user, [](rspi_user *u) { rspi_free_grouplist(u->groups); });
}
rspi_group *rspi_alloc_group(void) { return allocate_record<rspi_group>(); }
void rspi_free_group(rspi_group *group) {
    free_record(group, [](rspi_group *g) { rspi_free_userlist(g->members); });
}
rspi_policy *rspi_alloc_policy(void) { return allocate_record<rspi_policy>(); }
void rspi_free_policy(rspi_policy *policy) { free_record(policy); }
rspi_resource *rspi_alloc_resource(void) { return allocate_record<rspi_resource>(); }
void rspi_free_resource(rspi_resource *resource) { free_record(resource); }
rspi_resgroup *rspi_alloc_resgroup(void) { return allocate_record<rspi_resgroup>(); }
void rspi_free_resgroup(rspi_resgroup *resgroup) {
    free_record(resgroup, [](rspi_resgroup *g) { rspi_free_resgroupmembers(g->members); });
}
rspi_rescreds *rspi_alloc_rescreds(void) { return allocate_record<rspi_rescreds>(); }
void rspi_free_rescreds(rspi_rescreds *creds) { free_record(creds); }

}  // extern "C"
