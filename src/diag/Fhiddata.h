// The HID traffic window: one line per report written or taken while it is visible.
#pragma once

#include <QListWidget>
#include <QWidget>

#include <atomic>

namespace trm {

class TfmHidData : public QWidget {
public:
    explicit TfmHidData(QWidget* parent = nullptr);

    // Appends a line and selects it, so the list follows the traffic. GUI thread.
    void AddLine(const QString& line);
    // Whether lines are being taken; readable from any thread.
    bool Logging() const { return logging_.load(); }

    QListWidget* hbHidData;

protected:
    void showEvent(QShowEvent* e) override;
    void hideEvent(QHideEvent* e) override;

private:
    std::atomic<bool> logging_{false};
};

extern TfmHidData* fmHidData;

} // namespace trm
