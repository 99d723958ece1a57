#include "PeerNamespace.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace hostnet_test {

namespace {

const std::string kNamePrefix = "ndi-hostnet-";

// A run killed before its destructors ran (a time-out, a crash) leaves its peer
// namespaces behind; remove those whose process is gone.
void removeStalePeerNamespaces()
{
    DIR* dir = opendir("/run/netns");
    if (!dir) return;
    std::vector<std::string> stale;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.rfind(kNamePrefix, 0) != 0) continue;
        const long pid = std::strtol(name.c_str() + kNamePrefix.size(), nullptr, 10);
        if (pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
            stale.push_back(name);
    }
    closedir(dir);
    for (const std::string& name : stale) runCommand({"ip", "netns", "del", name});
}

}  // namespace

std::string enterPrivateNetwork()
{
    static std::once_flag once;
    static std::string result;
    std::call_once(once, [] {
        removeStalePeerNamespaces();
        if (unshare(CLONE_NEWNET) != 0)
            result = std::string("cannot make a network namespace (unshare: ") +
                     std::strerror(errno) + "); these tests need root or CAP_SYS_ADMIN";
    });
    return result;
}

int runCommand(const std::vector<std::string>& arguments, std::string* output)
{
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    std::string text;
    char chunk[512];
    for (ssize_t n; (n = read(pipeFds[0], chunk, sizeof chunk)) > 0;)
        text.append(chunk, static_cast<std::size_t>(n));
    close(pipeFds[0]);
    if (output) *output = text;
    if (spawned != 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

PeerNamespace::PeerNamespace(int index)
{
    const std::string tag = std::to_string(getpid()) + "x" + std::to_string(index);
    m_name = kNamePrefix + tag;
    m_hostInterface = "hnh" + tag;  // at most 15 characters: "hnh" + 7-digit pid + "x" + index
    m_peerInterface = "hnp" + tag;
    m_hostAddress = "10.211." + std::to_string(index) + ".1";
    m_peerAddress = "10.211." + std::to_string(index) + ".2";

    const std::vector<std::vector<std::string>> steps = {
        {"ip", "netns", "add", m_name},
        {"ip", "link", "add", m_hostInterface, "type", "veth", "peer", "name", m_peerInterface,
         "netns", m_name},
        {"ip", "addr", "add", m_hostAddress + "/24", "dev", m_hostInterface},
        {"ip", "link", "set", m_hostInterface, "up"},
        {"ip", "-n", m_name, "addr", "add", m_peerAddress + "/24", "dev", m_peerInterface},
        {"ip", "-n", m_name, "link", "set", m_peerInterface, "up"},
    };
    for (const auto& step : steps) {
        std::string output;
        if (runCommand(step, &output) != 0) {
            m_error = "\"";
            for (const auto& word : step) m_error += (&word == &step.front() ? "" : " ") + word;
            m_error += "\" failed: " + output;
            return;
        }
    }
}

PeerNamespace::~PeerNamespace()
{
    // Removing the namespace removes the peer end and with it our end of the pair.
    runCommand({"ip", "netns", "del", m_name});
    runCommand({"ip", "link", "del", m_hostInterface});
}

std::string PeerNamespace::send(const std::string& group, std::uint16_t port,
                                const std::vector<std::uint8_t>& payload, int copies) const
{
    std::string result;
    // setns() moves only the calling thread, so the sender gets a thread of its own.
    std::thread sender([&] {
        const std::string path = "/run/netns/" + m_name;
        const int nsFd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (nsFd < 0 || setns(nsFd, CLONE_NEWNET) != 0) {
            result = "cannot enter " + path + ": " + std::strerror(errno);
            if (nsFd >= 0) close(nsFd);
            return;
        }
        close(nsFd);
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            result = std::string("socket: ") + std::strerror(errno);
            return;
        }
        in_addr outgoing{};
        inet_pton(AF_INET, m_peerAddress.c_str(), &outgoing);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        inet_pton(AF_INET, group.c_str(), &to.sin_addr);
        // No multicast route exists in the peer namespace; the interface is chosen here.
        if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &outgoing, sizeof outgoing) != 0)
            result = std::string("IP_MULTICAST_IF: ") + std::strerror(errno);
        for (int i = 0; i < copies && result.empty(); ++i)
            if (sendto(fd, payload.data(), payload.size(), 0,
                       reinterpret_cast<const sockaddr*>(&to),
                       sizeof to) != static_cast<ssize_t>(payload.size()))
                result = std::string("sendto: ") + std::strerror(errno);
        close(fd);
    });
    sender.join();
    return result;
}

}  // namespace hostnet_test
