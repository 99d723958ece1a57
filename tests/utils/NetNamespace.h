#pragma once
// Private network namespaces for tests, with no name in /var/run/netns: each
// lives as long as its file descriptor (and whatever sockets were made in
// it), so nothing is left behind even when a test crashes.
#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

class NetNamespace {
public:
    // A new, empty namespace (only a loopback interface, down), or null with
    // the reason in *error.
    static std::unique_ptr<NetNamespace> create(std::string* error)
    {
        int fd = -1;
        std::string failure;
        std::thread([&] {
            if (unshare(CLONE_NEWNET) != 0) {
                failure = std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
                return;
            }
            fd = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
            if (fd < 0)
                failure = std::string("open /proc/thread-self/ns/net: ") + std::strerror(errno);
        }).join();
        if (fd < 0) {
            if (error) *error = failure;
            return nullptr;
        }
        return std::unique_ptr<NetNamespace>(new NetNamespace(fd));
    }

    ~NetNamespace() { close(m_fd); }
    NetNamespace(const NetNamespace&) = delete;
    NetNamespace& operator=(const NetNamespace&) = delete;

    // The namespace as a file that `ip ... netns` accepts.
    std::string path() const
    {
        return "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(m_fd);
    }

    // Runs fn on a thread that has entered the namespace; sockets made there
    // stay in it.
    template <class Fn>
    void run(Fn&& fn) const
    {
        std::thread([&] {
            if (setns(m_fd, CLONE_NEWNET) != 0) std::abort();
            fn();
        }).join();
    }

    // Runs a command (e.g. {"ip", "link", ...}) inside the namespace; true
    // when it exits with 0.
    bool exec(const std::vector<std::string>& argv) const
    {
        bool ok = false;
        run([&] {
            std::vector<char*> args;
            for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            pid_t pid = -1;
            if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return;
            int status = 0;
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        });
        return ok;
    }

private:
    explicit NetNamespace(int fd) : m_fd(fd) {}
    int m_fd;
};
