// HID traffic window.
#include "diag/Fhiddata.h"

#include "diag/WindowFrame.h"

#include <QVBoxLayout>

namespace trm {

TfmHidData* fmHidData = nullptr;

TfmHidData::TfmHidData(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName("fmHidData");
    setWindowTitle("Hid Data");
    resize(ClientSizeOf(QSize(654, 545)));
    QFont font("MS Sans Serif");
    font.setPixelSize(11);
    setFont(font);
    hbHidData = new QListWidget(this);
    hbHidData->setObjectName("hbHidData");
    hbHidData->setUniformItemSizes(true);
    hbHidData->setStyleSheet("QListWidget::item { height: 13px; }");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(hbHidData);
}

void TfmHidData::AddLine(const QString& line) {
    hbHidData->addItem(line);
    hbHidData->setCurrentRow(hbHidData->count() - 1);
}

void TfmHidData::showEvent(QShowEvent* e) {
    logging_ = true;
    QWidget::showEvent(e);
}

void TfmHidData::hideEvent(QHideEvent* e) {
    logging_ = false;
    QWidget::hideEvent(e);
}

} // namespace trm
