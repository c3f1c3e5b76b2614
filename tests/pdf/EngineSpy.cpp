#include "pdf/EngineSpy.h"

#include "pdf/PdfEngine.h"

#include <cfenv>
#include <stdexcept>

namespace folioxa::testing {

using namespace pdfium;

namespace {

EngineSpy* spy = nullptr;

void Log(std::string line) {
    spy->Calls.push_back(std::move(line));
}

FPDF_DOCUMENT LoadDocument(FPDF_STRING path, FPDF_BYTESTRING password) {
    Log("FPDF_LoadDocument");
    return spy->Real().FPDF_LoadDocument(path, password);
}
FPDF_FORMHANDLE InitFormFill(FPDF_DOCUMENT document, FPDF_FORMFILLINFO* info) {
    Log("FPDFDOC_InitFormFillEnvironment version=" + std::to_string(info->version));
    spy->FormInfo = info;
    return spy->FailFormFillInit ? nullptr
                                 : spy->Real().FPDFDOC_InitFormFillEnvironment(document, info);
}
void HighlightColor(FPDF_FORMHANDLE form, int type, unsigned long color) {
    Log("FPDF_SetFormFieldHighlightColor " + std::to_string(type) + " " + std::to_string(color));
    spy->Real().FPDF_SetFormFieldHighlightColor(form, type, color);
}
void HighlightAlpha(FPDF_FORMHANDLE form, unsigned char alpha) {
    Log("FPDF_SetFormFieldHighlightAlpha " + std::to_string(alpha));
    spy->Real().FPDF_SetFormFieldHighlightAlpha(form, alpha);
}
void JsAction(FPDF_FORMHANDLE form) {
    Log("FORM_DoDocumentJSAction");
    spy->Real().FORM_DoDocumentJSAction(form);
}
void OpenAction(FPDF_FORMHANDLE form) {
    Log("FORM_DoDocumentOpenAction");
    spy->Real().FORM_DoDocumentOpenAction(form);
}
FPDF_PAGE LoadPage(FPDF_DOCUMENT document, int index) {
    Log("FPDF_LoadPage " + std::to_string(index));
    spy->EnabledDuringLoadPage = fegetexcept();
    return spy->Real().FPDF_LoadPage(document, index);
}
void ClosePage(FPDF_PAGE page) {
    Log("FPDF_ClosePage");
    spy->Real().FPDF_ClosePage(page);
}
FPDF_BOOL HasTransparency(FPDF_PAGE page) {
    Log("FPDFPage_HasTransparency");
    return spy->Real().FPDFPage_HasTransparency(page);
}
FPDF_BITMAP BitmapCreate(int width, int height, int format, void* buffer, int stride) {
    Log("FPDFBitmap_CreateEx " + std::to_string(width) + " " + std::to_string(height) + " " +
        std::to_string(format) + " " + std::to_string(stride));
    return spy->Real().FPDFBitmap_CreateEx(width, height, format, buffer, stride);
}
FPDF_BOOL FillRect(FPDF_BITMAP bitmap, int left, int top, int width, int height, FPDF_DWORD color) {
    Log("FPDFBitmap_FillRect " + std::to_string(color));
    return spy->Real().FPDFBitmap_FillRect(bitmap, left, top, width, height, color);
}
void Render(FPDF_BITMAP bitmap, FPDF_PAGE page, int x, int y, int w, int h, int rotate, int flags) {
    Log("FPDF_RenderPageBitmap rotate=" + std::to_string(rotate) +
        " flags=" + std::to_string(flags));
    spy->EnabledDuringRender = fegetexcept();
    spy->Real().FPDF_RenderPageBitmap(bitmap, page, x, y, w, h, rotate, flags);
}
void RemoveHighlight(FPDF_FORMHANDLE form) {
    Log("FPDF_RemoveFormFieldHighlight");
    spy->Real().FPDF_RemoveFormFieldHighlight(form);
}
void FflDraw(FPDF_FORMHANDLE form, FPDF_BITMAP bitmap, FPDF_PAGE page, int x, int y, int w, int h,
             int rotate, int flags) {
    Log("FPDF_FFLDraw rotate=" + std::to_string(rotate) + " flags=" + std::to_string(flags));
    spy->Real().FPDF_FFLDraw(form, bitmap, page, x, y, w, h, rotate, flags);
}
void BitmapDestroy(FPDF_BITMAP bitmap) {
    Log("FPDFBitmap_Destroy");
    spy->Real().FPDFBitmap_Destroy(bitmap);
}
void AAction(FPDF_FORMHANDLE form, int type) {
    Log("FORM_DoDocumentAAction " + std::to_string(type));
    spy->Real().FORM_DoDocumentAAction(form, type);
}
void ExitFormFill(FPDF_FORMHANDLE form) {
    Log("FPDFDOC_ExitFormFillEnvironment");
    spy->Real().FPDFDOC_ExitFormFillEnvironment(form);
}
void CloseDocument(FPDF_DOCUMENT document) {
    Log("FPDF_CloseDocument");
    spy->Real().FPDF_CloseDocument(document);
}

} // namespace

EngineSpy::EngineSpy() {
    if (spy != nullptr) {
        throw std::logic_error("one EngineSpy at a time");
    }
    LoadPdfLibrary();
    PdfFunctions& table = ProcessPdfLibrary().FunctionsForTesting();
    FReal = table;
    spy = this;
    table.FPDF_LoadDocument = &LoadDocument;
    table.FPDFDOC_InitFormFillEnvironment = &InitFormFill;
    table.FPDF_SetFormFieldHighlightColor = &HighlightColor;
    table.FPDF_SetFormFieldHighlightAlpha = &HighlightAlpha;
    table.FORM_DoDocumentJSAction = &JsAction;
    table.FORM_DoDocumentOpenAction = &OpenAction;
    table.FPDF_LoadPage = &LoadPage;
    table.FPDF_ClosePage = &ClosePage;
    table.FPDFPage_HasTransparency = &HasTransparency;
    table.FPDFBitmap_CreateEx = &BitmapCreate;
    table.FPDFBitmap_FillRect = &FillRect;
    table.FPDF_RenderPageBitmap = &Render;
    table.FPDF_RemoveFormFieldHighlight = &RemoveHighlight;
    table.FPDF_FFLDraw = &FflDraw;
    table.FPDFBitmap_Destroy = &BitmapDestroy;
    table.FORM_DoDocumentAAction = &AAction;
    table.FPDFDOC_ExitFormFillEnvironment = &ExitFormFill;
    table.FPDF_CloseDocument = &CloseDocument;
}

EngineSpy::~EngineSpy() {
    ProcessPdfLibrary().FunctionsForTesting() = FReal;
    spy = nullptr;
}

std::vector<std::string> EngineSpy::CallsOf(const std::string& prefix) const {
    std::vector<std::string> result;
    for (const std::string& call : Calls) {
        if (call.rfind(prefix, 0) == 0) {
            result.push_back(call);
        }
    }
    return result;
}

} // namespace folioxa::testing
