// registry_gen.cpp - writes benchmark registries straight in the file formats
// the plug-in reads and writes, byte for byte, so that rewriting an entry
// through the plug-in leaves its files unchanged.
#include "registry_gen.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <stdexcept>

#include "tolvcatalogue.h"

namespace tolvbench {

namespace {

namespace fmt = tolv::format;

// Bump whenever the generated content changes: cached registries of an older
// version are written afresh.
constexpr std::string_view kStampVersion = "tolvbench registry 3";

constexpr const char *kDomains[] = {"corp", "eng", "lab", "ops", "sales"};
constexpr std::size_t kDomainCount = std::size(kDomains);

// The indexes whose sizes the stamp records.
constexpr std::string_view kIndexes[] = {fmt::kUserList, fmt::kCertDnList, fmt::kGroupList, fmt::kPolicyList,
                                         fmt::kResourceList};

[[noreturn]] void fail(const std::string &what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

std::string padded(std::string_view prefix, std::size_t v, int width) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.*s%0*zu", static_cast<int>(prefix.size()), prefix.data(), width, v);
    return buf;
}

uint64_t splitmix(uint64_t x) {
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

// A version-4 style UUID text, unique per (kind, index) and spread like random
// ones, so that comparisons fail as early as they would on a real registry.
std::string uuid_text(uint64_t kind, uint64_t index) {
    const uint64_t hi = splitmix((kind << 48) ^ index);
    const uint64_t lo = splitmix(hi ^ 0x5bd1e9955bd1e995ull);
    char buf[40];
    std::snprintf(buf, sizeof buf, "%08x-%04x-4%03x-%04x-%012llx", static_cast<unsigned>(hi >> 32),
                  static_cast<unsigned>((hi >> 16) & 0xffff), static_cast<unsigned>(hi & 0xfff),
                  static_cast<unsigned>(0x8000 | ((lo >> 48) & 0x3fff)),
                  static_cast<unsigned long long>(lo & 0xffffffffffffull));
    return buf;
}

// Record files: one value per line.
class Lines {
public:
    Lines &operator<<(std::string_view v) {
        out_.append(v);
        out_.push_back('\n');
        return *this;
    }
    Lines &operator<<(std::size_t v) {
        char buf[24];
        auto r = std::to_chars(buf, buf + sizeof buf, v);
        return *this << std::string_view(buf, static_cast<std::size_t>(r.ptr - buf));
    }
    Lines &operator<<(const char *v) { return *this << std::string_view(v); }
    Lines &operator<<(const std::string &v) { return *this << std::string_view(v); }
    std::string take() { return std::move(out_); }

private:
    std::string out_;
};

// A record file's bytes, line by line as its family's field table orders
// them: values gives lines by field name; any other field is an empty text or
// 0, and without a blob nothing follows its length unless the table always
// writes it. A field added to the table is written without an edit here.
template <class R>
std::string record_bytes(std::initializer_list<std::pair<std::string_view, std::string_view>> values) {
    const auto fields = fmt::family_of<R>().fields;
    for (const auto &v : values)
        if (std::none_of(fields.begin(), fields.end(), [&](const auto &f) { return v.first == f.name; }))
            fail("no field " + std::string(v.first));
    Lines l;
    for (const auto &f : fields) {
        const auto given = std::find_if(values.begin(), values.end(), [&](const auto &v) { return v.first == f.name; });
        if (given != values.end()) {
            l << given->second;
        } else if (f.kind == fmt::Kind::BlobLength) {
            if (!f.always) break;
            l << "0";
        } else {
            l << (f.is_number() ? "0" : "");
        }
    }
    return l.take();
}

void write_whole(const std::string &path, std::string_view bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) fail("cannot create " + path);
    const char *p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ::close(fd);
            fail("cannot write " + path);
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) fail("cannot close " + path);
}

bool read_whole(const std::string &path, std::string &out) {
    out.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return true;
}

// Entries joined one per line, in the byte order the entry lists keep.
std::string entry_list(std::vector<std::string> entries) {
    std::sort(entries.begin(), entries.end());
    std::string out;
    for (const auto &e : entries) out.append(e).push_back('\n');
    return out;
}

// The user and group lists: ordered by name part. Every generated name part
// has the same width within its domain, so no name part is a prefix of
// another and plain byte order is the order the insertion rule gives.
std::string index_list(std::vector<std::pair<std::string, std::string>> name_and_line) {
    std::sort(name_and_line.begin(), name_and_line.end());
    std::string out;
    for (const auto &nl : name_and_line) out.append(nl.second).push_back('\n');
    return out;
}

std::string key(std::string_view domain, std::string_view id) {
    std::string k(domain);
    k.push_back(' ');
    k.append(id);
    return k;
}

std::string with_suffix(std::string_view domain, std::string_view id, std::string_view suffix) {
    std::string n(domain);
    n.push_back('_');
    n.append(id).append(suffix);
    return n;
}

std::string group_registry_id(std::size_t g) {
    return "cn=" + group_id(g) + ",ou=" + group_domain(g) + ",o=Example";
}

std::string group_file_bytes(std::size_t g) {
    const std::string id = group_id(g), domain = group_domain(g), uuid = uuid_text(2, g);
    const std::string description = "Generated group " + std::to_string(g), rgy = group_registry_id(g);
    return record_bytes<rspi_group>({{"group_id", id}, {"domain", domain}, {"state", "1"},
                                     {"description", description}, {"uuid", uuid}, {"registry_id", rgy}});
}

std::string policy_file_bytes(std::size_t p) {
    const std::string id = policy_id(p), domain = policy_domain(p), uuid = uuid_text(3, p);
    const std::string description = "Generated policy " + std::to_string(p);
    return record_bytes<rspi_policy>(
        {{"policy_id", id}, {"domain", domain}, {"state", "1"}, {"description", description}, {"uuid", uuid}});
}

std::string resource_file_bytes(std::size_t r) {
    const std::string name = resource_name(r), uuid = uuid_text(4, r);
    const std::string description = "Generated resource " + std::to_string(r);
    return record_bytes<rspi_resource>({{"name", name}, {"state", "1"}, {"description", description}, {"uuid", uuid}});
}

std::string creds_file_bytes(const Shape &s, std::size_t i, std::size_t c) {
    const std::string name = resource_name(cred_resource(s, i, c)), uuid = uuid_text(5, i * kCredsPerUser + c);
    const std::string password = padded("s3cret-", i, 7);
    return record_bytes<rspi_rescreds>({{"name", name}, {"state", "1"}, {"description", "Generated credential"},
                                        {"uuid", uuid}, {"password", password}});
}

// The files of each user: user file, groups file and credentials.
void write_user_files(const std::string &dir, const Shape &s) {
    for (std::size_t i = 0; i < s.users; ++i) {
        const std::string dom = user_domain(i), uid = user_id(i);
        write_whole(dir + user_file_name(dom, uid), user_file_bytes(i));
        if (is_member(s, i)) {
            std::size_t gs[2];
            groups_of_user(s, i, gs);
            write_whole(dir + my_groups_file_name(dom, uid), entry_list({key(group_domain(gs[0]), group_id(gs[0])),
                                                                          key(group_domain(gs[1]), group_id(gs[1]))}));
        }
        if (!has_creds(s, i)) continue;
        std::vector<std::string> entries;
        for (std::size_t c = 0; c < kCredsPerUser; ++c) {
            const std::string res = resource_name(cred_resource(s, i, c));
            write_whole(dir + creds_file_name(dom, uid, res), creds_file_bytes(s, i, c));
            entries.push_back(dom + " " + uid + " " + res);
        }
        write_whole(dir + my_creds_file_name(dom, uid), entry_list(std::move(entries)));
    }
}

std::string stamp_line(std::size_t n) { return std::string(kStampVersion) + " users " + std::to_string(n) + "\n"; }

// True when root holds a complete registry of this generator for n users
// whose indexes still have the sizes recorded at generation.
bool registry_intact(const std::string &root, std::size_t n) {
    std::string stamp;
    if (!read_whole(root + "/stamp", stamp)) return false;
    const std::string head = stamp_line(n);
    if (stamp.compare(0, head.size(), head) != 0) return false;
    struct stat st;
    if (::stat((root + "/tolv.conf").c_str(), &st) != 0) return false;
    std::size_t pos = head.size();
    std::size_t checked = 0;
    while (pos < stamp.size()) {
        const std::size_t nl = stamp.find('\n', pos);
        if (nl == std::string::npos) return false;
        const std::string line = stamp.substr(pos, nl - pos);
        pos = nl + 1;
        const std::size_t sp = line.rfind(' ');
        if (sp == std::string::npos) return false;
        if (::stat((root + "/registry/" + line.substr(0, sp)).c_str(), &st) != 0) return false;
        if (std::to_string(st.st_size) != line.substr(sp + 1)) return false;
        ++checked;
    }
    return checked == std::size(kIndexes);
}

void make_dir(const std::string &path) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) fail("cannot create " + path);
}

}  // namespace

