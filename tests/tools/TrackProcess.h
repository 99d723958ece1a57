// ndi-track run as a child process whose stdout the test chooses (a pipe,
// /dev/full, a file) and whose end it can time: how long after a signal the
// process was gone, and how it ended. stderr goes to a file of its own, so a
// chatty run never blocks on it.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace tracktest {

struct Ending {
    bool ended = false;   // false: still running at the limit, and then killed
    bool exited = false;  // ended by exit (else by a signal)
    int code = -1;        // exit code
    int signal = 0;       // the signal that ended it
    double seconds = 0;   // from the start of the wait to the end
};

class TrackProcess {
public:
    // stdoutFd is duplicated into the child; every other descriptor the test
    // holds must be close-on-exec, or a pipe's reader would live on in the
    // child. environment adds NAME=value entries to the test's own.
    TrackProcess(const std::vector<std::string>& arguments, int stdoutFd,
                 const std::vector<std::string>& environment = {})
    {
        char errPath[] = "/tmp/ndi-track-stderr-XXXXXX";
        m_errFd = ::mkostemp(errPath, O_CLOEXEC);
        if (m_errFd < 0) throw std::runtime_error("mkostemp failed");
        m_errPath = errPath;

        std::vector<std::string> args{NDI_TRACK};
        args.insert(args.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> env(environment);
        for (char** e = environ; *e; ++e) env.emplace_back(*e);
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, m_errFd, STDERR_FILENO);
        // As a shell starts it: default signal actions, nothing blocked.
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t defaults, none;
        sigemptyset(&defaults);
        for (int s : {SIGINT, SIGTERM, SIGPIPE}) sigaddset(&defaults, s);
        sigemptyset(&none);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
        const int failed =
            posix_spawn(&m_pid, argv[0], &actions, &attributes, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        if (failed != 0) {
            ::close(m_errFd);
            ::unlink(m_errPath.c_str());
            throw std::runtime_error("cannot start " + args[0]);
        }
    }
    ~TrackProcess()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        ::close(m_errFd);
        ::unlink(m_errPath.c_str());
    }
    TrackProcess(const TrackProcess&) = delete;
    TrackProcess& operator=(const TrackProcess&) = delete;

    void signal(int number) const { ::kill(m_pid, number); }

    // Waits until the process ends or `limit` passes (then kills it).
    Ending wait(std::chrono::milliseconds limit)
    {
        Ending ending;
        const auto start = std::chrono::steady_clock::now();
        int status = 0;
        pid_t reaped = 0;
        while ((reaped = ::waitpid(m_pid, &status, WNOHANG)) == 0 &&
               std::chrono::steady_clock::now() - start < limit)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ending.seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (reaped != m_pid) return ending;  // the destructor kills it
        m_pid = 0;
        ending.ended = true;
        ending.exited = WIFEXITED(status);
        ending.code = ending.exited ? WEXITSTATUS(status) : -1;
        ending.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        return ending;
    }

    std::string err() const
    {
        std::ifstream in(m_errPath);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

private:
    pid_t m_pid = 0;
    int m_errFd = -1;
    std::string m_errPath;
};

}  // namespace tracktest
