#include "device_namespace.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ndi::testsupport {

namespace {

constexpr int kUnavailable = 77;

std::string errorText(const std::string& what) { return what + ": " + std::strerror(errno); }

void bindFromOld(int oldDev, const char* name)
{
    const std::string source = "/proc/self/fd/" + std::to_string(oldDev) + "/" + name;
    struct stat st {};
    if (::stat(source.c_str(), &st) != 0) return;  // the machine has no such device
    const std::string target = std::string("/dev/") + name;
    if (S_ISDIR(st.st_mode)) {
        if (::mkdir(target.c_str(), 0755) != 0)
            throw std::runtime_error(errorText("mkdir " + target));
    } else {
        const int fd = ::open(target.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
        if (fd < 0) throw std::runtime_error(errorText("create " + target));
        ::close(fd);
    }
    if (::mount(source.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
        throw std::runtime_error(errorText("bind " + target));
    }
}

// Returns an empty string when the namespace is ready, else why it is not
// available (first) or what failed.
std::string makeNamespace(bool& unavailable)
{
    unavailable = true;
    if (::unshare(CLONE_NEWNS) != 0) return errorText("unshare(CLONE_NEWNS)");
    // Nothing mounted from here on may reach the rest of the machine.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return errorText("make / private");
    const int oldDev = ::open("/dev", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (oldDev < 0) return errorText("open /dev");
    if (::mount("ndi-test-dev", "/dev", "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=755,size=64k") != 0) {
        const std::string reason = errorText("mount a tmpfs on /dev");
        ::close(oldDev);
        return reason;
    }
    unavailable = false;
    try {
        for (const char* name : {"pts", "null", "zero", "full", "random", "urandom", "tty"}) {
            bindFromOld(oldDev, name);
        }
    } catch (const std::exception& e) {
        ::close(oldDev);
        return e.what();
    }
    ::close(oldDev);
    // A bind-mounted ptmx cannot find its pts instance; the instance's own
    // ptmx node can.
    if (::symlink("pts/ptmx", "/dev/ptmx") != 0) return errorText("link /dev/ptmx");
    ::symlink("/proc/self/fd", "/dev/fd");
    ::symlink("/proc/self/fd/0", "/dev/stdin");
    ::symlink("/proc/self/fd/1", "/dev/stdout");
    ::symlink("/proc/self/fd/2", "/dev/stderr");
    return {};
}

}  // namespace

void bindDevice(const std::string& terminal, const std::string& name)
{
    if (name.rfind("/dev/", 0) != 0 || name.find('/', 5) != std::string::npos || name.size() <= 5) {
        throw std::runtime_error("not a plain name under /dev: " + name);
    }
    struct stat st {};
    if (::stat(terminal.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) {
        throw std::runtime_error("not a terminal: " + terminal);
    }
    const int fd = ::open(name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0) throw std::runtime_error(errorText("create " + name));
    ::close(fd);
    if (::mount(terminal.c_str(), name.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        throw std::runtime_error(errorText("bind " + terminal + " onto " + name));
    }
}

NamespaceRun runInDeviceNamespace(const std::function<void()>& body)
{
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) return {NamespaceOutcome::Failed, errorText("pipe")};
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t child = ::fork();
    if (child < 0) {
        ::close(report[0]);
        ::close(report[1]);
        return {NamespaceOutcome::Failed, errorText("fork")};
    }
    if (child == 0) {
        ::close(report[0]);
        bool unavailable = false;
        const std::string problem = makeNamespace(unavailable);
        int code = 0;
        if (!problem.empty()) {
            (void)!::write(report[1], problem.data(), problem.size());
            code = unavailable ? kUnavailable : 2;
        } else {
            try {
                body();
                code = ::testing::Test::HasFailure() ? 1 : 0;
            } catch (const std::exception& e) {
                const std::string text = std::string("exception: ") + e.what();
                (void)!::write(report[1], text.data(), text.size());
                code = 3;
            }
        }
        std::fflush(stdout);
        std::fflush(stderr);
        ::_exit(code);
    }
    ::close(report[1]);
    std::string message;
    char buffer[512];
    ssize_t n;
    while ((n = ::read(report[0], buffer, sizeof buffer)) > 0)
        message.append(buffer, static_cast<std::size_t>(n));
    ::close(report[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return {NamespaceOutcome::Passed, {}};
    if (WIFEXITED(status) && WEXITSTATUS(status) == kUnavailable)
        return {NamespaceOutcome::Unavailable, message};
    if (message.empty()) {
        message = WIFEXITED(status)
                      ? "the body's checks failed (see above)"
                      : "the child died of signal " + std::to_string(WTERMSIG(status));
    }
    return {NamespaceOutcome::Failed, message};
}

}  // namespace ndi::testsupport