Shape shape_for(std::size_t users) {
    Shape s;
    s.users = users;
    s.groups = std::max<std::size_t>(10, users / 100);
    s.policies = std::max<std::size_t>(10, users / 20);
    s.resources = std::max<std::size_t>(10, users / 100);
    // Creating files is what generation costs: a quarter of the users are
    // group members (50 members a group), one in twenty holds credentials.
    s.member_every = 4;
    s.cred_every = 20;
    return s;
}

std::string user_domain(std::size_t i) { return kDomains[i % kDomainCount]; }
std::string user_id(std::size_t i) { return padded("user", i, 7); }
std::string user_uuid(std::size_t i) { return uuid_text(1, i); }
std::string user_registry_id(std::size_t i) { return "uid=" + user_id(i) + ",ou=" + user_domain(i) + ",o=Example"; }
std::string user_cert_dn(std::size_t i) { return "CN=" + user_id(i) + ", OU=" + user_domain(i) + ", O=Example"; }
std::string user_password(std::size_t i) { return padded("pw-", i, 7); }
std::string user_description(std::size_t i) { return "Generated user " + std::to_string(i); }

std::string user_file_bytes(std::size_t i) {
    const std::string id = user_id(i), domain = user_domain(i), password = user_password(i);
    const std::string description = user_description(i), uuid = user_uuid(i), rgy = user_registry_id(i);
    const std::string cert_dn = user_cert_dn(i);
    return record_bytes<rspi_user>({{"user_id", id}, {"domain", domain}, {"account_valid", "1"},
                                    {"password", password}, {"description", description}, {"uuid", uuid},
                                    {"login_types", kLoginTypes}, {"registry_id", rgy}, {"cert_dn", cert_dn}});
}

