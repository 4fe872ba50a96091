// tolvadm export beyond the corpus (tests/corpus/export.ops, import.ops):
// the LDIF loaded into a real OpenLDAP server.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fcntl.h>
#include <string>
#include <thread>
#include <vector>

#include "registry.h"
#include "tolvadm_run.h"

using tolvtest::AdmResult;
using tolvtest::run_program;
using tolvtest::TempDir;

namespace {

// Two users (one with a credential) in a group, a resource group; a name a DN
// must escape, a user without a password (not valid), a disabled one in the group.
const char *const kDocument = R"({"format": "tolv-export", "version": 1,
  "users": [{"domain": "corp", "user_id": "ann", "registry_id": "ANN", "password": "a"},
    {"domain": "corp", "user_id": "bob", "password": "b", "text_1": "x", "credentials": [{"resource": "db", "text": "s"}]},
    {"domain": "lab", "user_id": "o'neil+x,y", "password": "p w", "description": "Zoë"},
    {"domain": "corp", "user_id": "nopw"},
    {"domain": "corp", "user_id": "gone", "password": "g", "enabled": false}],
  "groups": [{"domain": "corp", "group_id": "staff", "registry_id": "S", "members": [{"domain": "corp", "user_id": "ann"},
      {"domain": "corp", "user_id": "bob"}, {"domain": "corp", "user_id": "gone"}]},
    {"domain": "lab", "group_id": "empty", "registry_id": "E"}],
  "resources": [{"name": "res1"}],
  "resource_groups": [{"name": "office", "members": ["res1"]}]})";

class ExportImport : public tolvtest::Registry {
protected:
    AdmResult adm(const std::vector<std::string> &args) { return tolvtest::tolvadm(conf_dir_.path() + "tolv.conf", args); }
};

// A throw-away slapd on 127.0.0.1: mdb database in a temporary directory, run
// as the current user, stopped (and reaped) when the object goes, whatever
// the test did.
class Slapd {
public:
    static constexpr const char *kBinary = "/usr/sbin/slapd";
    static constexpr const char *kSuffix = "dc=example,dc=com";
    static constexpr const char *kAdmin = "cn=admin,dc=example,dc=com";
    static constexpr const char *kAdminPassword = "admin-secret";

