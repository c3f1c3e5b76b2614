#pragma once

#include "conversion/ConversionDocument.h"
#include "conversion/ConversionSettings.h"
#include "imaging/PageBitmap.h"
#include "pdf/PdfAbi.h"
#include "pdf/PdfEngine.h"
#include "pdf/PdfTimer.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>

namespace folioxa {

// Quarter turns clockwise; the ordinal is the engine's rotation argument.
enum TRotation { ro0, ro90, ro180, ro270 };

enum TRenderOption {
    reAnnotations,
    reLcd,
    reNoNativeText,
    reGrayscale,
    reDebugInfo,
    reNoCatchException,
    reLimitCache,
    reHalftone,
    rePrinting,
    reReverseByteOrder,
    reNoSmoothText,
    reNoSmoothImage,
    reNoSmoothPath,
};

// A set of TRenderOption, one bit per member.
class TRenderOptions {
public:
    TRenderOptions() = default;
    TRenderOptions(std::initializer_list<TRenderOption> options);
    bool Contains(TRenderOption option) const { return (FBits & Bit(option)) != 0; }
    void Include(TRenderOption option) { FBits = static_cast<std::uint16_t>(FBits | Bit(option)); }

private:
    static std::uint16_t Bit(TRenderOption option) {
        return static_cast<std::uint16_t>(1U << static_cast<unsigned>(option));
    }
    std::uint16_t FBits = 0;
};

// The engine's render flags for a set of options (the empty set gives 0).
int RenderOptionsToFlags(TRenderOptions options);

// A colour 0x00BBGGRR (red in the low byte); a top byte of 0xFF names a system colour by the
// index in the low 24 bits.
using TColor = std::uint32_t;
inline constexpr TColor clWhite = 0x00FFFFFF;
inline constexpr TColor clBlack = 0x00000000;
inline constexpr TColor clRed = 0x000000FF;
inline constexpr TColor clWindow = 0xFF000005;
inline constexpr TColor clBtnFace = 0xFF00000F;

// The colour (0x00BBGGRR) of a system colour index. There is no desktop colour scheme to ask
// here, so a fixed table of the classic desktop defaults answers (window white, button face
// F0F0F0, highlight 0078D7, ...); an unknown index is black.
TColor SystemColor(std::uint32_t index);

// `color` as the engine's 0xAARRGGBB with the given alpha; system colours resolved first.
std::uint32_t ColorToArgb(TColor color, std::uint8_t alpha);

// The text of an engine last-error code ("Password required or incorrect password" for 4, ...);
// empty for 0, "Unknown error" for codes it does not know.
std::string PdfErrorText(unsigned long code);

enum TPdfFormType { ftUnknown, ftNone, ftAcroForm, ftXfaFull, ftXfaForeground };

// The PDF document component: opens one file (with an optional password), keeps one page loaded,
// reports the page count and page size in points and renders the loaded page. Every failure is
// an EPdfError with the text the user sees. Not copyable or movable: the engine keeps the address
// of the form-fill record inside it.
class TPdf : public ConversionDocument {
public:
    // No engine call: the library loads on the first open. `timer` (not owned, must outlive the
    // component) runs the engine's form-fill timer requests; null gives the component a timer
    // that never fires.
    explicit TPdf(std::string name = "", PdfTimer* timer = nullptr);
    // Closes an open document.
    ~TPdf() override;
    TPdf(const TPdf&) = delete;
    TPdf& operator=(const TPdf&) = delete;

    const std::string& Name() const { return FName; }

    // True exactly while a document is open. Setting true opens FileName with Password (loading
    // the engine on the first open), creates the form-fill environment when FormFill is set and
    // loads page PageNumber when it is not 0; setting false closes. Setting the current value
    // does nothing. Throws EPdfError; a failure after the document loaded leaves it open.
    bool Active() const { return FDocument != nullptr; }
    void SetActive(bool active) override;

    // Refused with EPdfError while active (the old value stays).
    const std::string& FileName() const { return FFileName; }
    void SetFileName(const std::string& fileName) override;
    const std::string& Password() const { return FPassword; }
    void SetPassword(const std::string& password) override;
    bool FormFill() const { return FFormFill; }
    void SetFormFill(bool formFill);
    // An open, readable file holding the document, or -1 (the default) to open FileName. When set,
    // the engine reads through this descriptor and never opens a path; FileName still names the
    // document in messages. Not owned: it must stay open while the component is active.
    int FileHandle() const { return FFileHandle; }
    void SetFileHandle(int fileHandle) override;

    // How pages are drawn: the box a page is sized and drawn as (from the next page loaded on),
    // annotations, the form fields' highlight and a transparent background (for every drawing
    // below). The default draws what the window always drew.
    const DrawingOptions& Drawing() const { return FDrawing; }
    void SetDrawing(const DrawingOptions& drawing) override { FDrawing = drawing; }

    // 1-based number of the page to keep loaded, 0 for none. A new value while active reloads
    // (EPdfError "Cannot open page N" when the document has no such page; the number stays and
    // the document stays open without a page); while inactive it is stored for the next open.
    int PageNumber() const { return FPageNumber; }
    void SetPageNumber(int pageNumber) override;

