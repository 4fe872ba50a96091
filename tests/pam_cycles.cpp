// pam_tolv.so loaded, used and unloaded by libpam in this process, over and
// over, from threads and across fork: nothing is left behind, and no session
// of the registry leaks into another.
#include <dirent.h>
#include <dlfcn.h>
#include <security/pam_appl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "pam_sandbox.h"
#include "tolv.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

using tolvtest::PamSandbox;

namespace {

// Answers every hidden prompt with the password it is given.
int answer(int count, const pam_message **msg, pam_response **resp, void *password) {
    auto *r = static_cast<pam_response *>(std::calloc(static_cast<std::size_t>(count), sizeof(pam_response)));
    if (!r) return PAM_BUF_ERR;
    for (int i = 0; i < count; ++i)
        if (msg[i]->msg_style == PAM_PROMPT_ECHO_OFF) r[i].resp = ::strdup(static_cast<const char *>(password));
    *resp = r;
    return PAM_SUCCESS;
}

// One pam_start (which loads the module), authentication, pam_end (which unloads it).
int sign_in(const PamSandbox &box, const char *service, const char *user, const char *password) {
    pam_conv conv{answer, const_cast<char *>(password)};
    pam_handle_t *h = nullptr;
    int rc = pam_start_confdir(service, user, &conv, box.services.c_str(), &h);
    if (rc != PAM_SUCCESS) return rc;
    rc = pam_authenticate(h, 0);
    pam_end(h, rc);
    return rc;
}

int open_descriptors() {
    int n = 0;
    if (DIR *d = ::opendir("/proc/self/fd")) {
        while (::readdir(d)) ++n;
        ::closedir(d);
    }
    return n;
}

void make_service(PamSandbox &box, const char *name, const std::string &conf) {
    box.service(name, "auth required @MODULE@ config=" + conf + " domain=corp nodelay\n");
}

TEST(PamCycles, ThousandLoadAuthenticateUnloadCyclesLeaveNothingBehind) {
    PamSandbox box;
    ASSERT_EQ(box.init.status, 0) << box.init.err;
    ASSERT_EQ(box.user("corp", "ann", "s3cret").status, 0);
    make_service(box, "cycle", box.conf);
    // The first cycle loads what stays for good (libpam's own state, librspiutil, the plug-in).
    ASSERT_EQ(sign_in(box, "cycle", "ann", "s3cret"), PAM_SUCCESS);
    const int before = open_descriptors();
    for (int i = 0; i < 1000; ++i) {
        const bool right = i % 4 != 3;
        ASSERT_EQ(sign_in(box, "cycle", right ? "ann" : "ann", right ? "s3cret" : "wrong"),
                  right ? PAM_SUCCESS : PAM_AUTH_ERR)
            << "cycle " << i;
    }
    EXPECT_EQ(open_descriptors(), before);
    EXPECT_EQ(::dlopen(TOLV_PAM_MODULE, RTLD_NOW | RTLD_NOLOAD), nullptr) << "pam_end left the module loaded";
    // No registry is left open: settings without dir= open none, and find none open.
    const std::string empty = box.root() + "empty.conf";
    tolvtest::write_file(empty, "");
    char **h = nullptr;
    EXPECT_EQ(rspi_initialize(&h, empty.c_str()), RSPI_RC_CONFIG_ERROR);
#if defined(__SANITIZE_ADDRESS__)
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0);
#endif
}

// Threads sign in to two registries at once while the main thread forks
// children that sign in too: each call reaches its own registry, and no
// child inherits a session half done.
TEST(PamCycles, ThreadsAndForkedChildrenEachReachTheirOwnRegistry) {
    PamSandbox a, b;
    ASSERT_EQ(a.init.status, 0) << a.init.err;
    ASSERT_EQ(b.init.status, 0) << b.init.err;
    ASSERT_EQ(a.user("corp", "ann", "pw-a").status, 0);
    ASSERT_EQ(b.user("corp", "bob", "pw-b").status, 0);
    make_service(a, "a", a.conf);
    make_service(a, "b", b.conf);

    // The threads load the module before the first fork and unload it after the
    // last: a fork while another thread is inside dlopen is unsafe in any program.
    std::atomic<bool> stop{false};
    std::atomic<int> ready{0};
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            // One handle per thread; every call opens and closes the registry.
            const bool on_a = t % 2 == 0;
            pam_conv conv{answer, const_cast<char *>(on_a ? "pw-a" : "pw-b")};
            pam_handle_t *h = nullptr;
            if (pam_start_confdir(on_a ? "a" : "b", on_a ? "ann" : "bob", &conv, a.services.c_str(), &h) !=
                PAM_SUCCESS) {
                ++wrong;
                ++ready;
                return;
            }
            for (int i = 0; i == 0 || !stop; ++i) {
                if (pam_authenticate(h, 0) != PAM_SUCCESS) ++wrong;
                if (i == 0) ++ready;
            }
            pam_end(h, PAM_SUCCESS);
        });
    while (ready < 4) std::this_thread::yield();
    int children_failed = 0;
    for (int i = 0; i < 10; ++i) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::alarm(20);  // a child stuck on an inherited lock fails instead of hanging the test
            ::_exit(sign_in(a, "a", "ann", "pw-a") == PAM_SUCCESS && sign_in(a, "b", "bob", "pw-b") == PAM_SUCCESS ? 0 : 1);
        }
        int status = 0;
        if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
            ++children_failed;
    }
    stop = true;
    for (auto &t : threads) t.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(children_failed, 0);
}

// A program with a registry of its own open: the module signs in to it when
// it is the one configured, refuses another, closes neither, and leaves the
// program's diagnostics as they were.
TEST(PamCycles, AProgramsOwnRegistryStaysOpenAndItsDiagnosticsUntouched) {
    PamSandbox a, b;
    ASSERT_EQ(a.user("corp", "ann", "pw-a").status, 0);
    ASSERT_EQ(b.user("corp", "bob", "pw-b").status, 0);
    make_service(a, "a", a.conf);
    make_service(a, "b", b.conf);
    char **h = nullptr;
    ASSERT_EQ(rspi_initialize(&h, b.conf.c_str()), RSPI_RC_SUCCESS);
    FILE *mine = std::tmpfile();
    ASSERT_NE(mine, nullptr);
    verbose = 1;
    debugOutput = mine;

    EXPECT_EQ(sign_in(a, "b", "bob", "pw-b"), PAM_SUCCESS);
    EXPECT_EQ(sign_in(a, "a", "ann", "pw-a"), PAM_AUTHINFO_UNAVAIL);
    EXPECT_EQ(debugOutput, mine);
    EXPECT_EQ(verbose, 1);
    rspi_user *u = rspi_alloc_user();
    u->user_id = rspi_strdup("bob");
    u->domain = rspi_strdup("corp");
    EXPECT_EQ(rspi_get_user(h, u), RSPI_RC_SUCCESS) << "the program's registry was closed";
    rspi_free_user(u);

    verbose = 0;
    debugOutput = nullptr;
    std::fclose(mine);
    rspi_terminate(h);
}

}  // namespace
