// A libpdfium.so for the tests: the engine functions the program binds, over the text documents
// that FakeEngine.h describes. Each page is drawn in its own colour; a page may be told to crash,
// abort, hang, allocate or probe its sandbox while it is drawn; built as the hostile engine, also
// attack (HostileEngine.h). A new behaviour is one row of kModes.
#include "support/FakeEngine.h"

#include "pdf/PdfAbi.h"
#include "support/SandboxProbe.h"
#ifdef FOLIOXA_HOSTILE_ENGINE
#include "support/HostileEngine.h"
#endif

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>

using namespace folioxa::pdfium;

// The engine's exports, with the very signatures the program binds them with.
#define FAKE_ENGINE_DECLARE(name, result, parameters, required)                                    \
    extern "C" __attribute__((visibility("default"))) result name parameters;
FOLIOXA_PDFIUM_FUNCTIONS(FAKE_ENGINE_DECLARE)
#undef FAKE_ENGINE_DECLARE

namespace folioxa::fake {
namespace {

// The pixels of the page being drawn, for a mode to mark.
struct Canvas {
    unsigned char* Buffer = nullptr;
    int Width = 0, Height = 0, Stride = 0;
    int Page = 0;
    // Fills a rectangle (clipped to the bitmap) with 0xRRGGBB.
    void Fill(int left, int top, int width, int height, std::uint32_t rgb) const;
};

using ModeArguments = std::vector<std::string>; // what follows the page number on the line

struct Mode {
    const char* Keyword;
    void (*Run)(Canvas& canvas, const ModeArguments& arguments);
    // Whether the line's arguments make sense; null: any do.
    bool (*Accepts)(const ModeArguments& arguments) = nullptr;
    bool AtLoad = false; // runs when the page is loaded, not when it is drawn (no pixels then)
};

// Kept where the compiler cannot prove that nobody reads it.
void* volatile gKept = nullptr;
int* volatile gNowhere = nullptr;

const Mode kModes[] = {
    {"crash-on", [](Canvas&, const ModeArguments&) { *gNowhere = 1; }},
    {"abort-on", [](Canvas&, const ModeArguments&) { std::abort(); }},
    {"hang-on",
     [](Canvas&, const ModeArguments&) {
         for (;;) {
             pause();
         }
     }},
    // glibc's end when it cannot allocate a thread's data for a library: no signal, exit 127.
    {"tls-abort-on",
     [](Canvas&, const ModeArguments&) {
         constexpr char kText[] = "cannot allocate memory for thread-local data: ABORT\n";
         [[maybe_unused]] const ssize_t written = write(2, kText, sizeof kText - 1);
         _exit(127);
     }},
    {"allocate-mb",
     [](Canvas&, const ModeArguments& arguments) {
         const std::size_t bytes = std::stoull(arguments.at(0)) << 20;
         gKept = std::malloc(bytes);
         if (gKept == nullptr) {
             std::abort(); // the engine's allocator ends the process when it is refused
         }
         std::memset(gKept, 1, bytes);
         std::free(gKept);
     }},
    {"probe-on",
     [](Canvas& canvas, const ModeArguments& arguments) {
         using namespace folioxa::testing;
         DrawSandboxProbes(RunSandboxProbes(SandboxProbeTargetsFrom(arguments)),
                           [&canvas](int left, int top, int size, std::uint32_t rgb) {
                               canvas.Fill(left, top, size, size, rgb);
                           });
     }},
#ifdef FOLIOXA_HOSTILE_ENGINE
    {"attack-on",
     [](Canvas& canvas, const ModeArguments& arguments) {
         const auto bytes =
             static_cast<std::size_t>(canvas.Stride) * static_cast<std::size_t>(canvas.Height);
         if (folioxa::testing::RunAttack(arguments, canvas.Buffer, bytes)) {
             canvas.Fill(0, 0, 8, 8, 0x000000);
         }
     },
     folioxa::testing::IsAttack},
    {"load-attack-on",
     [](Canvas&, const ModeArguments& arguments) { folioxa::testing::RunAttack(arguments); },
     folioxa::testing::IsAttack, /*AtLoad=*/true},
#endif
};

struct Order {
    const Mode* What;
    ModeArguments Arguments;
};

struct Document {
    int Pages = 1;
    double Width = 144, Height = 72;
    std::multimap<int, Order> Orders; // by page
};

struct Page {
    Document* Of;
    int Number;
};

struct Bitmap {
    unsigned char* Buffer;
    int Width, Height, Stride, Format;
    std::unique_ptr<unsigned char[]> Owned;
};

struct Form {
    FPDF_FORMFILLINFO* Info;
};

unsigned long gLastError = FPDF_ERR_SUCCESS;

void Canvas::Fill(int left, int top, int width, int height, std::uint32_t rgb) const {
    const int right = std::min(Width, left + width), bottom = std::min(Height, top + height);
    for (int y = std::max(top, 0); y < bottom; ++y) {
        for (int x = std::max(left, 0); x < right; ++x) {
            unsigned char* pixel = Buffer + static_cast<std::ptrdiff_t>(y) * Stride + x * 4;
            pixel[0] = static_cast<unsigned char>(rgb);
            pixel[1] = static_cast<unsigned char>(rgb >> 8);
            pixel[2] = static_cast<unsigned char>(rgb >> 16);
            pixel[3] = 0xFF;
        }
    }
}

FPDF_DOCUMENT Parse(const std::string& text, const char* password) {
    std::istringstream lines(text);
    std::string line;
    if (!std::getline(lines, line) || line != "fake-pdf") {
        gLastError = FPDF_ERR_FORMAT;
        return nullptr;
    }
    auto document = std::make_unique<Document>();
    std::string secret;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string keyword;
        if (!(words >> keyword)) {
            continue;
        }
        if (keyword == "pages") {
            words >> document->Pages;
        } else if (keyword == "size") {
            words >> document->Width >> document->Height;
        } else if (keyword == "password") {
            words >> secret;
        } else if (keyword == "hang-on-open") {
            for (;;) {
                pause();
            }
        } else {
            const Mode* mode = nullptr;
            for (const Mode& candidate : kModes) {
                mode = keyword == candidate.Keyword ? &candidate : mode;
            }
            int page = 0;
            if (mode == nullptr || !(words >> page)) {
                gLastError = FPDF_ERR_FORMAT; // a mistyped test document shows at once
                return nullptr;
            }
            Order order{mode, {}};
            for (std::string word; words >> word;) {
                order.Arguments.push_back(word);
            }
            if (mode->Accepts != nullptr && !mode->Accepts(order.Arguments)) {
                gLastError = FPDF_ERR_FORMAT;
                return nullptr;
            }
            document->Orders.emplace(page, std::move(order));
        }
    }
    if (secret != (password != nullptr ? password : "")) {
        gLastError = FPDF_ERR_PASSWORD;
        return nullptr;
    }
    return reinterpret_cast<FPDF_DOCUMENT>(document.release());
}

Document* Of(FPDF_DOCUMENT document) {
    return reinterpret_cast<Document*>(document);
}
Page* Of(FPDF_PAGE page) {
    return reinterpret_cast<Page*>(page);
}
Bitmap* Of(FPDF_BITMAP bitmap) {
    return reinterpret_cast<Bitmap*>(bitmap);
}

} // namespace
} // namespace folioxa::fake

