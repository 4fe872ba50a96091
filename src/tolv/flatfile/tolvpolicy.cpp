// tolvpolicy.cpp - policies: create, get, modify, delete and the enumeration
// of "policylist.file".
#include "tolvdiag.h"
#include "tolvinternal.h"

namespace tolv {

namespace {

bool keys_given(const rspi_policy *p) { return p && p->policy_id && p->domain; }

void lower_keys(rspi_policy *p) {
    ui_tolower(p->policy_id);
    ui_tolower(p->domain);
}

Rc create_policy(std::string_view dir, rspi_policy *p) {
    if (!p || !usable_name(p->policy_id) || !usable_name(p->domain)) return Rc::InvalidPolicy;
    lower_keys(p);
    if (!policy_names_fit(p->domain, p->policy_id)) return Rc::InvalidPolicy;
    if (const Rc rc = io::absent(io::probe(policy_file(dir, p->domain, p->policy_id)), Rc::PolicyExists); !ok(rc))
        return rc;
    return ui_replace_policy(dir, p, true);
}

Rc get_policy(std::string_view dir, rspi_policy *p) {
    if (!keys_given(p)) return Rc::InvalidPolicy;
    lower_keys(p);
    const std::string path = policy_file(dir, p->domain, p->policy_id);
    Rc rc = Rc::Success;
    bool has_last = false;
    long length = 0;
    const Rc read = read_record_file(path, Rc::InvalidPolicy, true, [&](std::string_view data) -> long {
        RecordReader in(data);
        in.key(p->policy_id);
        in.key(p->domain);
        in.number(p->state);
        in.text(p->description);
        in.number(p->attribute);
        ui_read_uuid(in, p->uuid, p->uuid_string);
        in.number(p->long_1);
        for (std::size_t i = 0; i + 1 < std::size(kPolicyNumbers); ++i) in.number(p->*kPolicyNumbers[i]);
        in.number(p->flag_2);
        in.number(p->flag_3);
        in.text(p->text_1);
        std::string_view line;
        const long stored = in.optional(line) ? parse_long(line) : 0;
        rc = in.rc();
        has_last = in.optional(line);
        if (has_last) p->number_17 = static_cast<int32_t>(parse_long(line));
        return stored;
    }, length);
    if (!ok(read)) return read;
    // The blob length is optional; a blob that is read decides the result,
    // and a missing last line still makes the file short.
    rc = ui_load_blob(path, length, rc, p->blob);
    if (!has_last && rc == Rc::Success) rc = Rc::Malformed;
    return rc;
}

// Overlays the given fields of changes on the stored policy in work; strings
// and the blob are lent.
void merge_policy(Borrowing<rspi_policy> &w, const rspi_policy *changes) {
    w.lend_from(changes, &rspi_policy::description, &rspi_policy::text_1, &rspi_policy::blob);
    rspi_policy *work = w.get();
    if (changes->attribute != 0) work->attribute = changes->attribute;
    if (changes->state != 2) work->state = changes->state;
    if (changes->long_1 == -2)
        work->long_1 = 0;
    else if (changes->long_1 != 0)
        work->long_1 = changes->long_1;
    for (auto number : kPolicyNumbers) {
        if (changes->*number == -2)
            work->*number = -1;
        else if (changes->*number != -1)
            work->*number = changes->*number;
    }
    for (auto flag : {&rspi_policy::flag_2, &rspi_policy::flag_3}) {
        if (changes->*flag == static_cast<uint32_t>(-2))
            work->*flag = 2;
        else if (changes->*flag != 2)
            work->*flag = changes->*flag;
    }
}

Rc modify_policy(char **handle, std::string_view dir, rspi_policy *changes) {
    if (!changes) return Rc::InvalidPolicy;
    Borrowing<rspi_policy> work(rspi_alloc_policy(), rspi_free_policy);
    if (!work) return Rc::NoMemory;
    work.lend_from(changes, &rspi_policy::policy_id, &rspi_policy::domain);
    const uint32_t got = rspi_get_policy(handle, work.get());
    if (got != RSPI_RC_SUCCESS) return static_cast<Rc>(got);
    merge_policy(work, changes);
    return ui_replace_policy(dir, work.get(), false);
}

Rc delete_policy(std::string_view dir, rspi_policy *p) {
    if (!keys_given(p)) return Rc::InvalidPolicy;
    lower_keys(p);
    const std::string path = policy_file(dir, p->domain, p->policy_id);
    return io::remove_record_and_blob(path, Rc::InvalidPolicy, [&] { return ui_remove_from_policylist(dir, p); });
}

Rc step_policy(char **handle, std::string_view dir, rspi_policylist *list, rspi_policy *p, int32_t fetch, Move move,
               const text::OpText &t) {
    return traced_cursor_step(
        t, dir, list, p, Rc::InvalidPolicy, move, fetch,
        [&](std::string_view entry) {
            const std::size_t blank = entry.find(' ');
            if (blank == std::string_view::npos) return Rc::Malformed;
            if (!ok(set_str(p->domain, entry.substr(0, blank))) || !ok(set_str(p->policy_id, entry.substr(blank + 1))))
                return Rc::NoMemory;
            return Rc::Success;
        },
        [&] { return static_cast<Rc>(rspi_get_policy(handle, p)); });
}

}  // namespace

}  // namespace tolv

