#include "pdf/PDFium.h"

#include "imaging/PageBitmap.h"
#include "pdf/FloatExceptions.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>

namespace folioxa {

using namespace pdfium;

namespace {

constexpr unsigned long kHighlightColor = 0xFFE4DD; // the engine reads it as 0x00BBGGRR
constexpr unsigned char kHighlightAlpha = 100;
constexpr int kAllFieldTypes = 0;

// Engine flag of each TRenderOption, by ordinal.
constexpr std::array<int, 13> kRenderFlags{
    FPDF_ANNOT,
    FPDF_LCD_TEXT,
    FPDF_NO_NATIVETEXT,
    FPDF_GRAYSCALE,
    FPDF_DEBUG_INFO,
    FPDF_NO_CATCH,
    FPDF_RENDER_LIMITEDIMAGECACHE,
    FPDF_RENDER_FORCEHALFTONE,
    FPDF_PRINTING,
    FPDF_REVERSE_BYTE_ORDER,
    FPDF_RENDER_NO_SMOOTHTEXT,
    FPDF_RENDER_NO_SMOOTHIMAGE,
    FPDF_RENDER_NO_SMOOTHPATH,
};

// The classic desktop defaults for system colour indexes 0 to 30, as 0x00BBGGRR.
constexpr std::array<TColor, 31> kSystemColors{
    0xC8C8C8, // scroll bar
    0x000000, // desktop
    0xD1B499, // active caption
    0xDBCDBF, // inactive caption
    0xF0F0F0, // menu
    0xFFFFFF, // window
    0x646464, // window frame
    0x000000, // menu text
    0x000000, // window text
    0x000000, // caption text
    0xB4B4B4, // active border
    0xFCF7F4, // inactive border
    0xABABAB, // application workspace
    0xD77800, // highlight
    0xFFFFFF, // highlight text
    0xF0F0F0, // button face
    0xA0A0A0, // button shadow
    0x6D6D6D, // grey text
    0x000000, // button text
    0x000000, // inactive caption text
    0xFFFFFF, // button highlight
    0x696969, // 3-D dark shadow
    0xE3E3E3, // 3-D light
    0x000000, // tooltip text
    0xE1FFFF, // tooltip background
    0x000000, // (unused)
    0xCC6600, // hot-tracked item
    0xEAD1B9, // gradient active caption
    0xF2E4D7, // gradient inactive caption
    0xFF9933, // menu highlight
    0xF0F0F0, // menu bar
};

// Reads `size` bytes at `position` of the document's file; non-zero when all came.
int ReadBlock(void* param, unsigned long position, unsigned char* buffer, unsigned long size) {
    const int fd = *static_cast<const int*>(param);
    while (size > 0) {
        const ssize_t got = ::pread(fd, buffer, size, static_cast<off_t>(position));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return 0;
        }
        buffer += got;
        position += static_cast<unsigned long>(got);
        size -= static_cast<unsigned long>(got);
    }
    return 1;
}

// Whether a failed step set the engine's last-error code. The code is process-wide and only a
// failed document load sets it (nothing clears it), so for any other step it would be stale.
enum class TErrorCode { NotSet, SetByEngine };

// Does nothing when `success`; otherwise throws EPdfError with the text of the engine's code
// when the step sets one and it is not 0, else with `fallback`.
void CheckPdf(bool success, const std::string& fallback, TErrorCode code = TErrorCode::NotSet) {
    if (success) {
        return;
    }
    const unsigned long engineCode =
        code == TErrorCode::SetByEngine ? Pdfium().FPDF_GetLastError() : FPDF_ERR_SUCCESS;
    if (engineCode == FPDF_ERR_PASSWORD) {
        throw EPasswordError(PdfErrorText(engineCode));
    }
    const std::string text = PdfErrorText(engineCode);
    throw EPdfError(!text.empty() ? text : fallback);
}

int NextTimerId() {
    static std::atomic<int> next{0};
    return ++next;
}

} // namespace

TRenderOptions::TRenderOptions(std::initializer_list<TRenderOption> options) {
    for (TRenderOption option : options) {
        Include(option);
    }
}

int RenderOptionsToFlags(TRenderOptions options) {
    int flags = 0;
    for (std::size_t i = 0; i < kRenderFlags.size(); ++i) {
        if (options.Contains(static_cast<TRenderOption>(i))) {
            flags |= kRenderFlags[i];
        }
    }
    return flags;
}

TColor SystemColor(std::uint32_t index) {
    return index < kSystemColors.size() ? kSystemColors[index] : 0;
}

