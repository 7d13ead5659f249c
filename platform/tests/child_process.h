// A program run as a child of the test, with its standard output and error read back, either
// from pipes (read while waiting, so that a full pipe does not stall it) or from files.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "scratch_dir.h"

namespace plat_test {

class ChildProcess {
  public:
    // Output into pipes.
    explicit ChildProcess(std::vector<std::string> args,
                          std::optional<uid_t> as_user = std::nullopt) {
        int out[2];
        int err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "no pipes for " << args[0];
            return;
        }
        start(args, out[1], err[1], as_user);
        ::close(out[1]);
        ::close(err[1]);
        out_ = out[0];
        err_ = err[0];
        open_pipes_ = 2;
    }
    // Output into files; nothing of an earlier program's output may be taken for this one's.
    ChildProcess(std::vector<std::string> args, std::filesystem::path out,
                 std::filesystem::path err, std::optional<uid_t> as_user = std::nullopt)
        : out_path_(std::move(out)), err_path_(std::move(err)) {
        std::filesystem::remove(out_path_);
        std::filesystem::remove(err_path_);
        const int o = ::open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int e = ::open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (o >= 0 && e >= 0) {
            start(args, o, e, as_user);
        } else {
            ADD_FAILURE() << "cannot create " << out_path_ << " or " << err_path_;
        }
        ::close(o);
        ::close(e);
    }
    // A child the test forked itself.
    explicit ChildProcess(pid_t forked) : pid_(forked) {}
    ~ChildProcess() {
        if (pid_ > 0 && status_ == kRunning) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        ::close(out_);
        ::close(err_);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    void signal(int number) const { kill(pid_, number); }

    bool running() {
        int status = 0;
        if (pid_ > 0 && status_ == kRunning && waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        return pid_ > 0 && status_ == kRunning;
    }

    // The exit status (128 + signal when killed by one), or -1 when it did not end in time
    // (it is killed then, and the test fails).
    int wait_exit(std::chrono::milliseconds timeout) {
        const auto give_up = std::chrono::steady_clock::now() + timeout;
        while (running()) {
            if (std::chrono::steady_clock::now() > give_up) {
                ADD_FAILURE() << "timed out waiting for the program to end";
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
                status_ = -1;
                break;
            }
            if (!pump(5)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
        // What is left in the pipes; bounded, for a grandchild may hold them open.
        const auto drained = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (pump(0) && std::chrono::steady_clock::now() < drained) {
        }
        return pid_ > 0 ? status_ : -1;
    }

    // Reads standard output until it holds `text`, or the time-out passes. Whether it does.
    bool wait_for_output(const std::string& text, std::chrono::milliseconds timeout) {
        const auto give_up = std::chrono::steady_clock::now() + timeout;
        while (out().find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > give_up) {
                return false;
            }
            if (open_pipes_ == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            } else if (!pump(20)) {
                return out().find(text) != std::string::npos;
            }
        }
        return true;
    }

    std::string out() const { return out_path_.empty() ? out_text_ : read_text(out_path_); }
    std::string err() const { return err_path_.empty() ? err_text_ : read_text(err_path_); }

  private:
    static constexpr int kRunning = -2;

    void start(std::vector<std::string>& args, int out, int err, std::optional<uid_t> as_user) {
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            // Only async-signal-safe calls between fork and exec.
            if (dup2(out, 1) < 0 || dup2(err, 2) < 0) {
                _exit(126);
            }
            if (as_user &&
                (setgroups(0, nullptr) != 0 || setgid(*as_user) != 0 || setuid(*as_user) != 0)) {
                _exit(126);
            }
            execv(argv[0], argv.data());
            _exit(127);
        }
        EXPECT_GT(pid_, 0) << "cannot start " << args[0];
    }

    // Takes what the pipes hold within the time; false once both have ended.
    bool pump(int timeout_ms) {
        if (open_pipes_ == 0) {
            return false;
        }
        pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        if (poll(fds, 2, timeout_ms) <= 0) {
            return open_pipes_ > 0;
        }
        int* ends[2] = {&out_, &err_};
        std::string* texts[2] = {&out_text_, &err_text_};
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents == 0 || fds[i].fd < 0) {
                continue;
            }
            char buffer[65536];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                texts[i]->append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0) {
                ::close(*ends[i]);
                *ends[i] = -1;
                --open_pipes_;
            }
        }
        return open_pipes_ > 0;
    }

    std::filesystem::path out_path_;
    std::filesystem::path err_path_;
    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    int open_pipes_ = 0;
    int status_ = kRunning;
    std::string out_text_;
    std::string err_text_;
};

}  // namespace plat_test