using tolv::guarded_count_op;
using tolv::guarded_op;
using tolv::guarded_write_op;
namespace text = tolv::text;

TOLV_EXPORT uint32_t rspi_create_policy(char **handle, rspi_policy *policy) {
    return guarded_write_op(handle, [&](std::string_view dir) {
        return tolv::traced(text::create_policy, [&] { return tolv::create_policy(dir, policy); });
    });
}

TOLV_EXPORT uint32_t rspi_get_policy(char **handle, rspi_policy *policy) {
    return guarded_op(handle, [&](std::string_view dir) {
        return tolv::traced(text::get_policy, [&] { return tolv::get_policy(dir, policy); });
    });
}

TOLV_EXPORT uint32_t rspi_modify_policy(char **handle, rspi_policy *policy) {
    return guarded_write_op(handle, [&](std::string_view dir) {
        return tolv::traced(text::modify_policy, [&] { return tolv::modify_policy(handle, dir, policy); });
    });
}

TOLV_EXPORT uint32_t rspi_delete_policy(char **handle, rspi_policy *policy) {
    return guarded_write_op(handle, [&](std::string_view dir) {
        return tolv::traced(text::delete_policy, [&] { return tolv::delete_policy(dir, policy); });
    });
}

TOLV_EXPORT uint32_t rspi_get_policylist(char **handle, rspi_policylist *list) {
    return guarded_op(handle, [&](std::string_view) {
        return tolv::traced_name_list(text::get_policylist, list, tolv::Rc::InvalidPolicy, tolv::kPolicyList);
    });
}

TOLV_EXPORT int32_t rspi_policylist_count(char **handle, rspi_policylist *list) {
    return guarded_count_op(handle, [&](std::string_view dir) {
        return tolv::traced_list_count(text::policylist_count, dir, list);
    });
}

TOLV_EXPORT uint32_t rspi_first_policy(char **handle, rspi_policylist *list, rspi_policy *policy, int32_t fetch) {
    return guarded_op(handle, [&](std::string_view dir) {
        return tolv::step_policy(handle, dir, list, policy, fetch, tolv::Move::First, text::first_policy);
    });
}

TOLV_EXPORT uint32_t rspi_next_policy(char **handle, rspi_policylist *list, rspi_policy *policy, int32_t fetch) {
    return guarded_op(handle, [&](std::string_view dir) {
        return tolv::step_policy(handle, dir, list, policy, fetch, tolv::Move::Next, text::next_policy);
    });
}

TOLV_EXPORT uint32_t rspi_previous_policy(char **handle, rspi_policylist *list, rspi_policy *policy,
                                          int32_t fetch) {
    return guarded_op(handle, [&](std::string_view dir) {
        return tolv::step_policy(handle, dir, list, policy, fetch, tolv::Move::Previous, text::previous_policy);
    });
}