std::uint32_t ColorToArgb(TColor color, std::uint8_t alpha) {
    if ((color >> 24) == 0xFF) {
        color = SystemColor(color & 0xFFFFFF);
    }
    const std::uint32_t red = color & 0xFF;
    const std::uint32_t green = (color >> 8) & 0xFF;
    const std::uint32_t blue = (color >> 16) & 0xFF;
    return (std::uint32_t{alpha} << 24) | (red << 16) | (green << 8) | blue;
}

std::string PdfErrorText(unsigned long code) {
    switch (code) {
    case FPDF_ERR_SUCCESS:
        return "";
    case FPDF_ERR_FILE:
        return "File not found or could not be opened";
    case FPDF_ERR_FORMAT:
        return "File not in PDF format or corrupted";
    case FPDF_ERR_PASSWORD:
        return "Password required or incorrect password";
    case FPDF_ERR_SECURITY:
        return "Unsupported security scheme";
    case FPDF_ERR_PAGE:
        return "Page not found or content error";
    default:
        return "Unknown error";
    }
}

TPdf::TPdf(std::string name, PdfTimer* timer)
    : FName(std::move(name)), FTimer(timer != nullptr ? timer : &FNullTimer),
      FTimerId(NextTimerId()) {}

TPdf::~TPdf() {
    FTimer->Stop();
    Close();
}

void TPdf::CheckActive() const {
    if (!Active()) {
        throw EPdfError("Cannot perform this operation on an inactive " + FName + " component");
    }
}

void TPdf::CheckInactive() const {
    if (Active()) {
        throw EPdfError("Cannot perform this operation on an active " + FName + " component");
    }
}

void TPdf::CheckPage() const {
    CheckActive();
    if (FPage == nullptr) {
        throw EPdfError("Cannot perform this operation on an inactive page");
    }
}

void TPdf::SetFileName(const std::string& fileName) {
    CheckInactive();
    FFileName = fileName;
}

void TPdf::SetPassword(const std::string& password) {
    CheckInactive();
    FPassword = password;
}

void TPdf::SetFormFill(bool formFill) {
    CheckInactive();
    FFormFill = formFill;
}

void TPdf::SetFileHandle(int fileHandle) {
    CheckInactive();
    FFileHandle = fileHandle;
}

void TPdf::SetActive(bool active) {
    if (active == Active()) {
        return;
    }
    if (active) {
        Open();
    } else {
        Close();
    }
}

void TPdf::Open() {
    CheckInactive();
    LoadPdfLibrary();
    const auto& f = Pdfium();
    if (FFileHandle >= 0) {
        struct stat status {};
        const bool sized = ::fstat(FFileHandle, &status) == 0;
        FFileAccess = {};
        FFileAccess.m_FileLen = sized ? static_cast<unsigned long>(status.st_size) : 0;
        FFileAccess.m_GetBlock = &ReadBlock;
        FFileAccess.m_Param = &FFileHandle;
        FDocument.reset(f.FPDF_LoadCustomDocument(&FFileAccess, FPassword.c_str()));
    } else {
        FDocument.reset(f.FPDF_LoadDocument(FFileName.c_str(), FPassword.c_str()));
    }
    CheckPdf(FDocument != nullptr, "Cannot load PDF document " + FFileName,
             TErrorCode::SetByEngine);
    InitFormFill();
    ReloadPage();
}

void TPdf::InitFormFill() {
    if (FFormFill) {
        CreateFormFill();
    }
    const TPdfFormType formType = FormType();
    if (XFA() && (formType == ftXfaFull || formType == ftXfaForeground)) {
        Pdfium().FPDF_LoadXFA(FDocument.get());
    }
}

void TPdf::CreateFormFill() {
    CheckActive();
    if (FFormHandle != nullptr) {
        return;
    }
    const auto& f = Pdfium();
    FFormFillInfo = {};
    FFormFillInfo.Pdf = this;
    FPDF_FORMFILLINFO& info = FFormFillInfo.Info;
    info.version = XFA() ? 2 : 1;
    info.FFI_Invalidate = &TPdf::FfiInvalidate;
    info.FFI_SetTimer = &TPdf::FfiSetTimer;
    info.FFI_KillTimer = &TPdf::FfiKillTimer;
    info.FFI_SetTextFieldFocus = &TPdf::FfiSetTextFieldFocus;
    FFormHandle.reset(f.FPDFDOC_InitFormFillEnvironment(FDocument.get(), &info));
    CheckPdf(FFormHandle != nullptr, "Cannot initialize form fill environment");
    f.FPDF_SetFormFieldHighlightColor(FFormHandle.get(), kAllFieldTypes, kHighlightColor);
    f.FPDF_SetFormFieldHighlightAlpha(FFormHandle.get(), kHighlightAlpha);
    f.FORM_DoDocumentJSAction(FFormHandle.get());
    f.FORM_DoDocumentOpenAction(FFormHandle.get());
}

