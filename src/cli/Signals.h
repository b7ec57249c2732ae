// SIGINT and SIGTERM (and others asked for) as Qt signals: the handler only writes the signal's
// number to a pipe, and a socket notifier on the event loop's thread reads it and emits `received`,
// so nothing but that write runs in the handler.
#pragma once

#include <QObject>

#include <initializer_list>
#include <memory>
#include <vector>

class QSocketNotifier;

namespace trm::cli {

class TerminationSignals : public QObject {
    Q_OBJECT
public:
    // Installs the handlers, for SIGINT, SIGTERM and `more`; one instance per process.
    explicit TerminationSignals(std::initializer_list<int> more = {}, QObject* parent = nullptr);
    ~TerminationSignals() override;

signals:
    void received(int signalNumber);

private:
    std::vector<int> signals_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace trm::cli
