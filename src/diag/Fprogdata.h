// The program-data window: a hex and character dump of the image buffer.
#pragma once

#include <QDialog>
#include <QPlainTextEdit>

#include <cstddef>
#include <cstdint>

namespace trm {

class TfmProgData : public QDialog {
public:
    explicit TfmProgData(QWidget* parent = nullptr);

    // Replaces the view's content with the dump of `count` bytes labelled from
    // `startAddress`, in one addition; count 0 only clears it.
    void DumpImage(const std::uint8_t* bytes, std::size_t count, std::uint32_t startAddress);

    QPlainTextEdit* moShowCode;
};

extern TfmProgData* fmProgData;

} // namespace trm