std::string group_domain(std::size_t g) { return kDomains[g % kDomainCount]; }
std::string group_id(std::size_t g) { return padded("group", g, 5); }

bool is_member(const Shape &s, std::size_t i) { return i % s.member_every == 0; }

// Members take the groups in turn, so that every group has members.
void groups_of_user(const Shape &s, std::size_t i, std::size_t out[2]) {
    const std::size_t m = i / s.member_every;
    out[0] = m % s.groups;
    out[1] = (m + s.groups / 2) % s.groups;
}

std::size_t group_without_user(const Shape &s, std::size_t i) { return (i / s.member_every + 1) % s.groups; }

std::string policy_domain(std::size_t p) { return kDomains[p % kDomainCount]; }
std::string policy_id(std::size_t p) { return padded("policy", p, 6); }
std::string resource_name(std::size_t r) { return padded("res", r, 5); }
bool has_creds(const Shape &s, std::size_t i) { return i % s.cred_every == 0; }
std::size_t cred_resource(const Shape &s, std::size_t i, std::size_t c) {
    return (i / s.cred_every + c) % s.resources;
}

std::string user_file_name(std::string_view domain, std::string_view id) { return with_suffix(domain, id, fmt::kUserFile.suffix); }
std::string group_file_name(std::string_view domain, std::string_view id) { return with_suffix(domain, id, fmt::kGroupFile.suffix); }
std::string members_file_name(std::string_view domain, std::string_view id) {
    return with_suffix(domain, id, fmt::kMembersSuffix);
}
std::string my_groups_file_name(std::string_view domain, std::string_view id) {
    return with_suffix(domain, id, fmt::kMyGroupsSuffix);
}
std::string my_creds_file_name(std::string_view domain, std::string_view id) {
    return with_suffix(domain, id, fmt::kMyResCredsSuffix);
}
std::string policy_file_name(std::string_view domain, std::string_view id) {
    return with_suffix(domain, id, fmt::kPolicyFile.suffix);
}
std::string creds_file_name(std::string_view domain, std::string_view id, std::string_view name) {
    std::string n = with_suffix(domain, id, "_");
    n.append(name).append(fmt::kRescredsFile.suffix);
    return n;
}

