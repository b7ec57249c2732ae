// SIGINT and SIGTERM as Qt signals: the handler only writes the signal's number to a
// pipe, and a socket notifier on the event loop's thread reads it and emits
// `received`, so nothing but that write runs in the handler.
#pragma once

#include <QObject>

#include <memory>

class QSocketNotifier;

namespace trm::cli {

class TerminationSignals : public QObject {
    Q_OBJECT
public:
    // Installs the handlers; one instance per process.
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

signals:
    void received(int signalNumber);

private:
    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace trm::cli
