// The records location reader (--records' value) on arbitrary text: a file or a URI, or
// a refusal with its reason; what is shown of an accepted one never holds a password.
#include "records/Location.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    QString error;
    const auto location = trm::records::ParseLocation(text, error);
    if (!location && error.isEmpty()) {
        __builtin_trap(); // a refusal always says why
    }
    if (location && location->isServer() &&
        location->display().contains("password=", Qt::CaseInsensitive)) {
        __builtin_trap();
    }
    return 0;
}
