// A program run as a child with its standard output and error read back, for the tests of
// programs and of readers and writers in processes of their own.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace reader_test {

class ChildProcess {
  public:
    explicit ChildProcess(std::vector<std::string> args) {
        int out[2];
        int err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }
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
    void signal(int number) const { kill(pid_, number); }

    // Reads standard output until it holds `text`, or the time-out passes. Whether it does.
    bool wait_for_output(const std::string& text, std::chrono::milliseconds timeout) {
        const auto give_up = std::chrono::steady_clock::now() + timeout;
        while (out_text_.find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > give_up || !pump(20)) {
                return out_text_.find(text) != std::string::npos;
            }
        }
        return true;
    }

    // The exit status (128 + signal when killed by one), or -1 when it did not end in time
    // (it is killed then). Output is read meanwhile, so that a full pipe does not stall it.
    int wait(std::chrono::milliseconds timeout) {
        const auto give_up = std::chrono::steady_clock::now() + timeout;
        while (status_ == kRunning) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            if (std::chrono::steady_clock::now() > give_up) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
                status_ = -1;
                break;
            }
            pump(5);
        }
        while (pump(0)) {
        }
        return status_;
    }

    const std::string& out() const { return out_text_; }
    const std::string& err() const { return err_text_; }

  private:
    static constexpr int kRunning = -2;

    // Takes what the pipes hold within the time; false once both have ended.
    bool pump(int timeout_ms) {
        pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        if (poll(fds, 2, timeout_ms) <= 0) {
            return open_pipes_ > 0;
        }
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
                ::close(i == 0 ? out_ : err_);
                (i == 0 ? out_ : err_) = -1;
                --open_pipes_;
            }
        }
        return open_pipes_ > 0;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    int open_pipes_ = 2;
    int status_ = kRunning;
    std::string out_text_;
    std::string err_text_;
};

}  // namespace reader_test