std::string generate_registry(const std::string &dir, std::size_t n) {
    const Shape s = shape_for(n);

    // One thread: creating files in one directory is serialised by the
    // kernel, and a second writer only spins on the directory's lock.
    write_user_files(dir, s);

    std::vector<std::pair<std::string, std::string>> users;
    std::vector<std::string> certdns;
    std::vector<std::vector<std::string>> members(s.groups);
    users.reserve(n);
    certdns.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::string k = key(user_domain(i), user_id(i));
        users.emplace_back(k, k + "  " + user_uuid(i) + "  " + user_registry_id(i));
        certdns.push_back(k + " " + user_cert_dn(i));
        if (!is_member(s, i)) continue;
        std::size_t gs[2];
        groups_of_user(s, i, gs);
        members[gs[0]].push_back(k);
        members[gs[1]].push_back(k);
    }
    std::vector<std::pair<std::string, std::string>> groups;
    for (std::size_t g = 0; g < s.groups; ++g) {
        const std::string dom = group_domain(g), gid = group_id(g);
        write_whole(dir + group_file_name(dom, gid), group_file_bytes(g));
        write_whole(dir + members_file_name(dom, gid), entry_list(std::move(members[g])));
        const std::string k = key(dom, gid);
        groups.emplace_back(k, k + "  " + uuid_text(2, g) + "  " + group_registry_id(g));
    }
    std::vector<std::string> policies;
    for (std::size_t p = 0; p < s.policies; ++p) {
        write_whole(dir + policy_file_name(policy_domain(p), policy_id(p)), policy_file_bytes(p));
        policies.push_back(key(policy_domain(p), policy_id(p)));
    }
    std::vector<std::string> resources;
    for (std::size_t r = 0; r < s.resources; ++r) {
        write_whole(dir + resource_name(r) + std::string(fmt::kResourceFile.suffix), resource_file_bytes(r));
        resources.push_back(resource_name(r));
    }

    const std::string lists[] = {index_list(std::move(users)), entry_list(std::move(certdns)),
                                 index_list(std::move(groups)), entry_list(std::move(policies)),
                                 entry_list(std::move(resources))};
    std::string stamp = stamp_line(n);
    for (std::size_t k = 0; k < std::size(kIndexes); ++k) {
        write_whole(dir + std::string(kIndexes[k]), lists[k]);
        stamp.append(kIndexes[k]).append(" ").append(std::to_string(lists[k].size())).append("\n");
    }
    return stamp;
}

