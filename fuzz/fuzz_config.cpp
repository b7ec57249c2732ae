// The station's configuration reader on arbitrary files: each is read as settings or
// refused with a reason, and never read outside or crashes.
#include "station/Options.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = "/tmp/trm415-fuzz-config-" + std::to_string(::getpid());
    static const struct Remover {
        ~Remover() { ::unlink(path.c_str()); }
    } remover;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        return 0;
    }
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    std::string config = "--config=" + path;
    char program[] = "trm415-station";
    char* argv[] = {program, config.data(), nullptr};
    trm::station::Options options;
    std::string error;
    const bool read = trm::station::ParseOptions(2, argv, options, error);
    if (!read && error.empty()) {
        __builtin_trap(); // a refusal always says why
    }
    return 0;
}
