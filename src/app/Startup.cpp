// Start-up order: main window, then the diagnostic windows.
#include "app/Startup.h"

#include "app/Isp.h"
#include "diag/Fhiddata.h"
#include "diag/Fprogdata.h"

namespace trm {

void CreateForms(std::unique_ptr<HidBackend> backend) {
    fmIsp = new TfmIsp(std::move(backend));
    fmHidData = new TfmHidData();
    fmProgData = new TfmProgData(fmIsp);
    fmIsp->AttachDiagnostics(fmHidData, fmProgData);
}

void DestroyForms() {
    delete fmIsp; // also the program-data window, its child
    fmIsp = nullptr;
    fmProgData = nullptr;
    delete fmHidData;
    fmHidData = nullptr;
}

} // namespace trm