using namespace folioxa::fake;

void FPDF_InitLibrary() {}
void FPDF_InitLibraryWithConfig(const FPDF_LIBRARY_CONFIG*) {}
void FPDF_DestroyLibrary() {}
void FPDF_SetSandBoxPolicy(FPDF_DWORD, FPDF_BOOL) {}

FPDF_DOCUMENT FPDF_LoadDocument(FPDF_STRING file_path, FPDF_BYTESTRING password) {
    std::FILE* file = file_path != nullptr ? std::fopen(file_path, "rb") : nullptr;
    if (file == nullptr) {
        gLastError = FPDF_ERR_FILE;
        return nullptr;
    }
    std::string text;
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
        text.append(buffer, got);
    }
    std::fclose(file);
    return Parse(text, password);
}

FPDF_DOCUMENT FPDF_LoadCustomDocument(FPDF_FILEACCESS* pFileAccess, FPDF_BYTESTRING password) {
    std::string text(pFileAccess != nullptr ? pFileAccess->m_FileLen : 0, '\0');
    if (pFileAccess == nullptr ||
        (!text.empty() && pFileAccess->m_GetBlock(pFileAccess->m_Param, 0,
                                                  reinterpret_cast<unsigned char*>(text.data()),
                                                  text.size()) == 0)) {
        gLastError = FPDF_ERR_FILE;
        return nullptr;
    }
    return Parse(text, password);
}

