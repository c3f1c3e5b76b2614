#pragma once

// Our own declarations of the pdfium engine's C interface (Linux x86-64, LP64). No engine headers
// are installed: the library is opened with dlopen and every entry is bound by name, so the types
// here must match the engine's layout exactly; the static_asserts below pin it.

#include <cstddef>

namespace folioxa::pdfium {

struct FpdfDocument;
struct FpdfPage;
struct FpdfBitmap;
struct FpdfForm;

using FPDF_DOCUMENT = FpdfDocument*;
using FPDF_PAGE = FpdfPage*;
using FPDF_BITMAP = FpdfBitmap*;
using FPDF_FORMHANDLE = FpdfForm*;
using FPDF_ANNOTATION = void*;
using FPDF_WIDGET = void*;
using FPDF_BOOL = int;
using FPDF_DWORD = unsigned long; // 8 bytes on LP64, not 4
using FPDF_WCHAR = unsigned short;
using FPDF_BYTESTRING = const char*;
using FPDF_WIDESTRING = const FPDF_WCHAR*; // UTF-16, never wchar_t (4 bytes here)
using FPDF_STRING = const char*;

// Last-error codes of a failed document load.
inline constexpr unsigned long FPDF_ERR_SUCCESS = 0;
inline constexpr unsigned long FPDF_ERR_UNKNOWN = 1;
inline constexpr unsigned long FPDF_ERR_FILE = 2;
inline constexpr unsigned long FPDF_ERR_FORMAT = 3;
inline constexpr unsigned long FPDF_ERR_PASSWORD = 4;
inline constexpr unsigned long FPDF_ERR_SECURITY = 5;
inline constexpr unsigned long FPDF_ERR_PAGE = 6;

// Render flags.
inline constexpr int FPDF_ANNOT = 0x01;
inline constexpr int FPDF_LCD_TEXT = 0x02;
inline constexpr int FPDF_NO_NATIVETEXT = 0x04;
inline constexpr int FPDF_GRAYSCALE = 0x08;
inline constexpr int FPDF_REVERSE_BYTE_ORDER = 0x10;
inline constexpr int FPDF_DEBUG_INFO = 0x80;
inline constexpr int FPDF_NO_CATCH = 0x100;
inline constexpr int FPDF_RENDER_LIMITEDIMAGECACHE = 0x200;
inline constexpr int FPDF_RENDER_FORCEHALFTONE = 0x400;
inline constexpr int FPDF_PRINTING = 0x800;
inline constexpr int FPDF_RENDER_NO_SMOOTHTEXT = 0x1000;
inline constexpr int FPDF_RENDER_NO_SMOOTHIMAGE = 0x2000;
inline constexpr int FPDF_RENDER_NO_SMOOTHPATH = 0x4000;

// Bitmap formats that FPDFBitmap_Create makes.
inline constexpr int FPDFBitmap_BGRx = 3;
inline constexpr int FPDFBitmap_BGRA = 4;

// Form types.
inline constexpr int FORMTYPE_NONE = 0;
inline constexpr int FORMTYPE_ACRO_FORM = 1;
inline constexpr int FORMTYPE_XFA_FULL = 2;
inline constexpr int FORMTYPE_XFA_FOREGROUND = 3;

// Document additional action: the document will close.
inline constexpr int FPDFDOC_AACTION_WC = 0x10;

struct FPDF_SYSTEMTIME {
    unsigned short wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;
};

// A rectangle in page space (points, y up): top above bottom.
struct FS_RECTF {
    float left, top, right, bottom;
};

struct FPDF_LIBRARY_CONFIG {
    int version;
    const char** m_pUserFontPaths;
    void* m_pIsolate;
    unsigned int m_v8EmbedderSlot;
    void* m_pPlatform;
    int m_RendererType;
};

struct UNSUPPORT_INFO {
    int version;
    void (*FSDK_UnSupport_Handler)(UNSUPPORT_INFO* pThis, int nType);
};

using TimerCallback = void (*)(int idEvent);

// A document read through the caller's callback: m_GetBlock fills `size` bytes from `position`
// and returns non-zero on success. The engine keeps the address while the document is open.
struct FPDF_FILEACCESS {
    unsigned long m_FileLen;
    int (*m_GetBlock)(void* param, unsigned long position, unsigned char* pBuf, unsigned long size);
    void* m_Param;
};

// Structs the XFA-only members point to; this binding never looks inside them.
using FPDF_FILEHANDLER = void;
using FPDF_BSTR = void;
struct IPDF_JSPLATFORM;

// All 35 members whatever the version, so that anything placed after the struct lands at 280.
struct FPDF_FORMFILLINFO {
    int version;
    void (*Release)(FPDF_FORMFILLINFO* pThis);
    void (*FFI_Invalidate)(FPDF_FORMFILLINFO* pThis, FPDF_PAGE page, double left, double top,
                           double right, double bottom);
    void (*FFI_OutputSelectedRect)(FPDF_FORMFILLINFO* pThis, FPDF_PAGE page, double left,
                                   double top, double right, double bottom);
    void (*FFI_SetCursor)(FPDF_FORMFILLINFO* pThis, int nCursorType);
    int (*FFI_SetTimer)(FPDF_FORMFILLINFO* pThis, int uElapse, TimerCallback lpTimerFunc);
    void (*FFI_KillTimer)(FPDF_FORMFILLINFO* pThis, int nTimerID);
    FPDF_SYSTEMTIME (*FFI_GetLocalTime)(FPDF_FORMFILLINFO* pThis);
    void (*FFI_OnChange)(FPDF_FORMFILLINFO* pThis);
    FPDF_PAGE (*FFI_GetPage)(FPDF_FORMFILLINFO* pThis, FPDF_DOCUMENT document, int nPageIndex);
    FPDF_PAGE (*FFI_GetCurrentPage)(FPDF_FORMFILLINFO* pThis, FPDF_DOCUMENT document);
    int (*FFI_GetRotation)(FPDF_FORMFILLINFO* pThis, FPDF_PAGE page);
    void (*FFI_ExecuteNamedAction)(FPDF_FORMFILLINFO* pThis, FPDF_BYTESTRING namedAction);
    void (*FFI_SetTextFieldFocus)(FPDF_FORMFILLINFO* pThis, FPDF_WIDESTRING value,
                                  FPDF_DWORD valueLen, FPDF_BOOL is_focus);
    void (*FFI_DoURIAction)(FPDF_FORMFILLINFO* pThis, FPDF_BYTESTRING bsURI);
    void (*FFI_DoGoToAction)(FPDF_FORMFILLINFO* pThis, int nPageIndex, int zoomMode,
                             float* fPosArray, int sizeofArray);
    IPDF_JSPLATFORM* m_pJsPlatform;
    FPDF_BOOL xfa_disabled;
    void (*FFI_DisplayCaret)(FPDF_FORMFILLINFO* pThis, FPDF_PAGE page, FPDF_BOOL bVisible,
                             double left, double top, double right, double bottom);
    int (*FFI_GetCurrentPageIndex)(FPDF_FORMFILLINFO* pThis, FPDF_DOCUMENT document);
    void (*FFI_SetCurrentPage)(FPDF_FORMFILLINFO* pThis, FPDF_DOCUMENT document, int iCurPage);
    void (*FFI_GotoURL)(FPDF_FORMFILLINFO* pThis, FPDF_DOCUMENT document, FPDF_WIDESTRING wsURL);
    void (*FFI_GetPageViewRect)(FPDF_FORMFILLINFO* pThis, FPDF_PAGE page, double* left, double* top,
                                double* right, double* bottom);
    void (*FFI_PageEvent)(FPDF_FORMFILLINFO* pThis, int page_count, FPDF_DWORD event_type);
    int /*FPDF_BOOL*/ (*FFI_PopupMenu)(FPDF_FORMFILLINFO* pThis, FPDF_PAGE page,
                                       FPDF_WIDGET hWidget, int menuFlag, float x, float y);
    FPDF_FILEHANDLER* (*FFI_OpenFile)(FPDF_FORMFILLINFO* pThis, int fileFlag, FPDF_WIDESTRING wsURL,
                                      const char* mode);
    void (*FFI_EmailTo)(FPDF_FORMFILLINFO* pThis, FPDF_FILEHANDLER* fileHandler,
                        FPDF_WIDESTRING pTo, FPDF_WIDESTRING pSubject, FPDF_WIDESTRING pCC,
                        FPDF_WIDESTRING pBcc, FPDF_WIDESTRING pMsg);
    void (*FFI_UploadTo)(FPDF_FORMFILLINFO* pThis, FPDF_FILEHANDLER* fileHandler, int fileFlag,
                         FPDF_WIDESTRING uploadTo);
    int (*FFI_GetPlatform)(FPDF_FORMFILLINFO* pThis, void* platform, int length);
    int (*FFI_GetLanguage)(FPDF_FORMFILLINFO* pThis, void* language, int length);
    FPDF_FILEHANDLER* (*FFI_DownloadFromURL)(FPDF_FORMFILLINFO* pThis, FPDF_WIDESTRING URL);
    int /*FPDF_BOOL*/ (*FFI_PostRequestURL)(FPDF_FORMFILLINFO* pThis, FPDF_WIDESTRING wsURL,
                                            FPDF_WIDESTRING wsData, FPDF_WIDESTRING wsContentType,
                                            FPDF_WIDESTRING wsEncode, FPDF_WIDESTRING wsHeader,
                                            FPDF_BSTR* response);
    int /*FPDF_BOOL*/ (*FFI_PutRequestURL)(FPDF_FORMFILLINFO* pThis, FPDF_WIDESTRING wsURL,
                                           FPDF_WIDESTRING wsData, FPDF_WIDESTRING wsEncode);
    void (*FFI_OnFocusChange)(FPDF_FORMFILLINFO* param, FPDF_ANNOTATION annot, int page_index);
    void (*FFI_DoURIActionWithKeyboardModifier)(FPDF_FORMFILLINFO* param, FPDF_BYTESTRING uri,
                                                int modifiers);
};

static_assert(sizeof(FPDF_DWORD) == 8 && sizeof(FPDF_BOOL) == 4);
static_assert(sizeof(FPDF_WCHAR) == 2);
static_assert(offsetof(FPDF_FORMFILLINFO, version) == 0);
static_assert(offsetof(FPDF_FORMFILLINFO, Release) == 8);
static_assert(offsetof(FPDF_FORMFILLINFO, FFI_SetTimer) == 40);
static_assert(offsetof(FPDF_FORMFILLINFO, FFI_SetTextFieldFocus) == 104);
static_assert(offsetof(FPDF_FORMFILLINFO, m_pJsPlatform) == 128);
static_assert(offsetof(FPDF_FORMFILLINFO, xfa_disabled) == 136);
static_assert(offsetof(FPDF_FORMFILLINFO, FFI_DisplayCaret) == 144);
static_assert(offsetof(FPDF_FORMFILLINFO, FFI_OnFocusChange) == 264);
static_assert(offsetof(FPDF_FORMFILLINFO, FFI_DoURIActionWithKeyboardModifier) == 272);
static_assert(sizeof(FPDF_FORMFILLINFO) == 280 && alignof(FPDF_FORMFILLINFO) == 8);
static_assert(sizeof(UNSUPPORT_INFO) == 16 &&
              offsetof(UNSUPPORT_INFO, FSDK_UnSupport_Handler) == 8);
static_assert(sizeof(FS_RECTF) == 16);
static_assert(sizeof(FPDF_SYSTEMTIME) == 16 && offsetof(FPDF_SYSTEMTIME, wMilliseconds) == 14);
static_assert(sizeof(FPDF_FILEACCESS) == 24 && offsetof(FPDF_FILEACCESS, m_Param) == 16);
static_assert(sizeof(FPDF_LIBRARY_CONFIG) == 48 &&
              offsetof(FPDF_LIBRARY_CONFIG, m_RendererType) == 40);

// The one table of the engine functions this program binds: X(name, result, parameters, required).
// Bound in this order when the library loads; a missing required export fails the load. FPDF_XFA
// is not exported by the engine we ship: then XFA forms are not handled.
#define FOLIOXA_PDFIUM_FUNCTIONS(X)                                                                \
    X(FPDF_InitLibrary, void, (), true)                                                            \
    X(FPDF_InitLibraryWithConfig, void, (const FPDF_LIBRARY_CONFIG* config), true)                 \
    X(FPDF_DestroyLibrary, void, (), true)                                                         \
    X(FPDF_SetSandBoxPolicy, void, (FPDF_DWORD policy, FPDF_BOOL enable), true)                    \
    X(FPDF_LoadDocument, FPDF_DOCUMENT, (FPDF_STRING file_path, FPDF_BYTESTRING password), true)   \
    X(FPDF_LoadCustomDocument, FPDF_DOCUMENT,                                                      \
      (FPDF_FILEACCESS * pFileAccess, FPDF_BYTESTRING password), true)                             \
    X(FPDF_GetLastError, unsigned long, (), true)                                                  \
    X(FPDF_XFA, FPDF_BOOL, (), false)                                                              \
    X(FPDFDOC_InitFormFillEnvironment, FPDF_FORMHANDLE,                                            \
      (FPDF_DOCUMENT document, FPDF_FORMFILLINFO * formInfo), true)                                \
    X(FPDF_SetFormFieldHighlightColor, void,                                                       \
      (FPDF_FORMHANDLE hHandle, int fieldType, unsigned long color), true)                         \
    X(FPDF_SetFormFieldHighlightAlpha, void, (FPDF_FORMHANDLE hHandle, unsigned char alpha), true) \
    X(FORM_DoDocumentJSAction, void, (FPDF_FORMHANDLE hHandle), true)                              \
    X(FORM_DoDocumentOpenAction, void, (FPDF_FORMHANDLE hHandle), true)                            \
    X(FPDF_GetFormType, int, (FPDF_DOCUMENT document), true)                                       \
    X(FPDF_LoadXFA, FPDF_BOOL, (FPDF_DOCUMENT document), true)                                     \
    X(FSDK_SetUnSpObjProcessHandler, FPDF_BOOL, (UNSUPPORT_INFO * unsp_info), true)                \
    X(FPDF_GetPageCount, int, (FPDF_DOCUMENT document), true)                                      \
    X(FPDF_LoadPage, FPDF_PAGE, (FPDF_DOCUMENT document, int page_index), true)                    \
    X(FPDF_GetPageWidth, double, (FPDF_PAGE page), true)                                           \
    X(FPDF_GetPageHeight, double, (FPDF_PAGE page), true)                                          \
    X(FPDF_ClosePage, void, (FPDF_PAGE page), true)                                                \
    X(FPDFPage_HasTransparency, FPDF_BOOL, (FPDF_PAGE page), true)                                 \
    X(FPDF_GetPageBoundingBox, FPDF_BOOL, (FPDF_PAGE page, FS_RECTF * rect), true)                 \
    X(FPDFPage_GetBleedBox, FPDF_BOOL,                                                             \
      (FPDF_PAGE page, float* left, float* bottom, float* right, float* top), true)                \
    X(FPDFPage_GetTrimBox, FPDF_BOOL,                                                              \
      (FPDF_PAGE page, float* left, float* bottom, float* right, float* top), true)                \
    X(FPDFPage_GetArtBox, FPDF_BOOL,                                                               \
      (FPDF_PAGE page, float* left, float* bottom, float* right, float* top), true)                \
    X(FPDFPage_SetCropBox, void,                                                                   \
      (FPDF_PAGE page, float left, float bottom, float right, float top), true)                    \
    X(FPDFBitmap_Create, FPDF_BITMAP, (int width, int height, int alpha), true)                    \
    X(FPDFBitmap_CreateEx, FPDF_BITMAP,                                                            \
      (int width, int height, int format, void* first_scan, int stride), true)                     \
    X(FPDFBitmap_FillRect, FPDF_BOOL,                                                              \
      (FPDF_BITMAP bitmap, int left, int top, int width, int height, FPDF_DWORD color), true)      \
    X(FPDF_RenderPageBitmap, void,                                                                 \
      (FPDF_BITMAP bitmap, FPDF_PAGE page, int start_x, int start_y, int size_x, int size_y,       \
       int rotate, int flags),                                                                     \
      true)                                                                                        \
    X(FPDF_RemoveFormFieldHighlight, void, (FPDF_FORMHANDLE hHandle), true)                        \
    X(FPDF_FFLDraw, void,                                                                          \
      (FPDF_FORMHANDLE hHandle, FPDF_BITMAP bitmap, FPDF_PAGE page, int start_x, int start_y,      \
       int size_x, int size_y, int rotate, int flags),                                             \
      true)                                                                                        \
    X(FPDFBitmap_GetFormat, int, (FPDF_BITMAP bitmap), true)                                       \
    X(FPDFBitmap_GetWidth, int, (FPDF_BITMAP bitmap), true)                                        \
    X(FPDFBitmap_GetHeight, int, (FPDF_BITMAP bitmap), true)                                       \
    X(FPDFBitmap_GetStride, int, (FPDF_BITMAP bitmap), true)                                       \
    X(FPDFBitmap_GetBuffer, void*, (FPDF_BITMAP bitmap), true)                                     \
    X(FPDFBitmap_Destroy, void, (FPDF_BITMAP bitmap), true)                                        \
    X(FORM_DoDocumentAAction, void, (FPDF_FORMHANDLE hHandle, int aaType), true)                   \
    X(FPDFDOC_ExitFormFillEnvironment, void, (FPDF_FORMHANDLE hHandle), true)                      \
    X(FPDF_CloseDocument, void, (FPDF_DOCUMENT document), true)

// The bound entry points; null until bound (FPDF_XFA stays null when the engine lacks it).
struct PdfFunctions {
#define FOLIOXA_PDFIUM_MEMBER(name, result, parameters, required)                                  \
    result(*name) parameters = nullptr;
    FOLIOXA_PDFIUM_FUNCTIONS(FOLIOXA_PDFIUM_MEMBER)
#undef FOLIOXA_PDFIUM_MEMBER
};

} // namespace folioxa::pdfium
