// trm415-update: the operator's program. It takes no options and reads no file or
// environment variable of its own; it works on the units attached to this machine.
#include "app/Isp.h"
#include "app/Startup.h"
#include "hid/linux/LinuxHidBackend.h"

#include <QApplication>
#include <QMessageBox>

#include <exception>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // No application display name: Qt would append it to the window's title, which
    // must read exactly as designed.
    try {
        trm::CreateForms(std::make_unique<trm::LinuxHidBackend>());
        trm::fmIsp->show();
        const int rc = QApplication::exec();
        trm::DestroyForms();
        return rc;
    } catch (const std::exception& e) {
        QMessageBox::critical(nullptr, trm::kMessageTitle, QString::fromLocal8Bit(e.what()));
        return 1;
    }
}
