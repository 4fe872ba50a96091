// pam_tolv.so through real PAM programs: pamtester on private service files
// (libpam_wrapper), a registry on a read-only file system, and as root a real
// /etc/pam.d service and su from another account.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "pam_sandbox.h"

using tolvtest::AdmResult;
using tolvtest::PamSandbox;

namespace {

const char kAuthFailure[] = "Authentication failure";
const char kUnknown[] = "User not known to the underlying authentication module";
const char kUnavailable[] = "Authentication service cannot retrieve authentication info";

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

bool have_program(const char *name) {
    return tolvtest::run_program({"sh", "-c", std::string("command -v ") + name}).status == 0;
}

class PamModule : public ::testing::Test {
protected:
    void SetUp() override {
        if (!have_program("pamtester")) GTEST_SKIP() << "pamtester is not installed (Debian: pamtester)";
        if (TOLV_PAM_WRAPPER[0] == '\0') GTEST_SKIP() << "libpam_wrapper is not installed (Debian: libpam-wrapper)";
        ASSERT_EQ(box.init.status, 0) << box.init.err;
        ASSERT_EQ(box.user("corp", "ann", "s3cret").status, 0);
        // A diagnostics file the plug-in would create: the module never hands it over.
        tolvtest::write_file(box.conf, tolvtest::read_file(box.conf) + "verbose=" + trace() + "\n");
        box.service("tolv", "auth     required @MODULE@ config=@CONF@ domain=corp nodelay\n"
                            "account  required @MODULE@ config=@CONF@ domain=corp\n"
                            "password required @MODULE@ config=@CONF@ domain=corp\n");
    }
    AdmResult pam(const std::string &user, const std::vector<std::string> &ops, const std::string &input,
                  const std::string &service = "tolv") {
        return box.pamtester(service, user, ops, input);
    }
    std::string trace() const { return box.root() + "trace.log"; }

