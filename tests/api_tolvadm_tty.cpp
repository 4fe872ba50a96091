// tolvadm's password prompt on a terminal: a pseudo-terminal stands in for
// the administrator's, and the test reads the terminal's settings while the
// tool waits for input.
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "registry.h"

namespace {

class TolvadmTty : public tolvtest::Registry {
protected:
    void TearDown() override {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0) close(master_);
        if (slave_ >= 0) close(slave_);
        tolvtest::Registry::TearDown();
    }

    // Starts tolvadm with the pseudo-terminal as its controlling terminal and
    // standard input, output and error. The test keeps the terminal's other side
    // open, so its settings can be read after the tool is gone.
    void start(std::vector<std::string> args) {
        ASSERT_EQ(openpty(&master_, &slave_, nullptr, nullptr, nullptr), 0);
        const std::string conf = conf_dir_.path() + "tolv.conf";
        args.insert(args.begin(), {TOLVADM_PATH, "--config", conf});
        std::vector<char *> argv;
        for (auto &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_ = fork();
        ASSERT_GE(pid_, 0);
        if (pid_ == 0) {
            setsid();
            ioctl(slave_, TIOCSCTTY, 0);
            for (int fd = 0; fd < 3; ++fd) dup2(slave_, fd);
            close(master_);
            execv(TOLVADM_PATH, argv.data());
            _exit(127);
        }
    }

    // Reads the terminal until text shows (or 10 seconds pass).
    bool wait_for(const std::string &text) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (seen_.find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > end) return false;
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char buf[256];
            const ssize_t n = ::read(master_, buf, sizeof buf);
            if (n <= 0) return false;
            seen_.append(buf, static_cast<std::size_t>(n));
        }
        return true;
    }

    bool echo() const {
        termios t{};
        tcgetattr(slave_, &t);
        return (t.c_lflag & ECHO) != 0;
    }

    void type(const std::string &text) { ASSERT_EQ(::write(master_, text.data(), text.size()), ssize_t(text.size())); }

    int wait_exit() {
        int ws = 0;
        waitpid(pid_, &ws, 0);
        pid_ = -1;
        return ws;
    }

    int master_ = -1, slave_ = -1;
    pid_t pid_ = -1;
    std::string seen_;
};

TEST_F(TolvadmTty, NewPasswordIsAskedTwiceWithoutEcho) {
    start({"user", "create", "corp", "tia", "--password"});
    ASSERT_TRUE(wait_for("New password for user corp/tia: ")) << seen_;
    EXPECT_FALSE(echo());
    type("sea-shell\n");
    ASSERT_TRUE(wait_for("Repeat the new password: ")) << seen_;
    EXPECT_FALSE(echo());
    type("sea-shell\n");
    const int ws = wait_exit();
    ASSERT_TRUE(WIFEXITED(ws));
    EXPECT_EQ(WEXITSTATUS(ws), 0) << seen_;
    EXPECT_EQ(seen_.find("sea-shell"), std::string::npos) << seen_;
    EXPECT_TRUE(echo());
    EXPECT_EQ(tolvtest::lines(read("corp_tia.QZuser"))[4], "sea-shell");
}

TEST_F(TolvadmTty, SignalAtThePromptRestoresTheTerminal) {
    for (const int sig : {SIGINT, SIGTERM}) {
        start({"user", "auth", "corp", "tia"});
        ASSERT_TRUE(wait_for("Password for corp/tia: ")) << seen_;
        EXPECT_FALSE(echo());
        kill(pid_, sig);
        const int ws = wait_exit();
        EXPECT_TRUE(WIFSIGNALED(ws) && WTERMSIG(ws) == sig) << ws;
        EXPECT_TRUE(echo()) << sig;
        close(master_);
        close(slave_);
        master_ = slave_ = -1;
        seen_.clear();
    }
}

}  // namespace
