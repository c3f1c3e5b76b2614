#include "pdf/EngineMessage.h"
#include "pdf/EngineSpy.h"
#include "pdf/PDFium.h"
#include "support/TestFiles.h"
#include "support/TestPdf.h"

#include <gtest/gtest.h>

#include <cfenv>
#include <climits>
#include <cstring>
#include <functional>

namespace folioxa {
namespace {

using testing::EncryptPdf;
using testing::EngineSpy;
using testing::MakePdf;
using testing::MessageOf;
using testing::TempDir;
using testing::TestPage;
using testing::WriteFile;

std::vector<TestPage> Pages(int count) {
    std::vector<TestPage> pages(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        pages[static_cast<std::size_t>(i)].Width = 100 + i; // tells the pages apart
    }
    return pages;
}

class PdfDocument : public ::testing::Test {
protected:
    std::string Write(const std::string& name, const std::vector<TestPage>& pages) {
        WriteFile(FDir.File(name), MakePdf(pages));
        return FDir.File(name);
    }
    std::string Encrypted(const std::string& name, const std::string& password,
                          const std::string& mode) {
        const std::string plain = Write("plain-" + name, Pages(12));
        EncryptPdf(plain, FDir.File(name), password, "owner-" + password, mode);
        return FDir.File(name);
    }
    TempDir FDir;
};

TEST_F(PdfDocument, OpeningReportsEachOutcome) {
    WriteFile(FDir.File("text.pdf"), "This is a plain text file, not a PDF.\n");
    struct Case {
        const char* Why;
        std::string File, Password;
        std::string Message; // empty: opens
        int Pages;
    };
    const std::string secret = "secret";
    const std::string nonAscii = "s\xC3\xA9kr\xC3\xABt \xE2\x82\xAC"; // "sékrët €"
    const Case cases[] = {
        {"unprotected", Write("plain.pdf", Pages(3)), "", "", 3},
        {"zero pages", Write("empty.pdf", {}), "", "", 0},
        {"RC4-128, no password", Encrypted("rc4.pdf", secret, "rc4-128"), "",
         "Password required or incorrect password", 0},
        {"RC4-128, wrong password", FDir.File("rc4.pdf"), "Secret",
         "Password required or incorrect password", 0},
        {"RC4-128, right password", FDir.File("rc4.pdf"), secret, "", 12},
        {"AES-256, no password", Encrypted("aes.pdf", secret, "aes-256"), "",
         "Password required or incorrect password", 0},
        {"AES-256, right password", FDir.File("aes.pdf"), secret, "", 12},
        {"AES-256, non-ASCII", Encrypted("utf8.pdf", nonAscii, "aes-256"), nonAscii, "", 12},
        {"AES-128, right password", Encrypted("aes128.pdf", secret, "aes-128"), secret, "", 12},
        {"missing file", FDir.File("nowhere.pdf"), "", "File not found or could not be opened", 0},
        {"empty file name", "", "", "File not found or could not be opened", 0},
        {"not a PDF", FDir.File("text.pdf"), "", "File not in PDF format or corrupted", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Why);
        TPdf pdf("Pdf");
        pdf.SetFileName(c.File);
        pdf.SetPassword(c.Password);
        if (c.Message.empty()) {
            pdf.SetActive(true);
            EXPECT_TRUE(pdf.Active());
            EXPECT_EQ(pdf.PageCount(), c.Pages);
        } else {
            EXPECT_EQ(MessageOf([&] { pdf.SetActive(true); }), c.Message);
            EXPECT_FALSE(pdf.Active());
        }
    }
}

TEST_F(PdfDocument, RefusedPasswordThenTheRightOneOpens) {
    TPdf pdf("Pdf");
    pdf.SetFileName(Encrypted("rc4.pdf", "secret", "rc4-128"));
    EXPECT_EQ(MessageOf([&] { pdf.SetActive(true); }), "Password required or incorrect password");
    EXPECT_FALSE(pdf.Active());
    pdf.SetPassword("secret");
    pdf.SetActive(true);
    EXPECT_EQ(pdf.PageCount(), 12);
}

// The engine's error code is process-wide and only a failed document load sets it. A page that
// fails to load after a refused password must not be reported as a password problem.
TEST_F(PdfDocument, StaleEngineCodeNeverNamesALaterFailure) {
    TPdf pdf("Pdf");
    pdf.SetFileName(Encrypted("rc4.pdf", "secret", "rc4-128"));
    EXPECT_EQ(MessageOf([&] { pdf.SetActive(true); }), "Password required or incorrect password");
    pdf.SetPassword("secret");
    pdf.SetActive(true);
    EXPECT_EQ(MessageOf([&] { pdf.SetPageNumber(15); }), "Cannot open page 15");
    EXPECT_TRUE(pdf.Active());
    EXPECT_EQ(pdf.PageNumber(), 15);
    EXPECT_EQ(MessageOf([&] { pdf.PageWidth(); }),
              "Cannot perform this operation on an inactive page");

    pdf.SetPageNumber(1);
    EXPECT_EQ(MessageOf([&] { pdf.RenderPage(0, 0, 50000, 50000); }), "Cannot create bitmap");

    pdf.SetActive(false);
    EngineSpy spy;
    spy.FailFormFillInit = true;
    EXPECT_EQ(MessageOf([&] { pdf.SetActive(true); }), "Cannot initialize form fill environment");
    // The document loaded: it stays open until the caller closes it.
    EXPECT_TRUE(pdf.Active());
    pdf.SetActive(false);
    EXPECT_FALSE(pdf.Active());
}

TEST_F(PdfDocument, GuardsRefuseWithTheirMessagesAndKeepOldValues) {
    const std::string file = Write("a.pdf", Pages(2));
    struct Case {
        std::string Name;
        std::string Active, Inactive;
    };
    const Case cases[] = {
        {"Pdf", "Cannot perform this operation on an active Pdf component",
         "Cannot perform this operation on an inactive Pdf component"},
        {"", "Cannot perform this operation on an active  component",
         "Cannot perform this operation on an inactive  component"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TPdf pdf(c.Name);
        EXPECT_EQ(MessageOf([&] { pdf.PageCount(); }), c.Inactive);
        EXPECT_EQ(MessageOf([&] { pdf.PageWidth(); }), c.Inactive);
        EXPECT_EQ(MessageOf([&] { pdf.RenderPage(0, 0, 0, 100); }), c.Inactive);
        pdf.SetFileName(file);
        pdf.SetPassword("pw");
        pdf.SetActive(true);
        EXPECT_EQ(MessageOf([&] { pdf.SetFileName("other.pdf"); }), c.Active);
        EXPECT_EQ(MessageOf([&] { pdf.SetPassword("other"); }), c.Active);
        EXPECT_EQ(MessageOf([&] { pdf.SetFormFill(false); }), c.Active);
        EXPECT_EQ(pdf.FileName(), file);
        EXPECT_EQ(pdf.Password(), "pw");
        EXPECT_TRUE(pdf.FormFill());
        EXPECT_EQ(MessageOf([&] { pdf.PageHeight(); }),
                  "Cannot perform this operation on an inactive page");
        pdf.SetActive(true); // already active: nothing happens
        EXPECT_EQ(pdf.PageCount(), 2);
    }
}

TEST_F(PdfDocument, PageNumberSelectsReloadsAndOutlivesClose) {
    TPdf pdf("Pdf");
    int pageChanges = 0;
    pdf.SetOnPageChange([&](TPdf& sender) {
        EXPECT_EQ(&sender, &pdf);
        ++pageChanges;
    });
    pdf.SetFileName(Write("a.pdf", Pages(3)));
    pdf.SetPageNumber(2); // stored only while inactive
    EXPECT_EQ(pageChanges, 0);
    pdf.SetActive(true);
    EXPECT_EQ(pdf.PageWidth(), 101);
    EXPECT_EQ(pageChanges, 1);

    pdf.SetPageNumber(2); // the same value: no reload
    EXPECT_EQ(pageChanges, 1);
    pdf.SetPageNumber(3);
    EXPECT_EQ(pdf.PageWidth(), 102);
    pdf.ReloadPage();
    EXPECT_EQ(pageChanges, 3);

    pdf.SetPageNumber(0); // unloads; still a successful change
    EXPECT_EQ(pdf.Page(), nullptr);
    EXPECT_EQ(pageChanges, 4);

    struct Case {
        int Number;
        std::string Message;
    };
    const Case failures[] = {
        {4, "Cannot open page 4"},
        {-1, "Cannot open page -1"},
        {INT_MIN, "Cannot open page -2147483648"}, // no overflow on the way to the engine
    };
    for (const Case& c : failures) {
        EXPECT_EQ(MessageOf([&] { pdf.SetPageNumber(c.Number); }), c.Message);
        EXPECT_EQ(pdf.PageNumber(), c.Number);
        EXPECT_TRUE(pdf.Active());
        EXPECT_EQ(pdf.Page(), nullptr);
    }
    EXPECT_EQ(pageChanges, 4); // failed loads announce nothing

    pdf.SetPageNumber(1);
    pdf.SetActive(false);
    EXPECT_EQ(pdf.PageNumber(), 1);
    EXPECT_EQ(MessageOf([&] { pdf.ReloadPage(); }),
              "Cannot perform this operation on an inactive Pdf component");
    // The next open, of another file, loads the kept number again and fails in that load.
    pdf.SetFileName(Write("empty.pdf", {}));
    EXPECT_EQ(MessageOf([&] { pdf.SetActive(true); }), "Cannot open page 1");
    EXPECT_TRUE(pdf.Active());
}

TEST_F(PdfDocument, PageSizesInPointsFollowTheRotation) {
    struct Case {
        double Width, Height;
        int Rotate;
        double ExpectedWidth, ExpectedHeight;
    };
    const Case cases[] = {
        {200, 100, 0, 200, 100},           {200, 100, 90, 100, 200},
        {200, 100, 180, 200, 100},         {200, 100, 270, 100, 200},
        {595.5, 842.25, 0, 595.5, 842.25}, {14400, 14400, 0, 14400, 14400},
    };
    std::vector<TestPage> pages;
    for (const Case& c : cases) {
        TestPage page;
        page.Width = c.Width;
        page.Height = c.Height;
        page.Rotate = c.Rotate;
        pages.push_back(page);
    }
    TPdf pdf("Pdf");
    pdf.SetFileName(Write("sizes.pdf", pages));
    pdf.SetActive(true);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        pdf.SetPageNumber(static_cast<int>(i) + 1);
        EXPECT_DOUBLE_EQ(pdf.PageWidth(), cases[i].ExpectedWidth);
        EXPECT_DOUBLE_EQ(pdf.PageHeight(), cases[i].ExpectedHeight);
    }
}

TEST_F(PdfDocument, FormFillEnvironmentIsSetUpAndTornDownInOrder) {
    TestPage page;
    page.TextFieldValue = "Hello";
    const std::string file = Write("form.pdf", {page});
    EngineSpy spy;
    {
        TPdf pdf("Pdf");
        pdf.SetFileName(file);
        pdf.SetPageNumber(1);
        pdf.SetActive(true);
        EXPECT_NE(pdf.FormHandle(), nullptr);
        EXPECT_EQ(pdf.FormType(), ftAcroForm);
        // The engine's copy of the structure is followed by the owner, at offset 280.
        ASSERT_NE(spy.FormInfo, nullptr);
        TPdf* owner = nullptr;
        std::memcpy(&owner, reinterpret_cast<const char*>(spy.FormInfo) + 280, sizeof owner);
        EXPECT_EQ(owner, &pdf);
        EXPECT_NE(spy.FormInfo->FFI_Invalidate, nullptr);
        EXPECT_EQ(spy.FormInfo->Release, nullptr);
        EXPECT_EQ(spy.FormInfo->m_pJsPlatform, nullptr);
    } // destruction closes the document
    const std::vector<std::string> expected{
        "FPDF_LoadDocument",
        "FPDFDOC_InitFormFillEnvironment version=1",
        "FPDF_SetFormFieldHighlightColor 0 16770269", // 0xFFE4DD
        "FPDF_SetFormFieldHighlightAlpha 100",
        "FORM_DoDocumentJSAction",
        "FORM_DoDocumentOpenAction",
        "FPDF_LoadPage 0",
        "FPDF_ClosePage",
        "FORM_DoDocumentAAction 16", // the document will close
        "FPDFDOC_ExitFormFillEnvironment",
        "FPDF_CloseDocument",
    };
    EXPECT_EQ(spy.Calls, expected);
}

TEST_F(PdfDocument, WithoutFormFillNoEnvironmentIsMade) {
    const std::string file = Write("a.pdf", Pages(1));
    EngineSpy spy;
    TPdf pdf("Pdf");
    pdf.SetFormFill(false);
    pdf.SetFileName(file);
    pdf.SetActive(true);
    pdf.SetActive(false);
    EXPECT_EQ(spy.Calls, (std::vector<std::string>{"FPDF_LoadDocument", "FPDF_CloseDocument"}));
}

// Records what the component asks of its timer.
class FakeTimer : public PdfTimer {
public:
    void Start(int intervalMs, std::function<void()> onTimeout) override {
        Log.push_back("start " + std::to_string(intervalMs));
        FOnTimeout = std::move(onTimeout);
    }
    void Stop() override { Log.push_back("stop"); }
    void Fire() { FOnTimeout(); }
    std::vector<std::string> Log;

private:
    std::function<void()> FOnTimeout;
};

std::vector<int> timerCalls;
void TimerCallbackA(int id) {
    timerCalls.push_back(id);
}
void TimerCallbackB(int id) {
    timerCalls.push_back(-id);
}

TEST_F(PdfDocument, EngineTimerRequestsReachTheTimer) {
    const std::string file = Write("a.pdf", Pages(1));
    EngineSpy spy;
    FakeTimer timer;
    TPdf pdf("Pdf", &timer);
    pdf.SetFileName(file);
    pdf.SetActive(true);
    pdfium::FPDF_FORMFILLINFO* info = spy.FormInfo;
    ASSERT_NE(info, nullptr);
    timerCalls.clear();

    // As the engine would call it: the id comes back with every tick.
    const int id = info->FFI_SetTimer(info, 50, &TimerCallbackA);
    EXPECT_NE(id, 0);
    timer.Fire();
    timer.Fire();
    // A second request replaces interval and callback.
    EXPECT_EQ(info->FFI_SetTimer(info, 20, &TimerCallbackB), id);
    timer.Fire();
    EXPECT_EQ(timerCalls, (std::vector<int>{id, id, -id}));

    info->FFI_KillTimer(info, id + 1); // another component's timer
    info->FFI_KillTimer(info, id);
    EXPECT_EQ(timer.Log, (std::vector<std::string>{"start 50", "start 20", "stop"}));

    // Leaving the environment stops the timer and forgets the engine's callback.
    info->FFI_SetTimer(info, 10, &TimerCallbackA);
    pdf.SetActive(false);
    timer.Fire();
    EXPECT_EQ(timerCalls.size(), 3U);
    EXPECT_EQ(timer.Log.back(), "stop");
}

TEST_F(PdfDocument, TwoComponentsHaveTheirOwnTimerIds) {
    const std::string file = Write("a.pdf", Pages(1));
    EngineSpy spy;
    TPdf first("First");
    TPdf second("Second");
    first.SetFileName(file);
    second.SetFileName(file);
    first.SetActive(true);
    pdfium::FPDF_FORMFILLINFO* firstInfo = spy.FormInfo;
    second.SetActive(true);
    pdfium::FPDF_FORMFILLINFO* secondInfo = spy.FormInfo;
    EXPECT_NE(firstInfo->FFI_SetTimer(firstInfo, 10, &TimerCallbackA),
              secondInfo->FFI_SetTimer(secondInfo, 10, &TimerCallbackA));
}

TEST_F(PdfDocument, TextFieldFocusReachesTheHandlers) {
    const std::string file = Write("a.pdf", Pages(1));
    EngineSpy spy;
    TPdf pdf("Pdf");
    std::vector<std::u16string> events;
    pdf.SetOnFormFieldEnter([&](TPdf&, const std::u16string& text) { events.push_back(text); });
    pdf.SetOnFormFieldExit([&](TPdf&) { events.push_back(u"<exit>"); });
    pdf.SetFileName(file);
    pdf.SetActive(true);
    pdfium::FPDF_FORMFILLINFO* info = spy.FormInfo;
    const pdfium::FPDF_WCHAR value[] = {u'H', u'\u00E9', u'!', u'x'};
    info->FFI_SetTextFieldFocus(info, value, 3, 1); // the length counts code units
    info->FFI_SetTextFieldFocus(info, nullptr, 0, 0);
    EXPECT_EQ(events, (std::vector<std::u16string>{u"H\u00E9!", u"<exit>"}));
}

TEST_F(PdfDocument, FloatingPointExceptionsAreMaskedWhileAPageLoads) {
    const std::string file = Write("a.pdf", Pages(2));
    EngineSpy spy;
    TPdf pdf("Pdf");
    pdf.SetFileName(file);
    pdf.SetActive(true);
    fedisableexcept(FE_ALL_EXCEPT);
    feenableexcept(FE_DIVBYZERO | FE_INVALID);
    pdf.SetPageNumber(1);
    EXPECT_EQ(spy.EnabledDuringLoadPage, 0);
    EXPECT_EQ(fegetexcept(), FE_DIVBYZERO | FE_INVALID);
    EXPECT_THROW(pdf.SetPageNumber(9), EPdfError); // restored on the failing path too
    EXPECT_EQ(fegetexcept(), FE_DIVBYZERO | FE_INVALID);
    fedisableexcept(FE_ALL_EXCEPT);
}

} // namespace
} // namespace folioxa
