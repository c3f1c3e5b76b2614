#pragma once

#include "pdf/PdfAbi.h"

#include <string>
#include <vector>

namespace folioxa::testing {

// Wraps entries of the process's engine table for one test: each call is logged, then forwarded
// to the real engine unless an override below says otherwise. Restores the table when it ends.
// The engine is loaded on construction.
class EngineSpy {
public:
    EngineSpy();
    ~EngineSpy();
    EngineSpy(const EngineSpy&) = delete;
    EngineSpy& operator=(const EngineSpy&) = delete;

    // One line per call: the function's name, then its telling arguments ("FPDF_LoadPage 14").
    std::vector<std::string> Calls;
    // Calls whose name starts with `prefix`, in order.
    std::vector<std::string> CallsOf(const std::string& prefix) const;
    // fegetexcept() inside the last FPDF_LoadPage and FPDF_RenderPageBitmap.
    int EnabledDuringLoadPage = -1;
    int EnabledDuringRender = -1;
    // The form-fill structure handed to the engine.
    pdfium::FPDF_FORMFILLINFO* FormInfo = nullptr;

    bool FailFormFillInit = false; // FPDFDOC_InitFormFillEnvironment gives null

    const pdfium::PdfFunctions& Real() const { return FReal; }

private:
    pdfium::PdfFunctions FReal;
};

} // namespace folioxa::testing