void TPdf::Close() {
    ClosePage();
    if (FDocument == nullptr) {
        return;
    }
    if (FFormHandle != nullptr) {
        Pdfium().FORM_DoDocumentAAction(FFormHandle.get(), FPDFDOC_AACTION_WC);
        FFormHandle.reset();
        // The callback belongs to the environment just left: it must never fire again.
        FTimer->Stop();
        FTimerCallback = nullptr;
    }
    FDocument.reset();
}

void TPdf::ClosePage() {
    FPage.reset();
}

void TPdf::ReloadPage() {
    FloatExceptionMask masked;
    ClosePage();
    CheckActive();
    if (FPageNumber != 0) {
        // Every non-positive number is refused alike; INT_MIN - 1 would overflow.
        const int index = FPageNumber > 0 ? FPageNumber - 1 : -1;
        FPage.reset(Pdfium().FPDF_LoadPage(FDocument.get(), index));
        CheckPdf(FPage != nullptr, "Cannot open page " + std::to_string(FPageNumber));
        if (FDrawing.Box != PageBox::Crop) {
            ApplyPageBox();
        }
    }
    if (FOnPageChange) {
        FOnPageChange(*this);
    }
}

void TPdf::ApplyPageBox() {
    const auto& f = Pdfium();
    FPDF_PAGE page = FPage.get();
    const std::string failure = "Cannot read the page boxes of page " + std::to_string(FPageNumber);
    // The engine's own box: the crop box (inherited or not) cut to the media box, or the media
    // box alone.
    FS_RECTF crop{};
    CheckPdf(f.FPDF_GetPageBoundingBox(page, &crop) != 0, failure);
    // A crop box beyond any page leaves the media box, as inherited, which no getter reads.
    constexpr float kBeyond = 1e9F;
    f.FPDFPage_SetCropBox(page, -kBeyond, -kBeyond, kBeyond, kBeyond);
    FS_RECTF media{};
    CheckPdf(f.FPDF_GetPageBoundingBox(page, &media) != 0, failure);
    FS_RECTF box = FDrawing.Box == PageBox::Media ? media : crop;
    // Bleed, trim and art boxes are never inherited; one the page lacks is its crop box.
    using BoxGetter = FPDF_BOOL (*)(FPDF_PAGE, float*, float*, float*, float*);
    const BoxGetter getter = FDrawing.Box == PageBox::Bleed  ? f.FPDFPage_GetBleedBox
                             : FDrawing.Box == PageBox::Trim ? f.FPDFPage_GetTrimBox
                             : FDrawing.Box == PageBox::Art  ? f.FPDFPage_GetArtBox
                                                             : nullptr;
    float x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    if (getter != nullptr && getter(page, &x0, &y0, &x1, &y1) != 0) {
        // Cut to the media box; a box outside it stands for nothing.
        const float left = std::max(std::min(x0, x1), media.left);
        const float right = std::min(std::max(x0, x1), media.right);
        const float bottom = std::max(std::min(y0, y1), media.bottom);
        const float top = std::min(std::max(y0, y1), media.top);
        if (left < right && bottom < top) {
            box = {left, top, right, bottom};
        }
    }
    f.FPDFPage_SetCropBox(page, box.left, box.bottom, box.right, box.top);
}

void TPdf::SetPageNumber(int pageNumber) {
    if (pageNumber == FPageNumber) {
        return;
    }
    FPageNumber = pageNumber;
    if (Active()) {
        ReloadPage();
    }
}

int TPdf::PageCount() {
    CheckActive();
    return Pdfium().FPDF_GetPageCount(FDocument.get());
}

double TPdf::PageWidth() {
    CheckPage();
    return Pdfium().FPDF_GetPageWidth(FPage.get());
}

double TPdf::PageHeight() {
    CheckPage();
    return Pdfium().FPDF_GetPageHeight(FPage.get());
}

TPdfFormType TPdf::FormType() const {
    if (FDocument == nullptr) {
        return ftUnknown;
    }
    switch (Pdfium().FPDF_GetFormType(FDocument.get())) {
    case FORMTYPE_NONE:
        return ftNone;
    case FORMTYPE_ACRO_FORM:
        return ftAcroForm;
    case FORMTYPE_XFA_FULL:
        return ftXfaFull;
    case FORMTYPE_XFA_FOREGROUND:
        return ftXfaForeground;
    default:
        return ftUnknown;
    }
}

bool TPdf::XFA() {
    const auto& f = Pdfium();
    return f.FPDF_XFA != nullptr && f.FPDF_XFA() != 0;
}

std::unique_ptr<PageBitmap> TPdf::RenderPage(int left, int top, int width, int height,
                                             TRotation rotation, TRenderOptions options,
                                             TColor color) {
    CheckPage();
    if (width <= 0 || height <= 0) {
        return nullptr;
    }
    auto page = std::make_unique<PageBitmap>();
    page->SetPixelFormat(pf32bit);
    page->SetSizeForOverwrite(width, height); // the fill covers every pixel
    Draw(*page, left, top, rotation, options, color);
    return page;
}