Registry prepare_registry(const std::string &data_dir, std::size_t n) {
    namespace fs = std::filesystem;
    Registry reg;
    reg.n = n;
    reg.shape = shape_for(n);
    reg.root = data_dir + "/tolvbench-" + std::to_string(n);
    reg.dir = reg.root + "/registry/";
    reg.config = reg.root + "/tolv.conf";
    if (registry_intact(reg.root, n)) {
        scrub_registry(reg);
        return reg;
    }

    // The old registry goes only after the new one is written: ext4 scans
    // inodes freed seconds ago when it allocates new ones, which makes
    // creating files right after a mass deletion many times slower.
    const auto start = std::chrono::steady_clock::now();
    const std::string fresh = reg.root + ".new", old = reg.root + ".old";
    fs::remove_all(fresh);
    fs::create_directories(data_dir);
    make_dir(fresh);
    make_dir(fresh + "/registry");
    const std::string stamp = generate_registry(fresh + "/registry/", n);
    write_whole(fresh + "/tolv.conf", "dir=" + reg.dir + "\nverbose=false\n");
    write_whole(fresh + "/stamp", stamp);
    reg.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    fs::remove_all(old);
    if (fs::exists(reg.root) && ::rename(reg.root.c_str(), old.c_str()) != 0) fail("cannot rename " + reg.root);
    if (::rename(fresh.c_str(), reg.root.c_str()) != 0) fail("cannot rename " + fresh);
    fs::remove_all(old);
    reg.generated = true;
    return reg;
}

void scrub_registry(const Registry &reg) {
    const std::string dom(kBenchDomain), user(kBenchUser);
    const std::string user_file = reg.dir + user_file_name(dom, user);
    const std::string leftovers[] = {
        user_file,
        user_file + std::string(fmt::kBlobSuffix),
        reg.dir + my_groups_file_name(dom, user),
        reg.dir + my_creds_file_name(dom, user),
        reg.dir + policy_file_name(dom, kBenchPolicy),
        reg.dir + policy_file_name(dom, kBenchPolicy) + std::string(fmt::kBlobSuffix),
        reg.dir + std::string(kFloorRecord),
        reg.dir + std::string(kFloorRecord) + "_T",
        reg.dir + std::string(kFloorRenamed),
    };
    for (const auto &p : leftovers) ::unlink(p.c_str());
    // A credential of the benchmark's name may sit with any user that holds credentials.
    for (std::size_t i = 0; i < reg.n; i += reg.shape.cred_every) {
        const std::string f = reg.dir + creds_file_name(user_domain(i), user_id(i), kBenchCreds);
        ::unlink(f.c_str());
    }
}

std::map<std::string, uint64_t> snapshot(const std::string &dir) {
    std::map<std::string, uint64_t> out;
    DIR *d = ::opendir(dir.c_str());
    if (!d) fail("cannot open " + dir);
    std::string data;
    while (const dirent *e = ::readdir(d)) {
        const std::string name = e->d_name;
        // The plug-in's empty journal, kept between writes, its lock file and disk reserve are no content.
        if (name == "." || name == ".." || name == fmt::kIdleJournalDir || name == fmt::kLockFile ||
            name == fmt::kReserveFile)
            continue;
        uint64_t h = 0xcbf29ce484222325ull;
        if (read_whole(dir + name, data))
            for (unsigned char c : data) h = (h ^ c) * 0x100000001b3ull;
        out[name] = h;
    }
    ::closedir(d);
    return out;
}

std::vector<std::string> differences(const std::map<std::string, uint64_t> &before,
                                     const std::map<std::string, uint64_t> &after) {
    std::vector<std::string> out;
    for (const auto &[name, h] : before) {
        const auto it = after.find(name);
        if (it == after.end())
            out.push_back(name + " (gone)");
        else if (it->second != h)
            out.push_back(name + " (changed)");
    }
    for (const auto &[name, h] : after)
        if (!before.count(name)) out.push_back(name + " (new)");
    return out;
}

RegistryLock::RegistryLock(const std::string &data_dir, std::size_t n) {
    std::filesystem::create_directories(data_dir);
    const std::string path = data_dir + "/tolvbench-" + std::to_string(n) + ".lock";
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) fail("cannot open " + path);
    while (::flock(fd_, LOCK_EX) != 0)
        if (errno != EINTR) fail("cannot lock " + path);
}

RegistryLock::~RegistryLock() {
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace tolvbench