    Slapd() {
        tolvtest::write_file(dir_.path() + "slapd.conf",
                             std::string("include /etc/ldap/schema/core.schema\n"
                                         "include /etc/ldap/schema/cosine.schema\n"
                                         "include /etc/ldap/schema/inetorgperson.schema\n"
                                         "modulepath /usr/lib/ldap\nmoduleload back_mdb\n"
                                         "database mdb\nmaxsize 16777216\n") +
                                 "suffix \"" + kSuffix + "\"\nrootdn \"" + kAdmin + "\"\nrootpw " + kAdminPassword +
                                 "\ndirectory " + dir_.path() + "\n" +
                                 "access to attrs=userPassword by self read by anonymous auth by * none\n"
                                 "access to * by * read\n");
        for (int attempt = 0; attempt < 3 && pid_ <= 0; ++attempt) start();
    }
    ~Slapd() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        for (int i = 0; i < 100; ++i) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    bool running() const { return pid_ > 0; }
    std::string url() const { return "ldap://127.0.0.1:" + std::to_string(port_); }
    std::string log() const { return tolvtest::read_file(dir_.path() + "log"); }

private:
    static int free_port() {
        const int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        int port = 0;
        if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
            getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) == 0)
            port = ntohs(a.sin_port);
        close(s);
        return port;
    }
    static bool accepts(int port) {
        const int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool ok = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
        close(s);
        return ok;
    }
    // Starts slapd in the foreground (-d 0) on a free port and waits until it
    // accepts connections; a slapd that exits or never listens is given up.
    void start() {
        port_ = free_port();
        const std::string conf = dir_.path() + "slapd.conf", log = dir_.path() + "log";
        const std::string listen = url() + "/";
        const pid_t parent = getpid();
        const pid_t pid = fork();
        if (pid == 0) {
            // Should the test process die before its destructors run, slapd goes too.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != parent) _exit(127);
            const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            if (out >= 0) dup2(out, 1), dup2(out, 2);
            execl(kBinary, kBinary, "-f", conf.c_str(), "-h", listen.c_str(), "-d", "0", static_cast<char *>(nullptr));
            _exit(127);
        }
        if (pid < 0) return;
        for (int i = 0; i < 200; ++i) {
            if (waitpid(pid, nullptr, WNOHANG) == pid) return;  // it exited: port taken, bad configuration
            if (accepts(port_)) {
                pid_ = pid;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }

    TempDir dir_;
    pid_t pid_ = -1;
    int port_ = 0;
};

TEST_F(ExportImport, LdifLoadsIntoOpenLdapAndMigratedUsersBindWithTheirPasswords) {
    if (access(Slapd::kBinary, X_OK) != 0) GTEST_SKIP() << "slapd is not installed (Debian: slapd, ldap-utils)";

    const std::string file = conf_dir_.path() + "doc.json", ldif = conf_dir_.path() + "out.ldif";
    tolvtest::write_file(file, kDocument);
    AdmResult r = adm({"import", file});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    r = adm({"export", "--format", "ldif", "--base-dn", Slapd::kSuffix, "--with-secrets", ldif});
    ASSERT_EQ(r.status, 0) << r.err;

    Slapd slapd;
    ASSERT_TRUE(slapd.running()) << slapd.log();
    const std::vector<std::string> admin{"-x", "-H", slapd.url(), "-D", Slapd::kAdmin, "-w", Slapd::kAdminPassword};
    auto with = [](std::vector<std::string> a, const std::vector<std::string> &more) {
        a.insert(a.end(), more.begin(), more.end());
        return a;
    };
    // The base entry is the directory's own; the export goes below it.
    AdmResult l = run_program(with({"ldapadd"}, admin),
                "dn: dc=example,dc=com\nobjectClass: dcObject\nobjectClass: organization\ndc: example\no: Example\n");
    ASSERT_EQ(l.status, 0) << l.err;
    l = run_program(with(with({"ldapadd"}, admin), {"-f", ldif}));
    ASSERT_EQ(l.status, 0) << l.err << tolvtest::read_file(ldif);

    l = run_program(
        with(with({"ldapsearch", "-LLL"}, admin), {"-b", Slapd::kSuffix, "(objectClass=inetOrgPerson)", "uid"}));
    ASSERT_EQ(l.status, 0) << l.out;
    std::size_t people = 0;
    for (const auto &line : tolvtest::lines(l.out)) people += line.rfind("uid:", 0) == 0;
    EXPECT_EQ(people, 4u) << l.out;  // ann, bob, o'neil, nopw; not the disabled one
    EXPECT_EQ(l.out.find("gone"), std::string::npos);
    l = run_program(with(with({"ldapsearch", "-LLL"}, admin),
                 {"-b", "cn=staff,ou=groups,ou=corp,dc=example,dc=com", "-s", "base", "member", "description"}));
    EXPECT_NE(l.out.find("member: uid=ann,ou=people,ou=corp,dc=example,dc=com"), std::string::npos) << l.out;
    EXPECT_NE(l.out.find("member: uid=bob,ou=people,ou=corp,dc=example,dc=com"), std::string::npos) << l.out;
    EXPECT_EQ(l.out.find("gone"), std::string::npos) << l.out;

    // Migrated users bind with the passwords they had; a user without one cannot.
    const std::string oneil = "uid=o'neil\\+x\\,y,ou=people,ou=lab,dc=example,dc=com";
    l = run_program({"ldapwhoami", "-x", "-H", slapd.url(), "-D", oneil, "-w", "p w"});
    EXPECT_EQ(l.status, 0) << l.out;
    l = run_program({"ldapwhoami", "-x", "-H", slapd.url(), "-D", "uid=ann,ou=people,ou=corp,dc=example,dc=com", "-w", "a"});
    EXPECT_EQ(l.status, 0) << l.out;
    l = run_program({"ldapwhoami", "-x", "-H", slapd.url(), "-D", "uid=ann,ou=people,ou=corp,dc=example,dc=com", "-w", "b"});
    EXPECT_EQ(l.status, 49) << l.out;  // invalid credentials
    l = run_program({"ldapwhoami", "-x", "-H", slapd.url(), "-D", "uid=nopw,ou=people,ou=corp,dc=example,dc=com", "-w", "x"});
    EXPECT_EQ(l.status, 49) << l.out;
    l = run_program(with(with({"ldapsearch", "-LLL"}, admin), {"-b", oneil, "-s", "base", "description"}));
    EXPECT_NE(l.out.find("description:: Wm/Dqw=="), std::string::npos) << l.out;  // "Zoë"
}

}  // namespace
