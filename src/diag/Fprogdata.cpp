// Program-data window.
#include "diag/Fprogdata.h"

#include "diag/WindowFrame.h"

#include "diag/DumpText.h"

#include <QFontDatabase>
#include <QVBoxLayout>

namespace trm {

TfmProgData* fmProgData = nullptr;

TfmProgData::TfmProgData(QWidget* parent) : QDialog(parent) {
    setObjectName("fmProgData");
    setWindowTitle("Program Data");
    resize(ClientSizeOf(QSize(654, 545)));
    QFont font("MS Sans Serif");
    font.setPixelSize(11);
    setFont(font);
    moShowCode = new QPlainTextEdit(this);
    moShowCode->setObjectName("moShowCode");
    // Any monospaced font will do: the dump relies on equal character widths only.
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPixelSize(13);
    moShowCode->setFont(mono);
    moShowCode->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    moShowCode->setLineWrapMode(QPlainTextEdit::NoWrap);
    moShowCode->setPlainText("Memo1");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(moShowCode);
}

void TfmProgData::DumpImage(const std::uint8_t* bytes, std::size_t count,
                            std::uint32_t startAddress) {
    moShowCode->clear();
    if (count == 0) {
        return;
    }
    std::string text = DumpText(bytes, count, startAddress);
    // The view keeps lines by LF; the dump's CR LF row ends become line breaks.
    QString view = QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
    view.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    if (view.endsWith('\n')) {
        view.chop(1);
    }
    moShowCode->setPlainText(view);
}

} // namespace trm
