// Digests of the built-in images.
#include "runner/Images.h"

#include "firmware/BuiltinImageBytes.h"

#include <QCryptographicHash>

#include <cstdio>

namespace trm::runner {

QString Sha256(const std::vector<std::uint8_t>& bytes) {
    return QString::fromLatin1(
        QCryptographicHash::hash(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())),
                                 QCryptographicHash::Sha256)
            .toHex());
}

QJsonObject BuiltinImageDigests() {
    QJsonObject images;
    for (int sel = 0; sel < 2; ++sel) {
        images.insert(QString("McuImage%1").arg(sel), Sha256(BuiltinMcuBytes(sel)));
        images.insert(QString("DspImage%1").arg(sel), Sha256(BuiltinDspBytes(sel)));
    }
    return images;
}

void PrintVersion(const char* version) {
    std::printf("trm415-run %s (trm415-update)\nQt %s (built with %s)\n", version, qVersion(),
                QT_VERSION_STR);
    for (int sel = 0; sel < 2; ++sel) {
        const auto mcu = BuiltinMcuBytes(sel);
        const auto dsp = BuiltinDspBytes(sel);
        std::printf("McuImage%d  %6zu bytes  sha256 %s\n", sel, mcu.size(),
                    Sha256(mcu).toLatin1().constData());
        std::printf("DspImage%d  %6zu bytes  sha256 %s\n", sel, dsp.size(),
                    Sha256(dsp).toLatin1().constData());
    }
}

} // namespace trm::runner