    PamSandbox box;
};

// Who signs in, with which password; nothing in the registry changes and no file appears.
TEST_F(PamModule, SignsInWithTheRegistryPasswordOnly) {
    const tolvtest::Files before = tolvtest::snapshot(box.dir);

    AdmResult r = pam("ann", {"authenticate", "acct_mgmt"}, "s3cret\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "successfully authenticated")) << r.out;
    EXPECT_EQ(pam("ann@corp", {"authenticate"}, "s3cret\n").status, 0);

    r = pam("ann", {"authenticate"}, "s3cre\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, kAuthFailure)) << r.err;
    EXPECT_TRUE(contains(r.err, "authentication failure for corp/ann: wrong password (23)")) << r.err;
    r = pam("ann", {"authenticate"}, "\n");
    EXPECT_TRUE(contains(r.err, kAuthFailure)) << r.err;
    EXPECT_TRUE(contains(r.err, "empty password")) << r.err;

    r = pam("bob", {"authenticate"}, "s3cret\n");
    EXPECT_TRUE(contains(r.err, kUnknown)) << r.err;
    // Names the registry would take for another one, or outside the service's domain.
    for (const char *name : {"Ann", "ann@eng", "corp:ann", "ann\\x", "a b", ""}) {
        r = pam(name, {"authenticate"}, "s3cret\n");
        EXPECT_EQ(r.status, 1) << name;
        EXPECT_TRUE(contains(r.err, kUnknown)) << name << ": " << r.err;
    }
    EXPECT_TRUE(contains(pam("Ann", {"authenticate"}, "s3cret\n").err, "holds 'A'"));
    // Without domain= a name must carry its domain.
    box.service("nodomain", "auth required @MODULE@ config=@CONF@ nodelay\n");
    EXPECT_EQ(pam("ann@corp", {"authenticate"}, "s3cret\n", "nodomain").status, 0);
    EXPECT_TRUE(contains(pam("ann", {"authenticate"}, "s3cret\n", "nodomain").err, kUnknown));

    EXPECT_EQ(tolvtest::snapshot(box.dir), before);
    EXPECT_FALSE(tolvtest::file_exists(trace()));
}

// The account phase refuses accounts that are not valid and users that are disabled.
TEST_F(PamModule, AccountPhaseRefusesInvalidAndDisabledUsers) {
    ASSERT_EQ(box.user("corp", "nopass", "").status, 0);  // no password: not valid
    ASSERT_EQ(box.user("corp", "cy", "cy-pw").status, 0);
    ASSERT_EQ(tolvtest::tolvadm(box.conf, {"user", "modify", "corp", "cy", "--account-valid", "0"}).status, 0);
    ASSERT_EQ(box.user("corp", "dee", "dee-pw").status, 0);
    ASSERT_EQ(tolvtest::tolvadm(box.conf, {"user", "disable", "corp", "dee"}).status, 0);

    EXPECT_EQ(pam("ann", {"acct_mgmt"}, "").status, 0);
    AdmResult r = pam("nopass", {"acct_mgmt"}, "");
    EXPECT_TRUE(contains(r.err, "User account has expired")) << r.err;
    // The right password of an account that is not valid is still a failure, with the reason logged.
    r = pam("cy", {"authenticate"}, "cy-pw\n");
    EXPECT_TRUE(contains(r.err, kAuthFailure)) << r.err;
    EXPECT_TRUE(contains(r.err, "the account is not valid (21)")) << r.err;
    EXPECT_TRUE(contains(pam("cy", {"acct_mgmt"}, "").err, "User account has expired"));
    // A disabled user has no entry under its names.
    EXPECT_TRUE(contains(pam("dee", {"authenticate"}, "dee-pw\n").err, kUnknown));
    EXPECT_TRUE(contains(pam("dee", {"acct_mgmt"}, "").err, kUnknown));
    EXPECT_TRUE(contains(pam("bob", {"acct_mgmt"}, "").err, kUnknown));
}

// A change needs the old password; afterwards only the new one signs in.
TEST_F(PamModule, PasswordChangeReplacesTheOldPassword) {
    const std::string file = box.dir + "corp_ann.QZuser";
    const std::string stored = tolvtest::read_file(file);
    for (const std::string &input : {std::string("wrong\nnew-pw\nnew-pw\n"), std::string("s3cret\nnew-pw\nother\n"),
                                     std::string("s3cret\n\n\n"), "s3cret\n" + std::string(100, 'x') + "\n" +
                                                                         std::string(100, 'x') + "\n"}) {
        const AdmResult r = pam("ann", {"chauthtok"}, input);
        EXPECT_EQ(r.status, 1) << input;
        EXPECT_EQ(tolvtest::read_file(file), stored) << input;
    }
    EXPECT_TRUE(contains(pam("ann", {"chauthtok"}, "s3cret\n\n\n").err, "the new password is empty"));

    AdmResult r = pam("ann", {"chauthtok"}, "s3cret\nnew-pw\nnew-pw\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "password of corp/ann changed")) << r.err;
    EXPECT_EQ(pam("ann", {"authenticate"}, "new-pw\n").status, 0);
    EXPECT_TRUE(contains(pam("ann", {"authenticate"}, "s3cret\n").err, kAuthFailure));
    EXPECT_EQ(tolvtest::tolvadm(box.conf, {"user", "auth", "corp", "ann"}, "new-pw\n").status, 0);
}

// Passwords an earlier module of the stack took are used without asking again:
// use_first_pass after pam_unix, use_authtok after a module that set both tokens.
TEST_F(PamModule, EarlierModulesPasswordsAreUsedWithoutAsking) {
    box.service("stacked", "auth optional pam_unix.so nodelay\n"
                           "auth required @MODULE@ config=@CONF@ domain=corp nodelay use_first_pass\n");
    AdmResult r = pam("ann", {"authenticate"}, "s3cret\n", "stacked");
    EXPECT_EQ(r.status, 0) << r.err;
    r = pam("ann", {"authenticate"}, "wrong\ns3cret\n", "stacked");
    EXPECT_TRUE(contains(r.err, kAuthFailure)) << r.err;
    // Alone, with nothing before it, it has no password to check.
    box.service("alone", "auth required @MODULE@ config=@CONF@ domain=corp nodelay use_first_pass\n");
    EXPECT_EQ(pam("ann", {"authenticate"}, "s3cret\n", "alone").status, 1);

    // pam_set_items (libpam_wrapper's) sets PAM_OLDAUTHTOK and PAM_AUTHTOK from the environment.
    const std::string wrapper = TOLV_PAM_WRAPPER;
    box.service("items", "password required " + wrapper.substr(0, wrapper.rfind('/')) +
                             "/pam_wrapper/pam_set_items.so\n"
                             "password required @MODULE@ config=@CONF@ domain=corp use_authtok\n");
    r = box.pamtester("items", "ann", {"chauthtok"}, "", {"PAM_OLDAUTHTOK=s3cret", "PAM_AUTHTOK=from-items"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(pam("ann", {"authenticate"}, "from-items\n").status, 0);
}

// A missing configuration, or one another account could change, leaves the registry unused and says why.
TEST_F(PamModule, RefusesRegistriesAnotherAccountCouldChange) {
    const auto refused = [&](const std::string &why) {
        const AdmResult r = pam("ann", {"authenticate"}, "s3cret\n");
        EXPECT_TRUE(contains(r.err, kUnavailable)) << why << ": " << r.err;
        EXPECT_TRUE(contains(r.err, why)) << r.err;
    };
    ASSERT_EQ(::chmod(box.conf.c_str(), 0666), 0);
    refused(box.conf + " has mode 0666: other accounts can write it");
    ASSERT_EQ(::chmod(box.conf.c_str(), 0600), 0);
    ASSERT_EQ(::chmod(box.dir.c_str(), 0770), 0);
    refused(box.dir.substr(0, box.dir.size() - 1) + " has mode 0770: other accounts can write it");
    ASSERT_EQ(::chmod(box.dir.c_str(), 0700), 0);
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(box.dir.c_str(), 65534, 65534), 0);
        refused(" belongs to uid 65534: an account other than root could change it");
        ASSERT_EQ(::chown(box.dir.c_str(), 0, 0), 0);
    }
    EXPECT_EQ(pam("ann", {"authenticate"}, "s3cret\n").status, 0);

    box.service("tolv", "auth required @MODULE@ config=" + box.root() + "missing.conf domain=corp nodelay\n");
    refused("missing.conf: No such file or directory");
    box.service("tolv", "auth required @MODULE@ config=tolv.conf domain=corp nodelay\n");
    EXPECT_TRUE(contains(pam("ann", {"authenticate"}, "s3cret\n").err, "must be an absolute path"));
}

// Signing in reads only; a change fails cleanly on a read-only registry.
TEST_F(PamModule, ReadOnlyRegistryStillAuthenticates) {
    // A read-only bind mount in a private mount namespace. (In a user namespace root's own
    // directories would show as nobody's, which the module rightly refuses.)
    if (::geteuid() != 0) GTEST_SKIP() << "needs root, for a read-only bind mount of the registry";
    const std::vector<std::string> ns{"unshare", "-m", "sh", "-c",
                                      "mount --bind \"$0\" \"$0\" && mount -o remount,ro,bind \"$0\" && exec \"$@\"",
                                      box.dir};
    if (tolvtest::run_program({"unshare", "-m", "true"}).status != 0)
        GTEST_SKIP() << "unshare -m is refused here, so there is no private mount namespace for a read-only bind mount";
    const auto in_ro = [&](const std::vector<std::string> &ops, const std::string &input) {
        std::vector<std::string> argv = ns;
        const std::vector<std::string> env = box.env(true);
        argv.insert(argv.end(), env.begin(), env.end());
        argv.insert(argv.end(), {"pamtester", "tolv", "ann"});
        argv.insert(argv.end(), ops.begin(), ops.end());
        return tolvtest::run_program(argv, input);
    };
    const tolvtest::Files before = tolvtest::snapshot(box.dir);
    AdmResult r = in_ro({"authenticate", "acct_mgmt"}, "s3cret\n");
    EXPECT_EQ(r.status, 0) << r.err;
    r = in_ro({"chauthtok"}, "s3cret\nnew-pw\nnew-pw\n");
    EXPECT_TRUE(contains(r.err, "Authentication token manipulation error")) << r.err;
    EXPECT_TRUE(contains(r.err, "could not be read or written (6)")) << r.err;
    EXPECT_EQ(tolvtest::snapshot(box.dir), before);
}

// Without nodelay a failure waits as pam_unix's does (libpam varies the 2 s).
TEST_F(PamModule, FailedAuthenticationWaits) {
    box.service("slow", "auth required @MODULE@ config=@CONF@ domain=corp\n");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(pam("ann", {"authenticate"}, "wrong\n", "slow").status, 1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
}

// Removes a file at the end of the test, however it ends.
struct Removed {
    std::string path;
    ~Removed() { ::unlink(path.c_str()); }
};

// A local account for the test's length.
struct LocalAccount {
    std::string name;
    bool made = false;
    explicit LocalAccount(std::string n) : name(std::move(n)) {
        made = tolvtest::run_program({"useradd", "-M", "-s", "/bin/sh", name}).status == 0;
    }
    ~LocalAccount() {
        if (made) tolvtest::run_program({"userdel", name});
    }
};

// As root: a real service file in /etc/pam.d for pamtester, and su from an
// ordinary account into one that exists both locally and in the registry.
TEST_F(PamModule, RealServiceWithPamtesterAndSu) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root: it installs a service file in /etc/pam.d and a local account";
    const std::string name = "tolvpam" + std::to_string(::getpid());
    const std::string text = "auth     required @MODULE@ config=@CONF@ domain=corp nodelay\n"
                             "account  required @MODULE@ config=@CONF@ domain=corp\n";
    Removed service{box.service(name, text, "/etc/pam.d/")};
    std::vector<std::string> argv = box.env(false);
    argv.insert(argv.end(), {"pamtester", name, "ann", "authenticate", "acct_mgmt"});
    EXPECT_EQ(tolvtest::run_program(argv, "s3cret\n").status, 0);
    EXPECT_TRUE(contains(tolvtest::run_program(argv, "wrong\n").err, kAuthFailure));

    if (tolvtest::sanitized())
        GTEST_SKIP() << "su is setuid, so the loader ignores LD_PRELOAD and an AddressSanitizer build of the module "
                        "cannot load into it; build-clang runs this part";
    if (!::getpwnam("nobody")) GTEST_SKIP() << "no account 'nobody' to run su from";
    LocalAccount local(name);
    ASSERT_TRUE(local.made) << "useradd " << name;
    ASSERT_EQ(box.user("corp", name, "su-pw").status, 0);
    // su's own service file, replaced only inside a private mount namespace.
    const std::string su = box.service("su", "auth     sufficient pam_rootok.so\n" + text +
                                                 "session  required pam_permit.so\n");
    const auto su_as_nobody = [&](const std::string &password) {
        return tolvtest::run_program({"unshare", "-m", "sh", "-c",
                                      "mount --bind \"$0\" /etc/pam.d/su && exec runuser -u nobody -- su \"$1\" -c 'id -un'",
                                      su, name},
                                     password + "\n");
    };
    AdmResult r = su_as_nobody("su-pw");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, name + "\n");
    r = su_as_nobody("s3cret");
    EXPECT_NE(r.status, 0);
    EXPECT_TRUE(contains(r.err, kAuthFailure)) << r.err;
}

}  // namespace