void TPdf::Draw(PageBitmap& page, int left, int top, TRotation rotation, TRenderOptions options,
                TColor color) {
    const int width = page.Width();
    const int height = page.Height();
    const auto& f = Pdfium();
    FloatExceptionMask masked;
    const bool transparent = FDrawing.Transparent;
    const int alpha = transparent || f.FPDFPage_HasTransparency(FPage.get()) != 0 ? 1 : 0;
    // The engine draws into the page bitmap's own rows: no second page-sized buffer, no copy.
    const ScopedBitmap bitmap(
        f.FPDFBitmap_CreateEx(width, height, alpha != 0 ? FPDFBitmap_BGRA : FPDFBitmap_BGRx,
                              page.ScanLine(0), static_cast<int>(page.RowBytes())));
    CheckPdf(bitmap != nullptr, "Cannot create bitmap");
    f.FPDFBitmap_FillRect(bitmap.get(), /*left=*/0, /*top=*/0, width, height,
                          ColorToArgb(color, transparent ? 0 : 0xFF));
    if (FDrawing.Annotations) {
        options.Include(reAnnotations);
    }
    const int flags = RenderOptionsToFlags(options);
    const int rotate = static_cast<int>(rotation);
    f.FPDF_RenderPageBitmap(bitmap.get(), FPage.get(), left, top, width, height, rotate, flags);
    if (FFormHandle != nullptr) {
        const bool plain = options.Contains(rePrinting) || !FDrawing.FormHighlight;
        if (plain) {
            f.FPDF_RemoveFormFieldHighlight(FFormHandle.get());
        }
        f.FPDF_FFLDraw(FFormHandle.get(), bitmap.get(), FPage.get(), left, top, width, height,
                       rotate, flags);
        if (plain) {
            f.FPDF_SetFormFieldHighlightColor(FFormHandle.get(), kAllFieldTypes, kHighlightColor);
            f.FPDF_SetFormFieldHighlightAlpha(FFormHandle.get(), kHighlightAlpha);
        }
    }
}

std::unique_ptr<PageBitmap> TPdf::RenderPageOnWhite(int width, int height) {
    return RenderPage(0, 0, width, height, ro0, {}, clWhite);
}

void TPdf::RenderPageInto(PageBitmap& bitmap) {
    CheckPage();
    if (bitmap.Width() <= 0 || bitmap.Height() <= 0) {
        throw EPdfError("Cannot create bitmap");
    }
    Draw(bitmap, 0, 0, ro0, {}, clWhite);
}

TPdf& TPdf::Owner(FPDF_FORMFILLINFO* info) {
    // Info is the first member of a standard-layout record, so the two addresses are one.
    return *reinterpret_cast<TPdfFormFillInfo*>(info)->Pdf;
}

void TPdf::FfiInvalidate(FPDF_FORMFILLINFO*, FPDF_PAGE, double, double, double, double) {
    // No viewer is attached to show the page: nothing to repaint.
}

int TPdf::FfiSetTimer(FPDF_FORMFILLINFO* info, int elapse, TimerCallback callback) {
    TPdf& pdf = Owner(info);
    pdf.FTimerCallback = callback;
    const int id = pdf.FTimerId;
    try {
        pdf.FTimer->Start(elapse, [&pdf, id] {
            if (pdf.FTimerCallback != nullptr) {
                pdf.FTimerCallback(id);
            }
        });
    } catch (...) {
        // Exceptions must not cross into the engine; 0 tells it the timer was not set.
        return 0;
    }
    return id;
}

void TPdf::FfiKillTimer(FPDF_FORMFILLINFO* info, int timerId) {
    TPdf& pdf = Owner(info);
    if (timerId == pdf.FTimerId) {
        pdf.FTimer->Stop();
    }
}

void TPdf::FfiSetTextFieldFocus(FPDF_FORMFILLINFO* info, FPDF_WIDESTRING value,
                                FPDF_DWORD valueLength, FPDF_BOOL isFocus) {
    TPdf& pdf = Owner(info);
    try {
        if (isFocus != 0 && pdf.FOnFormFieldEnter) {
            std::u16string text;
            if (value != nullptr) {
                text.assign(reinterpret_cast<const char16_t*>(value), valueLength);
            }
            pdf.FOnFormFieldEnter(pdf, text);
        } else if (isFocus == 0 && pdf.FOnFormFieldExit) {
            pdf.FOnFormFieldExit(pdf);
        }
    } catch (...) {
        // A focus notice has no way to fail back through the engine.
    }
}

} // namespace folioxa