unsigned long FPDF_GetLastError() {
    return gLastError;
}

FPDF_FORMHANDLE FPDFDOC_InitFormFillEnvironment(FPDF_DOCUMENT document,
                                                FPDF_FORMFILLINFO* formInfo) {
    if (document == nullptr || formInfo == nullptr ||
        (formInfo->version != 1 && formInfo->version != 2)) {
        return nullptr;
    }
    return reinterpret_cast<FPDF_FORMHANDLE>(new Form{formInfo});
}

void FPDF_SetFormFieldHighlightColor(FPDF_FORMHANDLE, int, unsigned long) {}
void FPDF_SetFormFieldHighlightAlpha(FPDF_FORMHANDLE, unsigned char) {}
void FORM_DoDocumentJSAction(FPDF_FORMHANDLE) {}
void FORM_DoDocumentOpenAction(FPDF_FORMHANDLE) {}
int FPDF_GetFormType(FPDF_DOCUMENT) {
    return FORMTYPE_NONE;
}
FPDF_BOOL FPDF_LoadXFA(FPDF_DOCUMENT) {
    return 0;
}
FPDF_BOOL FSDK_SetUnSpObjProcessHandler(UNSUPPORT_INFO* unsp_info) {
    return unsp_info != nullptr && unsp_info->version == 1 ? 1 : 0;
}

int FPDF_GetPageCount(FPDF_DOCUMENT document) {
    return document != nullptr ? Of(document)->Pages : 0;
}

FPDF_PAGE FPDF_LoadPage(FPDF_DOCUMENT document, int page_index) {
    if (document == nullptr || page_index < 0 || page_index >= Of(document)->Pages) {
        return nullptr;
    }
    auto* page = new Page{Of(document), page_index + 1};
    Canvas nothing{nullptr, 0, 0, 0, page->Number};
    const auto [first, last] = page->Of->Orders.equal_range(page->Number);
    for (auto order = first; order != last; ++order) {
        if (order->second.What->AtLoad) {
            order->second.What->Run(nothing, order->second.Arguments);
        }
    }
    return reinterpret_cast<FPDF_PAGE>(page);
}

double FPDF_GetPageWidth(FPDF_PAGE page) {
    return page != nullptr ? Of(page)->Of->Width : 0;
}
double FPDF_GetPageHeight(FPDF_PAGE page) {
    return page != nullptr ? Of(page)->Of->Height : 0;
}
void FPDF_ClosePage(FPDF_PAGE page) {
    delete Of(page);
}
FPDF_BOOL FPDFPage_HasTransparency(FPDF_PAGE) {
    return 0;
}
// The page is its media box, and has no other.
FPDF_BOOL FPDF_GetPageBoundingBox(FPDF_PAGE page, FS_RECTF* rect) {
    if (page == nullptr) {
        return 0;
    }
    *rect = {0, static_cast<float>(FPDF_GetPageHeight(page)),
             static_cast<float>(FPDF_GetPageWidth(page)), 0};
    return 1;
}
#define FAKE_ENGINE_NO_BOX(name)                                                                   \
    FPDF_BOOL name(FPDF_PAGE, float*, float*, float*, float*) {                                    \
        return 0;                                                                                  \
    }
FAKE_ENGINE_NO_BOX(FPDFPage_GetBleedBox)
FAKE_ENGINE_NO_BOX(FPDFPage_GetTrimBox)
FAKE_ENGINE_NO_BOX(FPDFPage_GetArtBox)
#undef FAKE_ENGINE_NO_BOX
void FPDFPage_SetCropBox(FPDF_PAGE, float, float, float, float) {}

