// Entry of the umockdev tests: makes sure the program runs under umockdev's preload
// library (re-running itself through umockdev-run.sh when it does not), then runs the
// tests with a Qt application object.
#include <umockdev.h>

#include "tests/support/TestApp.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <vector>

int main(int argc, char** argv) {
    // This test's claims on the emulated units' ports, apart from those of the tests
    // beside it (which emulate the same ports) and of the machine.
    if (std::getenv("TRM415_LOCK_DIR") == nullptr) {
        static char dir[] = "/tmp/trm415-locks-XXXXXX";
        if (::mkdtemp(dir) != nullptr) {
            setenv("TRM415_LOCK_DIR", dir, 1);
        }
    }
    const char* preload = std::getenv("LD_PRELOAD");
    const bool preloaded =
        preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr;
    if (!preloaded && std::getenv("TRM_UMOCKDEV_REEXEC") == nullptr) {
        setenv("TRM_UMOCKDEV_REEXEC", "1", 1);
        std::vector<char*> args;
        args.push_back(const_cast<char*>(TRM_UMOCKDEV_RUN));
        for (int i = 0; i < argc; ++i) {
            args.push_back(argv[i]);
        }
        args.push_back(nullptr);
        execv(TRM_UMOCKDEV_RUN, args.data());
        perror("execv " TRM_UMOCKDEV_RUN);
        return 1;
    }
    return trm::testing::RunTestsInQtApplication(argc, argv);
}