    // EPdfError while inactive.
    int PageCount() override;
    // The loaded page's size in points, as the engine reports it (after /Rotate). EPdfError
    // while inactive or with no page loaded.
    double PageWidth() override;
    double PageHeight() override;

    TPdfFormType FormType() const;
    // Whether the engine handles XFA forms (never, for the engine we ship).
    static bool XFA();

    // Closes the loaded page and loads page PageNumber again, then calls OnPageChange.
    // EPdfError while inactive or when the page cannot be loaded.
    void ReloadPage();

    // The loaded page drawn into a new Width x Height bitmap (the engine draws straight into its
    // rows): every pixel starts as `color`, opaque unless Drawing asks for a transparent
    // background; the page is scaled to width x height with its top-left corner at (left, top)
    // and rotated by `rotation`; the form fields are drawn over it when a form-fill environment
    // exists, and the annotations when `options` or Drawing ask for them. Null when width or height
    // is not positive (the engine is not called). EPdfError while no page is loaded or when the
    // engine cannot make its bitmap; EOutOfMemory when the copy cannot be allocated. The caller
    // owns the result.
    std::unique_ptr<PageBitmap> RenderPage(int left, int top, int width, int height,
                                           TRotation rotation = ro0, TRenderOptions options = {},
                                           TColor color = clWhite);
    std::unique_ptr<PageBitmap> RenderPageOnWhite(int width, int height) override;
    // The loaded page drawn onto white into `bitmap`'s rows at its size, in place. EPdfError
    // while no page is loaded, for an empty bitmap, or when the engine cannot make its bitmap.
    void RenderPageInto(PageBitmap& bitmap) override;

    // Creates the form-fill environment of the open document if it has none, as opening with
    // FormFill would have: for a document opened without it (quick to open and count) whose
    // pages are then drawn with their form fields. EPdfError while inactive or when the engine
    // refuses.
    void CreateFormFill();

    // Called with the component after every successful page load.
    void SetOnPageChange(std::function<void(TPdf&)> handler) { FOnPageChange = std::move(handler); }
    // A text field got the focus (with its value) or lost it.
    void SetOnFormFieldEnter(std::function<void(TPdf&, const std::u16string&)> handler) {
        FOnFormFieldEnter = std::move(handler);
    }
    void SetOnFormFieldExit(std::function<void(TPdf&)> handler) {
        FOnFormFieldExit = std::move(handler);
    }

    // The engine handles, null when absent.
    pdfium::FPDF_DOCUMENT Document() const { return FDocument.get(); }
    pdfium::FPDF_PAGE Page() const { return FPage.get(); }
    pdfium::FPDF_FORMHANDLE FormHandle() const { return FFormHandle.get(); }

private:
    // The engine's form-fill structure first, its owner right after: each callback receives the
    // structure's address and reaches the component through Pdf.
    struct TPdfFormFillInfo {
        pdfium::FPDF_FORMFILLINFO Info;
        TPdf* Pdf;
    };
    static_assert(offsetof(TPdfFormFillInfo, Pdf) == 280);

    void CheckActive() const;
    void CheckInactive() const;
    void CheckPage() const;
    void Open();
    void Close();
    void InitFormFill();
    void ClosePage();
    // Makes the loaded page's crop box the box Drawing asks for, so that the engine sizes and
    // draws the page as that box.
    void ApplyPageBox();
    // The loaded page drawn into `page` at its size (not empty).
    void Draw(PageBitmap& page, int left, int top, TRotation rotation, TRenderOptions options,
              TColor color);

    static TPdf& Owner(pdfium::FPDF_FORMFILLINFO* info);
    static void FfiInvalidate(pdfium::FPDF_FORMFILLINFO* info, pdfium::FPDF_PAGE page, double left,
                              double top, double right, double bottom);
    static int FfiSetTimer(pdfium::FPDF_FORMFILLINFO* info, int elapse,
                           pdfium::TimerCallback callback);
    static void FfiKillTimer(pdfium::FPDF_FORMFILLINFO* info, int timerId);
    static void FfiSetTextFieldFocus(pdfium::FPDF_FORMFILLINFO* info, pdfium::FPDF_WIDESTRING value,
                                     pdfium::FPDF_DWORD valueLength, pdfium::FPDF_BOOL isFocus);

    std::string FName;
    std::string FFileName;
    std::string FPassword;
    bool FFormFill = true;
    int FFileHandle = -1;
    DrawingOptions FDrawing;
    pdfium::FPDF_FILEACCESS FFileAccess{}; // read by the engine while a document is open
    int FPageNumber = 0;
    NullPdfTimer FNullTimer;
    PdfTimer* FTimer;
    const int FTimerId; // unique per component: an address does not fit the engine's int id
    pdfium::TimerCallback FTimerCallback = nullptr;
    std::function<void(TPdf&)> FOnPageChange;
    std::function<void(TPdf&, const std::u16string&)> FOnFormFieldEnter;
    std::function<void(TPdf&)> FOnFormFieldExit;
    // The engine keeps the address of FFormFillInfo while the form handle lives, and the handles
    // below are released in reverse order: page, form-fill environment, document.
    TPdfFormFillInfo FFormFillInfo{};
    ScopedDocument FDocument;
    ScopedFormHandle FFormHandle;
    ScopedPage FPage;
};

} // namespace folioxa