FPDF_BITMAP FPDFBitmap_CreateEx(int width, int height, int format, void* first_scan, int stride) {
    if (width <= 0 || height <= 0 || (format != FPDFBitmap_BGRx && format != FPDFBitmap_BGRA)) {
        return nullptr;
    }
    auto bitmap =
        std::make_unique<Bitmap>(Bitmap{static_cast<unsigned char*>(first_scan), width, height,
                                        stride > 0 ? stride : width * 4, format, nullptr});
    if (bitmap->Buffer == nullptr) {
        bitmap->Owned = std::make_unique<unsigned char[]>(static_cast<std::size_t>(bitmap->Stride) *
                                                          static_cast<std::size_t>(height));
        bitmap->Buffer = bitmap->Owned.get();
    }
    return reinterpret_cast<FPDF_BITMAP>(bitmap.release());
}

FPDF_BITMAP FPDFBitmap_Create(int width, int height, int alpha) {
    return FPDFBitmap_CreateEx(width, height, alpha != 0 ? FPDFBitmap_BGRA : FPDFBitmap_BGRx,
                               nullptr, 0);
}

FPDF_BOOL FPDFBitmap_FillRect(FPDF_BITMAP bitmap, int left, int top, int width, int height,
                              FPDF_DWORD color) {
    if (bitmap == nullptr) {
        return 0;
    }
    const Bitmap& b = *Of(bitmap);
    Canvas{b.Buffer, b.Width, b.Height, b.Stride, 0}.Fill(left, top, width, height,
                                                          static_cast<std::uint32_t>(color));
    return 1;
}

void FPDF_RenderPageBitmap(FPDF_BITMAP bitmap, FPDF_PAGE page, int start_x, int start_y, int size_x,
                           int size_y, int, int) {
    if (bitmap == nullptr || page == nullptr) {
        return;
    }
    const Bitmap& b = *Of(bitmap);
    Canvas canvas{b.Buffer, b.Width, b.Height, b.Stride, Of(page)->Number};
    canvas.Fill(start_x, start_y, size_x, size_y, folioxa::testing::FakePageRgb(canvas.Page));
    const auto [first, last] = Of(page)->Of->Orders.equal_range(canvas.Page);
    for (auto order = first; order != last; ++order) {
        if (!order->second.What->AtLoad) {
            order->second.What->Run(canvas, order->second.Arguments);
        }
    }
}

void FPDF_RemoveFormFieldHighlight(FPDF_FORMHANDLE) {}
void FPDF_FFLDraw(FPDF_FORMHANDLE, FPDF_BITMAP, FPDF_PAGE, int, int, int, int, int, int) {}

int FPDFBitmap_GetFormat(FPDF_BITMAP bitmap) {
    return bitmap != nullptr ? Of(bitmap)->Format : 0;
}
int FPDFBitmap_GetWidth(FPDF_BITMAP bitmap) {
    return bitmap != nullptr ? Of(bitmap)->Width : 0;
}
int FPDFBitmap_GetHeight(FPDF_BITMAP bitmap) {
    return bitmap != nullptr ? Of(bitmap)->Height : 0;
}
int FPDFBitmap_GetStride(FPDF_BITMAP bitmap) {
    return bitmap != nullptr ? Of(bitmap)->Stride : 0;
}
void* FPDFBitmap_GetBuffer(FPDF_BITMAP bitmap) {
    return bitmap != nullptr ? Of(bitmap)->Buffer : nullptr;
}
void FPDFBitmap_Destroy(FPDF_BITMAP bitmap) {
    delete Of(bitmap);
}

void FORM_DoDocumentAAction(FPDF_FORMHANDLE, int) {}

void FPDFDOC_ExitFormFillEnvironment(FPDF_FORMHANDLE hHandle) {
    if (hHandle == nullptr) {
        return;
    }
    auto* form = reinterpret_cast<Form*>(hHandle);
    if (form->Info->Release != nullptr) {
        form->Info->Release(form->Info);
    }
    delete form;
}

void FPDF_CloseDocument(FPDF_DOCUMENT document) {
    delete Of(document);
}
