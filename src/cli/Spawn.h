// Runs a program to its end and keeps what it wrote to stderr: for a short check made
// before a program starts its own threads' work (the station asking its runner whether
// it takes its settings). The child is made by posix_spawn, which executes it at once
// from the C library, so nothing of this process runs in the child.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace trm::cli {

struct Spawned {
    bool started = false;  // false: it could not be run (`error` says why)
    bool finished = false; // false: still running at the deadline, and killed
    int exitCode = -1;     // when it exited (not killed by a signal)
    bool signalled = false;
    QByteArray err; // its stderr, up to 64 KiB
    QString error;
};

// Runs `program` with `args`, stdin and stdout on /dev/null, for up to `timeoutMs`.
Spawned RunToEnd(const QString& program, const QStringList& args, int timeoutMs);

} // namespace trm::cli
