// GoogleTest entry for tests that need a Qt application object and event loop.
#include "TestApp.h"

int main(int argc, char** argv) {
    return trm::testing::RunTestsInQtApplication(argc, argv);
}
