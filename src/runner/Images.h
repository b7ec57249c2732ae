// The built-in images as the runner reports them: SHA-256 digests, --version.
#pragma once

#include <QJsonObject>
#include <QString>

#include <cstdint>
#include <vector>

namespace trm::runner {

// Lower-case hex SHA-256 of `bytes`.
QString Sha256(const std::vector<std::uint8_t>& bytes);

// {"McuImage0": sha256, "DspImage0": ..., "McuImage1": ..., "DspImage1": ...}
QJsonObject BuiltinImageDigests();

// --version: the program's and Qt's versions, and each built-in image's size and digest.
void PrintVersion(const char* version);

} // namespace trm::runner
