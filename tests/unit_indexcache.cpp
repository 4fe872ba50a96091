// The lookups by UUID, certificate DN and registry id answer from the
// in-process copy of a list exactly as from the file: random lists (malformed,
// cut, duplicate, disabled and mixed-case lines) looked up without the cache,
// cold and warm; lists replaced behind the cache's back by another process.
// (Readers in threads while writers replace the lists: api_stress.)
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "records.h"
#include "tolvinternal.h"

using namespace tolvtest;

namespace {

const char *nz(const char *s) { return s ? s : "(null)"; }

std::string dump(uint32_t rc, const rspi_user *u) {
    return std::to_string(rc) + "|" + nz(u->domain) + "|" + nz(u->user_id) + "|" + nz(u->description) + "|" +
           nz(u->registry_id) + "|" + nz(u->cert_dn) + "|" + nz(u->uuid_string);
}
std::string dump(uint32_t rc, const rspi_group *g) {
    return std::to_string(rc) + "|" + nz(g->domain) + "|" + nz(g->group_id) + "|" + nz(g->description) + "|" +
           nz(g->registry_id) + "|" + nz(g->uuid_string);
}

// Every lookup of one key, as one text.
std::string look_up_all(char **h, const std::string &key) {
    std::string out;
    const auto user = [&](char *rspi_user::*field, uint32_t (*fn)(char **, rspi_user *)) {
        User u;
        u.set(u.get()->*field, key.c_str());
        const uint32_t rc = fn(h, u.get());
        out += dump(rc, u.get()) + "\n";
    };
    user(&rspi_user::uuid_string, rspi_get_user_by_uuid);
    user(&rspi_user::cert_dn, rspi_get_user_by_certdn);
    user(&rspi_user::registry_id, rspi_get_user_by_rgyid);
    const auto group = [&](char *rspi_group::*field, uint32_t (*fn)(char **, rspi_group *)) {
        Group g;
        g.set(g.get()->*field, key.c_str());
        const uint32_t rc = fn(h, g.get());
        out += dump(rc, g.get()) + "\n";
    };
    group(&rspi_group::uuid_string, rspi_get_group_by_uuid);
    group(&rspi_group::registry_id, rspi_get_group_by_rgyid);
    return out;
}

// The writers' uniqueness check, which takes a current copy when there is one.
std::string identities(const std::string &dir, const std::string &key) {
    std::string out;
    for (const std::string_view list : {tolv::kUserList, tolv::kGroupList})
        for (const char *own : {static_cast<const char *>(nullptr), key.c_str()})
            out += std::to_string(tolv::code(tolv::ui_check_identity(dir, list, "dom1 u1", key, key, own,
                                                                     tolv::Rc::UserExists))) +
                   std::to_string(tolv::code(tolv::ui_check_identity(dir, list, "dom2 g2", "", key, nullptr,
                                                                     tolv::Rc::UserExists))) +
                   std::to_string(tolv::code(tolv::ui_check_identity(dir, list, "- -", key, "", nullptr,
                                                                     tolv::Rc::UserExists)));
    return out;
}

// A list replaced as every writer replaces it: a new file renamed over it.
void replace(const std::string &path, const std::string &bytes) {
    write_file(path + ".new", bytes);
    ASSERT_EQ(::rename((path + ".new").c_str(), path.c_str()), 0);
}

class IndexCache : public Registry {
protected:
    // A few real users and groups, so that some lookups find a record.
    void SetUp() override {
        Registry::SetUp();
        for (int i = 0; i < 4; ++i) {
            const std::string n = std::to_string(i);
            User u = user(("dom" + n).c_str(), ("u" + n).c_str());
            u.set(u->registry_id, ("Uid=U" + n + ",O=Ex").c_str()).set(u->cert_dn, ("CN=u" + n + ", O=Ex").c_str());
            ASSERT_EQ(rspi_create_user(h, u.get()), 0u);
            uuids.push_back(u->uuid_string);
            Group g;
            g.set(g->domain, ("dom" + n).c_str()).set(g->group_id, ("g" + n).c_str());
            g.set(g->registry_id, ("cn=G" + n).c_str());
            ASSERT_EQ(rspi_create_group(h, g.get()), 0u);
            uuids.push_back(g->uuid_string);
            names.push_back("dom" + n + " u" + n);
            names.push_back("dom" + n + " g" + n);
            rgys.push_back("Uid=U" + n + ",O=Ex");
            rgys.push_back("cn=G" + n);
            dns.push_back("CN=u" + n + ", O=Ex");
        }
        names.insert(names.end(), {"- -", "nodomain", "dom9 ghost", "Dom0 U0"});
        rgys.insert(rgys.end(), {"UID=U1,O=EX", "r\xc3\x89g", "x  y", ""});
        dns.insert(dns.end(), {"CN=ghost", "CN=u1, O=Ex ", "a b"});
        uuids.insert(uuids.end(), {"0123", "", "not-a-uuid-but-long-enough-to-be-hashed-0000"});
    }
    template <class V>
    const std::string &pick(const V &v) {
        return v[rng() % v.size()];
    }
    std::string index_list() {
        std::string out;
        for (int n = 6 + rng() % 30; n > 0; --n) {
            switch (rng() % 8) {
            case 0: out += "malformed line without separators\n"; break;
            case 1: out += pick(names) + "  " + pick(uuids) + "\n"; break;
            case 2: out += std::string(200 + rng() % 300, 'x') + "  " + pick(uuids) + "  " + pick(rgys) + "\n"; break;
            case 3: out += std::string(1, '\0') + pick(names) + "  " + pick(uuids) + "  " + pick(rgys) + "\n"; break;
            default: out += pick(names) + "  " + pick(uuids) + "  " + pick(rgys) + "\n"; break;
            }
        }
        if (rng() % 4 == 0) out.pop_back();
        return out;
    }
    std::string dn_list() {
        std::string out;
        for (int n = 4 + rng() % 20; n > 0; --n) {
            std::string user = pick(names);
            if (rng() % 6 == 0) user = "onlyone";
            out += (rng() % 5 == 0 ? std::string(240, 'y') + " " : "") + user + " " + pick(dns) + "\n";
        }
        return out;
    }
    std::vector<std::string> keys() {
        std::vector<std::string> k = uuids;
        for (const auto &u : uuids) k.push_back(u.substr(0, 8));
        k.insert(k.end(), rgys.begin(), rgys.end());
        k.insert(k.end(), dns.begin(), dns.end());
        k.push_back(uuids[0] + "  " + rgys[0]);
        return k;
    }
    std::mt19937 rng{7};
    std::vector<std::string> names, uuids, rgys, dns;
};

TEST_F(IndexCache, AnswersAsTheFileDoes) {
    for (int round = 0; round < 40; ++round) {
        replace(path("userlist.file"), index_list());
        replace(path("grouplist.file"), index_list());
        replace(path("certdnlist.file"), dn_list());
        for (const std::string &key : keys()) {
            tolv::indexcache::set_limit(0);
            const std::string want = look_up_all(h, key) + identities(dir(), key);
            tolv::indexcache::set_limit(tolv::indexcache::kDefaultLimit);
            // Cold (the copies are made), then warm.
            for (int pass = 0; pass < 2; ++pass)
                EXPECT_EQ(look_up_all(h, key) + identities(dir(), key), want)
                    << "round " << round << ", key '" << key << "'";
        }
        ASSERT_GT(tolv::indexcache::charged(), 0u);
    }
    // Nothing kept across the end of the registry.
    rspi_terminate(h);
    h = nullptr;
    EXPECT_EQ(tolv::indexcache::charged(), 0u);
}

// Another process rewrites the list with the same size and puts its
// modification time back. A renamed-in file always has another inode (the
// cached copy holds the old one open), whatever the times say; a write in
// place moves the change time, which no one can set back, once the clock has
// ticked (within one tick it is the one change a stat cannot see).
TEST_F(IndexCache, SeesRewritesByAnotherProcess) {
    for (const bool in_place : {false, true}) {
        const std::string list = path("userlist.file");
        const std::string before = read(std::string("userlist.file"));
        std::string after = before;
        // Same size: u0's line now holds another registry id.
        const std::size_t at = after.find("Uid=U0");
        ASSERT_NE(at, std::string::npos);
        after[at + 4] = '7';
        const std::string old_answer = look_up_all(h, "UID=U0,O=EX");
        struct stat st;
        ASSERT_EQ(::stat(list.c_str(), &st), 0);
        if (in_place) ::usleep(20000);  // past the coarsest timestamp tick
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (in_place) {
                const int fd = ::open(list.c_str(), O_WRONLY);
                if (fd < 0 || ::pwrite(fd, after.data(), after.size(), 0) != static_cast<ssize_t>(after.size())) _exit(1);
                ::close(fd);
            } else {
                replace(list, after);
            }
            const struct timespec times[2] = {st.st_atim, st.st_mtim};
            _exit(::utimensat(AT_FDCWD, list.c_str(), times, 0) == 0 ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_EQ(status, 0);
        const std::string got = look_up_all(h, "UID=U0,O=EX");
        tolv::indexcache::set_limit(0);  // drops the copies
        const std::string want = look_up_all(h, "UID=U0,O=EX");
        tolv::indexcache::set_limit(tolv::indexcache::kDefaultLimit);
        EXPECT_NE(want, old_answer);
        EXPECT_EQ(got, want) << (in_place ? "in place" : "renamed");
        replace(list, before);
    }
}

}  // namespace
