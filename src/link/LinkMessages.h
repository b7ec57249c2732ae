// What a link session needs of its owner, and the three messages it sends it.
#pragma once

#include "protocol/Lcmd.h"

#include <QEvent>
#include <QObject>

#include <cstdint>

namespace trm {

// Message numbers of the link, WM_USER + 335 .. 337.
inline constexpr int WM_LINK_BYTE = 1359;   // posted by a plain LUsb per byte; unused
inline constexpr int WM_LINK_REPLY = 1360;  // one complete reply, sent synchronously
inline constexpr int WM_LINK_NOTIFY = 1361; // posted: reply time-out (0), no stop (5), ended (6)

// Notify codes of WM_LINK_NOTIFY.
inline constexpr int kNotifyReplyTimeout = 0;
inline constexpr int kNotifyWorkerStuck = 5;
inline constexpr int kNotifyWorkerEnded = 6;

// A link message as a Qt event of the same number. For WM_LINK_REPLY, wParam is the
// address of the byte vector holding the reply, valid only while the event is being
// handled (copy what is needed), and lParam the elapsed milliseconds.
class LinkMessage : public QEvent {
public:
    LinkMessage(int message, quintptr wParam, qint64 lParam)
        : QEvent(static_cast<QEvent::Type>(message)), wParam(wParam), lParam(lParam) {}

    const Bytes* reply() const { return reinterpret_cast<const Bytes*>(wParam); }

    const quintptr wParam;
    const qint64 lParam;
};

// The owner of a link session: the main window in the program, a fake in tests.
class LinkOwner {
public:
    // The GUI-thread object that receives LinkMessage events. It must outlive every
    // session it owns.
    virtual QObject* linkWindow() = 0;

    // Writes one output report of `length` data bytes (at most 1024). Called on the
    // session's worker thread with the session's lock held; must not wait for the GUI
    // thread.
    virtual void WriteReport(const std::uint8_t* data, int length) = 0;

protected:
    ~LinkOwner() = default;
};

} // namespace trm
