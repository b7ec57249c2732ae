// trm415-update: the operator's program. It takes no options and reads no file or
// environment variable of its own (it only looks whether there is a display before Qt
// does); it works on the units attached to this machine.
#include "app/Isp.h"
#include "app/Startup.h"
#include "hid/linux/LinuxHidBackend.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>
#include <cstdlib>
#include <exception>

namespace {

// A window needs a display: an X or Wayland session, or a Qt platform chosen on
// purpose (QT_QPA_PLATFORM, as for offscreen use). Qt would otherwise abort while
// loading its platform plugin.
bool haveDisplay() {
    const auto set = [](const char* name) {
        const char* v = std::getenv(name);
        return v != nullptr && *v != '\0';
    };
    return set("DISPLAY") || set("WAYLAND_DISPLAY") || set("QT_QPA_PLATFORM");
}

} // namespace

int main(int argc, char** argv) {
    if (!haveDisplay()) {
        std::fputs("trm415-update: no display: this program shows a window and needs a desktop "
                   "session; trm415-run updates a unit without one\n",
                   stderr);
        return 1;
    }
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
