// Running a program to its end.
#include "cli/Spawn.h"

#include <QDeadlineTimer>

#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace trm::cli {
namespace {

constexpr qsizetype kMaxErr = 64 * 1024;

} // namespace

Spawned RunToEnd(const QString& program, const QStringList& args, int timeoutMs) {
    Spawned out;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        out.error = QString::fromLocal8Bit(std::strerror(errno));
        return out;
    }
    std::vector<QByteArray> argBytes;
    argBytes.push_back(program.toLocal8Bit());
    for (const QString& a : args) {
        argBytes.push_back(a.toLocal8Bit());
    }
    std::vector<char*> argv;
    for (QByteArray& a : argBytes) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
    pid_t pid = -1;
    const int rc =
        ::posix_spawn(&pid, argBytes.front().constData(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (rc != 0) {
        ::close(pipeFds[0]);
        out.error = QString::fromLocal8Bit(std::strerror(rc));
        return out;
    }
    out.started = true;

    // Its stderr until it closes (the child has ended, or left it to a child of its own).
    QDeadlineTimer deadline(timeoutMs);
    bool open = true;
    while (open && !deadline.hasExpired()) {
        pollfd p{pipeFds[0], POLLIN, 0};
        const int ready =
            ::poll(&p, 1, static_cast<int>(std::min<qint64>(deadline.remainingTime(), 200)));
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if (ready > 0) {
            char buffer[4096];
            const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
            if (n > 0) {
                out.err.append(buffer, std::min<qsizetype>(n, kMaxErr - out.err.size()));
            } else if (n == 0 || errno != EINTR) {
                open = false;
            }
        }
    }
    ::close(pipeFds[0]);
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            out.finished = true;
            break;
        }
        if (done < 0 && errno != EINTR) {
            break;
        }
        if (deadline.hasExpired()) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return out;
        }
        ::usleep(10000);
    }
    if (WIFEXITED(status)) {
        out.exitCode = WEXITSTATUS(status);
    } else {
        out.signalled = true;
    }
    return out;
}

} // namespace trm::cli
