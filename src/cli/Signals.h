// Process signals as Qt signals: SIGINT and SIGTERM, which ask a program to stop, and any
// other asked for (the station's SIGHUP, its reload). The handler only writes the
// signal's number to a pipe, and a socket notifier on the event loop's thread reads it
// and emits `received`, so nothing but that write runs in the handler.
#pragma once

#include <QObject>

#include <initializer_list>
#include <memory>
#include <vector>

class QSocketNotifier;

namespace trm::cli {

class SignalEvents : public QObject {
    Q_OBJECT
public:
    // Installs the handlers, for SIGINT, SIGTERM and `more`; one instance per process.
    explicit SignalEvents(std::initializer_list<int> more = {}, QObject* parent = nullptr);
    ~SignalEvents() override;

signals:
    void received(int signalNumber);

private:
    std::vector<int> signals_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace trm::cli
