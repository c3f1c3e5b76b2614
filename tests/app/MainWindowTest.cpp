#include "app/Main.h"
#include "app/PagesTab.h"
#include "app/ScriptedDialogs.h"
#include "conversion/ImageFormats.h"
#include "imaging/ImageWriter.h"
#include "support/Corpus.h"
#include "support/FakeEngine.h"
#include "support/TestFiles.h"
#include "support/TestPdf.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDragLeaveEvent>
#include <QDropEvent>
#include <QEventLoop>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>

namespace folioxa {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using namespace folioxa::testing;

// A line per page saying how the window looked as its file was written.
struct WindowObserver {
    QWidget* Window = nullptr;
    std::vector<std::string> Seen;

    RunObserver Observer() {
        RunObserver observer;
        observer.OnEntryStarted = [this](const EntryEvent& e) { Observe(e.Path); };
        return observer;
    }

private:
    void Observe(const std::string& path) {
        auto enabled = [this](const char* name) {
            return Window->findChild<QPushButton*>(name)->isEnabled() ? "on" : "off";
        };
        const auto* bar = Window->findChild<QProgressBar*>("ProgressBar");
        Seen.push_back(std::filesystem::path(path).filename().string() + " select " +
                       enabled("select_input_button") + " convert " + enabled("export_button") +
                       " bar " + (bar->isVisible() ? "shown " : "hidden ") +
                       std::to_string(bar->value()) + "/" + std::to_string(bar->maximum()) +
                       (Window->cursor().shape() == Qt::BusyCursor ? " busy" : ""));
    }
};

class MainWindowTest : public ::testing::Test {
protected:
    MainWindowTest() {
        FOutput.Window = &FWindow;
        FWindow.SetRunObserver(FOutput.Observer());
        FWindow.show();
    }

    template <typename T>
    T* Control(const char* name) {
        T* control = FWindow.findChild<T*>(name);
        EXPECT_NE(control, nullptr) << name;
        return control;
    }
    std::string Text(const char* name) { return Control<QLineEdit>(name)->text().toStdString(); }
    void Click(const char* name) { Control<QPushButton>(name)->click(); }
    // Convert pressed, and the run waited for.
    void Convert() {
        Click("export_button");
        WaitForRun(FWindow);
    }
    bool Checked(const char* name) { return Control<QRadioButton>(name)->isChecked(); }
    std::string Status() { return Control<QLabel>("StatusBar1Panel")->text().toStdString(); }

    // A PDF file of `pages` pages of 72 x 144 points in a folder of its own.
    std::string Pdf(const std::string& name, int pages = 3, const std::string& password = "") {
        std::filesystem::create_directories(FDir.Path() / "in");
        std::string path = FDir.File("in/" + name);
        WriteFile(path, MakePdf(std::vector<TestPage>(static_cast<std::size_t>(pages),
                                                      TestPage{72, 144, 0, {}, "", false})));
        if (!password.empty()) {
            EncryptPdf(path, path + ".enc", password, "owner", "aes-128");
            std::filesystem::rename(path + ".enc", path);
        }
        return path;
    }
    void Select(const std::string& path, std::vector<std::string> passwords = {}) {
        FDialogs.Files.emplace_back(path);
        FDialogs.Passwords.insert(FDialogs.Passwords.end(), passwords.begin(), passwords.end());
        Click("select_input_button");
    }
    // As every selection and every run leave the component; a selection also empties the
    // password, while a run keeps the one it opened with.
    void ExpectPdfClosed(bool passwordEmptied = true) {
        EXPECT_FALSE(FWindow.Pdf().Active());
        EXPECT_EQ(FWindow.Pdf().PageNumber(), 0);
        if (passwordEmptied) {
            EXPECT_EQ(FWindow.Pdf().Password(), "");
        }
    }

    TempDir FDir;
    ScriptedDialogs FDialogs;
    WindowObserver FOutput;
    TFormTest FWindow{&FDialogs};
};

TEST_F(MainWindowTest, StartsWithTheFormsChoicesAndTheConvertPageInFront) {
    const struct {
        const char* Name;
        const char* Text;
        bool ReadOnly;
    } edits[] = {{"input_filename", "", true},
                 {"convert_method2_input1", "", false},
                 {"export_base_filename", "filename", false},
                 {"export_destination_folder", "", true}};
    for (const auto& edit : edits) {
        EXPECT_EQ(Text(edit.Name), edit.Text) << edit.Name;
        EXPECT_EQ(Control<QLineEdit>(edit.Name)->isReadOnly(), edit.ReadOnly) << edit.Name;
    }
    EXPECT_TRUE(Checked("r_convert_method1"));
    EXPECT_FALSE(Checked("r_convert_method2"));
    EXPECT_TRUE(Checked("export_dest_source"));
    EXPECT_FALSE(Checked("export_dest_other"));
    const struct {
        const char* Name;
        QStringList Items;
    } lists[] = {{"dropdown_image_type", {"JPG", "PNG", "BMP"}},
                 {"dropdown_image_resolution", {"300", "250", "200", "150", "100"}}};
    for (const auto& list : lists) {
        auto* box = Control<QComboBox>(list.Name);
        QStringList items;
        for (int i = 0; i < box->count(); ++i) {
            items << box->itemText(i);
        }
        EXPECT_EQ(items, list.Items) << list.Name;
        EXPECT_EQ(box->currentIndex(), 0) << list.Name;
        EXPECT_FALSE(box->isEditable()) << list.Name;
    }
    // The window keeps its own list of types; each must be a row of the table runs write with.
    for (const QString& type : lists[0].Items) {
        EXPECT_EQ(StandardImageFormats().Find(type.toStdString()).Name, type.toStdString());
    }
    EXPECT_FALSE(Control<QProgressBar>("ProgressBar")->isVisible());
    EXPECT_TRUE(Control<QPushButton>("select_input_button")->isEnabled());
    EXPECT_TRUE(Control<QPushButton>("export_button")->isEnabled());

    EXPECT_EQ(Control<QTabWidget>("PageControl1")->currentWidget()->objectName(), "TabExport");
    EXPECT_EQ(FWindow.windowTitle(), "Folioxa");
    EXPECT_EQ(QGuiApplication::applicationDisplayName(), "Folioxa");
    EXPECT_EQ(Control<QLabel>("StatusBar1Panel")->text(), "Folioxa");
    EXPECT_EQ(Control<QLabel>("label_app_name")->text(), "Folioxa 2.0.1.2");
    EXPECT_FALSE(Control<QLabel>("ab_lb3")->text().isEmpty());
    EXPECT_EQ(FWindow.Pdf().Name(), "Pdf");
    ExpectPdfClosed();
}

TEST_F(MainWindowTest, ControlsSitWhereTheFormPutsThem) {
    // Labels and radio buttons may grow to show their text; everything else is exact.
    const struct {
        const char* Name;
        QRect Rect;
        bool MayGrow;
    } controls[] = {
        {"PageControl1", {24, 19, 1065, 376}, false},
        {"frm_export_method", {23, 16, 497, 233}, false},
        {"input_filename", {16, 63, 377, 25}, false},
        {"select_input_button", {407, 63, 75, 25}, false},
        {"r_convert_method2", {16, 160, 149, 17}, true}, // and tightened to fit
        {"convert_method2_input1", {171, 156, 310, 25}, false},
        {"frm_export_dest", {540, 16, 497, 233}, false},
        {"export_base_filename", {112, 30, 177, 25}, false},
        {"dropdown_image_type", {87, 63, 50, 25}, false},
        {"lbl_image_resolution", {168, 66, 98, 17}, true},
        {"dropdown_image_resolution", {273, 63, 50, 25}, false},
        {"export_dest_other", {168, 160, 129, 17}, true},
        {"export_destination_folder", {33, 190, 344, 25}, false},
        {"cmd_split_dest", {391, 190, 91, 25}, false},
        {"ProgressBar", {23, 278, 838, 21}, false},
        {"export_button", {879, 270, 158, 36}, false},
        {"link_website", {167, 92, 227, 21}, false},
    };
    for (const auto& control : controls) {
        const QRect rect = Control<QWidget>(control.Name)->geometry();
        EXPECT_EQ(rect.topLeft(), control.Rect.topLeft()) << control.Name;
        EXPECT_EQ(rect.height(), control.Rect.height()) << control.Name;
        if (control.MayGrow) {
            EXPECT_GE(rect.width(), control.Rect.width()) << control.Name;
        } else {
            EXPECT_EQ(rect.width(), control.Rect.width()) << control.Name;
        }
    }
    // The whole text of the page-selection choice shows, short of the edit beside it.
    auto* selection = Control<QRadioButton>("r_convert_method2");
    EXPECT_LE(selection->sizeHint().width(), selection->width());
    EXPECT_LE(selection->geometry().right(), Control<QWidget>("convert_method2_input1")->x());
    EXPECT_EQ(Control<QStatusBar>("StatusBar1")->height(), 37);
    EXPECT_EQ(Control<QWidget>("frm_export_method")->font().pixelSize(), 13);
    EXPECT_EQ(FWindow.font().pixelSize(), 11);
    EXPECT_TRUE(Control<QLabel>("label_app_name")->font().bold());
}

TEST_F(MainWindowTest, TabKeyFollowsTheFormsOrder) {
    Control<QWidget>("r_convert_method1")->setFocus();
    std::vector<std::string> order;
    auto* widget = Control<QWidget>("r_convert_method1");
    for (int step = 0; step < 200 && order.size() < 13; ++step) {
        const QString name = widget->objectName();
        if ((widget->focusPolicy() & Qt::TabFocus) != 0 && !name.isEmpty() &&
            !name.startsWith("qt_")) {
            order.push_back(name.toStdString());
        }
        widget = widget->nextInFocusChain();
    }
    EXPECT_THAT(order,
                ElementsAre("r_convert_method1", "r_convert_method2", "convert_method2_input1",
                            "input_filename", "select_input_button", "export_base_filename",
                            "export_dest_source", "export_dest_other", "export_destination_folder",
                            "cmd_split_dest", "dropdown_image_type", "dropdown_image_resolution",
                            "export_button"));
}

TEST_F(MainWindowTest, ConvertWithoutAFileOnlyAsksForOne) {
    Control<QRadioButton>("r_convert_method2")->setChecked(true);
    Control<QLineEdit>("convert_method2_input1")->setText("2-x");
    Convert();
    EXPECT_THAT(FDialogs.Calls, ElementsAre("notice Choose a PDF file to convert to images!"));
    EXPECT_TRUE(FWindow.Pdf().FileName().empty());
}

const char* const kPasswordNotice = "notice Password required or incorrect password";
const char* const kPasswordPrompt = "password Enter the password for this PDF file:|Password|";

struct SelectionCase {
    const char* Name;
    std::string Password;             // of the file; empty: unprotected
    std::vector<std::string> Answers; // at the prompt
    std::vector<std::string> Calls;   // after "open"
    bool Selected;
    int Pages = 3;
    bool Missing = false;
    bool NotPdf = false;
};

// Lets ctest list a row by its name rather than its bytes.
void PrintTo(const SelectionCase& row, std::ostream* out) {
    *out << row.Name;
}

class SelectionTest : public MainWindowTest, public ::testing::WithParamInterface<SelectionCase> {};

TEST_P(SelectionTest, SelectsOnlyWhatOpens) {
    const SelectionCase& row = GetParam();
    // An earlier selection and a typed base name, which a failed selection must keep.
    const std::string before = Pdf("before.pdf");
    Select(before);
    Control<QLineEdit>("export_base_filename")->setText("typed");
    FDialogs.Calls.clear();

    std::filesystem::create_directories(FDir.Path() / "chosen");
    std::string path = FDir.File("chosen/Scan.PDF");
    if (row.NotPdf) {
        WriteFile(path, "plain text, not a document\n");
    } else if (!row.Missing) {
        std::filesystem::rename(Pdf("new.pdf", row.Pages, row.Password), path);
    }
    Select(path, row.Answers);

    std::vector<std::string> calls{"open"};
    calls.insert(calls.end(), row.Calls.begin(), row.Calls.end());
    EXPECT_THAT(FDialogs.Calls, ElementsAreArray(calls));
    if (row.Selected) {
        EXPECT_EQ(Text("input_filename"), path);
        EXPECT_EQ(FWindow.InputPassword(), row.Answers.empty() ? "" : row.Answers.back());
        EXPECT_EQ(Text("export_base_filename"), "Scan_");
        EXPECT_EQ(Text("export_destination_folder"), FDir.File("chosen/"));
    } else {
        EXPECT_EQ(Text("input_filename"), before);
        EXPECT_EQ(FWindow.InputPassword(), "");
        EXPECT_EQ(Text("export_base_filename"), "typed");
        EXPECT_EQ(Text("export_destination_folder"), FDir.File("in/"));
    }
    ExpectPdfClosed();
}

INSTANTIATE_TEST_SUITE_P(
    Files, SelectionTest,
    ::testing::Values(
        SelectionCase{"Unprotected", "", {}, {}, true},
        SelectionCase{"NoPages", "", {}, {}, true, 0},
        SelectionCase{
            "RightPassword", "s3cret", {"s3cret"}, {kPasswordNotice, kPasswordPrompt}, true},
        SelectionCase{"BlanksKept", " pass ", {" pass "}, {kPasswordNotice, kPasswordPrompt}, true},
        SelectionCase{"BlanksNotTrimmed",
                      "pass",
                      {" pass "},
                      {kPasswordNotice, kPasswordPrompt, kPasswordNotice},
                      false},
        SelectionCase{"WrongPassword",
                      "s3cret",
                      {"guess"},
                      {kPasswordNotice, kPasswordPrompt, kPasswordNotice},
                      false},
        SelectionCase{"PromptCancelled", "s3cret", {""}, {kPasswordNotice, kPasswordPrompt}, false},
        SelectionCase{
            "Missing", "", {}, {"notice File not found or could not be opened"}, false, 3, true},
        SelectionCase{"NotAPdf",
                      "",
                      {},
                      {"notice File not in PDF format or corrupted"},
                      false,
                      3,
                      false,
                      true}),
    [](const ::testing::TestParamInfo<SelectionCase>& testInfo) { return testInfo.param.Name; });

TEST_F(MainWindowTest, CancelledOpenDialogChangesNothing) {
    FDialogs.Files.emplace_back(std::nullopt);
    Click("select_input_button");
    EXPECT_THAT(FDialogs.Calls, ElementsAre("open"));
    EXPECT_EQ(Text("input_filename"), "");
    EXPECT_EQ(Text("export_base_filename"), "filename");
}

TEST_F(MainWindowTest, SelectNewFolderKeepsTheFolder) {
    Control<QRadioButton>("export_dest_other")->setChecked(true);
    Select(Pdf("a.pdf"));
    EXPECT_EQ(Text("input_filename"), FDir.File("in/a.pdf"));
    EXPECT_EQ(Text("export_destination_folder"), "");
}

struct BrowseCase {
    const char* Name;
    const char* Folder;                // text before Browse
    std::optional<std::string> Answer; // nothing: Cancel
    const char* Start;                 // null: the current folder
    const char* Result;
    bool OtherSelected;
};

// Lets ctest list a row by its name rather than its bytes.
void PrintTo(const BrowseCase& row, std::ostream* out) {
    *out << row.Name;
}

class BrowseTest : public MainWindowTest, public ::testing::WithParamInterface<BrowseCase> {};

TEST_P(BrowseTest, FillsTheFolderOnlyOnOk) {
    const BrowseCase& row = GetParam();
    Control<QLineEdit>("export_destination_folder")->setText(row.Folder);
    FDialogs.Folders.push_back(row.Answer);
    Click("cmd_split_dest");
    const std::string start = row.Start != nullptr ? row.Start : QDir::currentPath().toStdString();
    EXPECT_THAT(FDialogs.Calls, ElementsAre("browse " + start));
    EXPECT_EQ(Text("export_destination_folder"), row.Result);
    EXPECT_EQ(Checked("export_dest_other"), row.OtherSelected);
    EXPECT_NE(Checked("export_dest_source"), row.OtherSelected);
}

INSTANTIATE_TEST_SUITE_P(
    Folders, BrowseTest,
    ::testing::Values(
        BrowseCase{"EmptyStartsAtCurrentFolder", "", "/srv/scans", nullptr, "/srv/scans/", true},
        BrowseCase{"FilledStartsThere", "/data/in/", "/data/out", "/data/in/", "/data/out/", true},
        BrowseCase{"RootGetsASecondSlash", "", "/", nullptr, "//", true},
        BrowseCase{"CancelKeepsEverything", "/data/in/", std::nullopt, "/data/in/", "/data/in/",
                   false}),
    [](const ::testing::TestParamInfo<BrowseCase>& testInfo) { return testInfo.param.Name; });

// Width and height in pixels from the header of a PNG, BMP or baseline JPEG file.
std::pair<int, int> ImageSize(const std::string& bytes) {
    auto be16 = [&](std::size_t at) {
        return (static_cast<unsigned char>(bytes.at(at)) << 8) |
               static_cast<unsigned char>(bytes.at(at + 1));
    };
    auto le16 = [&](std::size_t at) { return be16(at) >> 8 | (be16(at) & 0xFF) << 8; };
    if (bytes.compare(1, 3, "PNG") == 0) {
        return {be16(18), be16(22)};
    }
    if (bytes.compare(0, 2, "BM") == 0) {
        return {le16(18), le16(22)};
    }
    for (std::size_t at = 2; at + 9 < bytes.size();
         at += 2 + static_cast<std::size_t>(be16(at + 2))) {
        if (static_cast<unsigned char>(bytes[at + 1]) == 0xC0) {
            return {be16(at + 7), be16(at + 5)};
        }
    }
    return {0, 0};
}

struct ConvertCase {
    const char* Name;
    int Pages;
    const char* Type;
    const char* Resolution;
    const char* Selection; // null: all pages
    std::vector<std::string> Files;
    std::pair<int, int> Size;
    const char* Base = "page_";
};

// Lets ctest list a row by its name rather than its bytes.
void PrintTo(const ConvertCase& row, std::ostream* out) {
    *out << row.Name;
}

class ConvertTest : public MainWindowTest, public ::testing::WithParamInterface<ConvertCase> {};

TEST_P(ConvertTest, WritesEveryPageWhileTheWindowShowsTheRun) {
    const ConvertCase& row = GetParam();
    Select(Pdf("doc.pdf", row.Pages, "pw"), {"pw"});
    FDialogs.Folders.emplace_back(FDir.File("out"));
    std::filesystem::create_directories(FDir.Path() / "out");
    Click("cmd_split_dest");
    Control<QComboBox>("dropdown_image_type")->setCurrentText(row.Type);
    Control<QComboBox>("dropdown_image_resolution")->setCurrentText(row.Resolution);
    Control<QLineEdit>("export_base_filename")->setText(row.Base);
    if (row.Selection != nullptr) {
        Control<QRadioButton>("r_convert_method2")->setChecked(true);
        Control<QLineEdit>("convert_method2_input1")->setText(row.Selection);
    }
    FDialogs.Calls.clear();
    // Convert goes off during the run: the focus waits on the tabs, not in an edit, and comes back.
    Control<QWidget>("export_button")->setFocus();
    Convert();

    EXPECT_THAT(FDialogs.Calls, ElementsAre("notice Conversion complete!"));
    EXPECT_EQ(FWindow.focusWidget(), Control<QWidget>("export_button"));
    std::vector<std::string> seen;
    for (std::size_t i = 0; i < row.Files.size(); ++i) {
        seen.push_back(row.Files[i] + " select off convert off bar shown " + std::to_string(i + 1) +
                       "/" + std::to_string(row.Files.size()) + " busy");
        EXPECT_EQ(ImageSize(ReadFile(FDir.Path() / "out" / row.Files[i])), row.Size)
            << row.Files[i];
    }
    EXPECT_THAT(FOutput.Seen, ElementsAreArray(seen));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(FDir.Path() / "out"), {}),
              static_cast<std::ptrdiff_t>(row.Files.size()));
    EXPECT_TRUE(Control<QPushButton>("select_input_button")->isEnabled());
    EXPECT_TRUE(Control<QPushButton>("export_button")->isEnabled());
    EXPECT_FALSE(Control<QProgressBar>("ProgressBar")->isVisible());
    EXPECT_NE(FWindow.cursor().shape(), Qt::BusyCursor);
    ExpectPdfClosed(/*passwordEmptied=*/false);
    EXPECT_EQ(HasEngineMapped(), false) << "the window opened or drew with the engine itself";
}

INSTANTIATE_TEST_SUITE_P(
    Runs, ConvertTest,
    ::testing::Values(
        // 72 x 144 points: 1 x 2 inches.
        ConvertCase{"JpgAllPages",
                    3,
                    "JPG",
                    "300",
                    nullptr,
                    {"page_1.jpg", "page_2.jpg", "page_3.jpg"},
                    {300, 600}},
        ConvertCase{"PngSelectionPadded",
                    12,
                    "PNG",
                    "100",
                    "11,2",
                    {"page_11.png", "page_02.png"},
                    {100, 200}},
        ConvertCase{"BmpRange", 4, "BMP", "150", "2-3", {"page_2.bmp", "page_3.bmp"}, {150, 300}},
        // An emptied base name is taken as it is.
        ConvertCase{"EmptyBaseName", 2, "PNG", "250", nullptr, {"1.png", "2.png"}, {250, 500}, ""}),
    [](const ::testing::TestParamInfo<ConvertCase>& testInfo) { return testInfo.param.Name; });

// Text drawn with the engine's own fonts and FreeType, embedded or not, whichever program asks.
TEST_F(MainWindowTest, WritesTheConvertersBytesOnRealTextPages) {
    for (const std::string name : {"real/text_tracemonkey.pdf", "real/font_mixedfonts.pdf"}) {
        const std::string document = testing::CorpusFile(name);
        if (document.empty()) {
            GTEST_SKIP() << testing::CorpusMissing(name);
        }
        SCOPED_TRACE(name);
        TempDir window, tool;
        FDialogs.Folders.emplace_back(window.Path().string());
        Click("cmd_split_dest");
        Select(document);
        Control<QRadioButton>("r_convert_method2")->setChecked(true);
        Control<QLineEdit>("convert_method2_input1")->setText("1");
        Control<QComboBox>("dropdown_image_type")->setCurrentText("PNG");
        Control<QComboBox>("dropdown_image_resolution")->setCurrentText("100");
        Convert();
        const std::string command = std::string(FOLIOXA_CONVERT) + " -q -p 1 -t png -r 100 -o " +
                                    tool.Path().string() + " " + document;
        ASSERT_EQ(std::system(command.c_str()), 0);
        std::map<std::string, std::string> written[2];
        for (int i = 0; i < 2; ++i) {
            for (const auto& file :
                 std::filesystem::directory_iterator((i == 0 ? window : tool).Path())) {
                written[i][file.path().filename()] = ReadFile(file.path());
            }
        }
        EXPECT_EQ(written[0].size(), 1U);
        EXPECT_TRUE(written[0] == written[1]);
    }
}

// A run of 20 full pages, with `during` queued once the second file is written.
class LiveRun : public MainWindowTest {
protected:
    void Start(const std::function<void()>& during) {
        const std::string path = FDir.File("in/big.pdf");
        std::filesystem::create_directories(FDir.Path() / "in");
        WriteFile(path, MakePdf(std::vector<TestPage>(
                            20, TestPage{612, 792, 0, {{36, 36, 500, 700, 0x336699}}, "", false})));
        Select(path);
        Control<QComboBox>("dropdown_image_type")->setCurrentText("PNG");
        RunObserver observer = FOutput.Observer();
        observer.OnEntryWritten = [during](const EntryEvent& e) {
            if (e.Index == 1) {
                QTimer::singleShot(0, during);
            }
        };
        FWindow.SetRunObserver(observer);
        Click("export_button");
    }
    // The page files in the folder, hidden ones (a file half written) included.
    std::vector<std::string> Written() {
        std::vector<std::string> names;
        for (const auto& file : std::filesystem::directory_iterator(FDir.Path() / "in")) {
            if (file.path().extension() != ".pdf") {
                names.push_back(file.path().filename());
            }
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    void ExpectRestored() {
        EXPECT_FALSE(FWindow.Running());
        EXPECT_TRUE(Control<QPushButton>("select_input_button")->isEnabled());
        EXPECT_TRUE(Control<QPushButton>("export_button")->isEnabled());
        EXPECT_FALSE(Control<QProgressBar>("ProgressBar")->isVisible());
        EXPECT_FALSE(Control<QPushButton>("stop_button")->isVisible());
        EXPECT_NE(FWindow.cursor().shape(), Qt::BusyCursor);
        ExpectPdfClosed(/*passwordEmptied=*/false);
        EXPECT_TRUE(testing::Children().empty()) << "a page worker outlived the run";
    }
};

TEST_F(LiveRun, TheEventLoopTurnsWhilePagesAreDrawn) {
    bool turned = false;
    Start([] {});
    QTimer::singleShot(0, &FWindow, [&] {
        turned = FWindow.Running();
        // The window answers: the busy arrow over it, the plain arrow over Stop.
        EXPECT_EQ(FWindow.cursor().shape(), Qt::BusyCursor);
        EXPECT_EQ(Control<QWidget>("stop_button")->cursor().shape(), Qt::ArrowCursor);
    });
    EXPECT_TRUE(FWindow.Running()) << "the click returned before the run ended";
    WaitForRun(FWindow);
    EXPECT_TRUE(turned);
    EXPECT_EQ(Written().size(), 20U);
    EXPECT_EQ(FDialogs.Calls.back(), "notice Conversion complete!");
    ExpectRestored();
}

TEST_F(LiveRun, StopKeepsThePagesWrittenAndSaysHowMany) {
    Start([this] { Control<QPushButton>("stop_button")->click(); });
    EXPECT_TRUE(Control<QPushButton>("stop_button")->isVisible());
    WaitForRun(FWindow);
    ASSERT_FALSE(FDialogs.Calls.empty());
    const std::string notice = FDialogs.Calls.back();
    std::size_t written = 0;
    ASSERT_EQ(std::sscanf(notice.c_str(), "notice Conversion stopped: %zu of 20 pages written.",
                          &written),
              1)
        << notice;
    EXPECT_GE(written, 2U);
    EXPECT_LT(written, 20U);
    // Exactly the pages before the stop, whole, and no half-written file.
    std::vector<std::string> expected;
    for (std::size_t page = 1; page <= written; ++page) {
        expected.push_back("big_" + std::string(page < 10 ? "0" : "") + std::to_string(page) +
                           ".png");
    }
    EXPECT_EQ(Written(), expected);
    EXPECT_EQ(Status(), std::to_string(written) + " of 20 files written to " + FDir.File("in/"));
    ExpectRestored();
}

// Stopped while a page's file is half written: the older file of that name stays byte for
// byte, and the hidden file being written goes.
TEST_F(LiveRun, StopMidPageKeepsTheOlderFileOfThatName) {
    std::filesystem::create_directories(FDir.Path() / "in");
    const std::string path = FDir.File("in/noise.pdf");
    WriteFile(path, MakePdf({TestPage{1000, 1000, 0, {}, "", false, 1}}));
    WriteFile(FDir.File("in/noise_1.png"), "the older file");
    Select(path);
    Control<QComboBox>("dropdown_image_type")->setCurrentText("PNG");
    Control<QComboBox>("dropdown_image_resolution")->setCurrentText("100");
    std::vector<std::string> atStop;
    RunObserver observer;
    // Its first bytes are being written; the rest is still being compressed.
    observer.OnEntryStarted = [&](const EntryEvent&) {
        QTimer::singleShot(0, [&] {
            atStop = Written();
            Click("stop_button");
        });
    };
    FWindow.SetRunObserver(observer);
    Click("export_button");
    WaitForRun(FWindow);
    ASSERT_EQ(atStop.size(), 2U);
    EXPECT_EQ(atStop[0].rfind(".noise_1.png.", 0), 0U) << atStop[0];
    EXPECT_EQ(FDialogs.Calls.back(), "notice Conversion stopped: 0 of 1 pages written.");
    auto left = FilesIn(FDir.Path() / "in");
    left.erase("noise.pdf");
    EXPECT_EQ(left, (std::map<std::string, std::string>{{"noise_1.png", "the older file"}}));
    ExpectRestored();
}

TEST_F(LiveRun, ClosingTheWindowStopsTheRun) {
    Start([this] { FWindow.close(); });
    WaitForRun(FWindow);
    EXPECT_FALSE(FWindow.isVisible());
    EXPECT_LT(Written().size(), 20U);
    ExpectRestored();
}

TEST_F(MainWindowTest, ADroppedPdfIsCopiedAndSelectedAsSelectWould) {
    const std::string path = Pdf("dropped.pdf", 12);
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(QString::fromStdString(path))});
    // The source would rather move the file: the window takes a copy all the same.
    const Qt::DropActions offered = Qt::CopyAction | Qt::MoveAction;
    QDragEnterEvent enter({10, 10}, offered, &data, Qt::LeftButton, Qt::NoModifier);
    enter.setDropAction(Qt::MoveAction);
    QApplication::sendEvent(&FWindow, &enter);
    EXPECT_TRUE(enter.isAccepted());
    EXPECT_EQ(enter.dropAction(), Qt::CopyAction);
    EXPECT_EQ(Status(), "Drop to select dropped.pdf");
    // Dragged away again: the status as it was; then back.
    QDragLeaveEvent leave;
    QApplication::sendEvent(&FWindow, &leave);
    EXPECT_EQ(Status(), "Folioxa");
    QApplication::sendEvent(&FWindow, &enter);
    QDropEvent drop(QPointF(10, 10), offered, &data, Qt::LeftButton, Qt::NoModifier);
    drop.setDropAction(Qt::MoveAction);
    QApplication::sendEvent(&FWindow, &drop);
    EXPECT_EQ(drop.dropAction(), Qt::CopyAction);
    EXPECT_EQ(Text("input_filename"), path);
    EXPECT_EQ(Text("export_base_filename"), "dropped_");
    EXPECT_EQ(Text("export_destination_folder"), FDir.File("in") + "/");
    EXPECT_EQ(Status(), "12 pages");
    ExpectPdfClosed();
}

TEST_F(MainWindowTest, ARefusedDropSaysWhy) {
    auto url = [this](const char* name) {
        return QUrl::fromLocalFile(QString::fromStdString(FDir.File(name)));
    };
    const struct {
        QList<QUrl> Urls;
        const char* Status;
    } rows[] = {
        {{url("notes.txt")}, "Not a PDF file: notes.txt"},
        {{url("a.pdf"), url("b.pdf")}, "Drop one PDF file at a time"},
        {{}, "Only a PDF file can be dropped here"},
        {{QUrl("https://example.org/a.pdf")}, "Not a PDF file: a.pdf"},
    };
    for (const auto& row : rows) {
        QMimeData data;
        data.setUrls(row.Urls);
        QDragEnterEvent enter({10, 10}, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&FWindow, &enter);
        EXPECT_FALSE(enter.isAccepted()) << row.Status;
        EXPECT_EQ(Status(), row.Status);
    }
    EXPECT_EQ(Text("input_filename"), "");
}

TEST_F(MainWindowTest, SelectHasTheFocusAndEnterConverts) {
    EXPECT_EQ(FWindow.focusWidget(), Control<QWidget>("select_input_button"));
    const char* const convert = "notice Choose a PDF file to convert to images!";
    const struct {
        const char* Control;
        const char* Call;
    } rows[] = {
        {"convert_method2_input1", convert},
        {"dropdown_image_type", convert},
        {"r_convert_method1", convert},
        {"select_input_button", "open"}, // a focused button takes Enter itself
        {"cmd_split_dest", "browse "},
    };
    for (const auto& row : rows) {
        FDialogs.Calls.clear();
        FDialogs.Files.emplace_back(std::nullopt);
        FDialogs.Folders.emplace_back(std::nullopt);
        QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QApplication::sendEvent(Control<QWidget>(row.Control), &enter);
        ASSERT_EQ(FDialogs.Calls.size(), 1U) << row.Control;
        EXPECT_EQ(FDialogs.Calls[0].rfind(row.Call, 0), 0U) << row.Control;
        FDialogs.Files.clear();
        FDialogs.Folders.clear();
    }
    // Not on the About page.
    FDialogs.Calls.clear();
    Control<QTabWidget>("PageControl1")->setCurrentWidget(Control<QWidget>("TabAbout"));
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(Control<QWidget>("PageControl1"), &enter);
    EXPECT_TRUE(FDialogs.Calls.empty());
}

TEST_F(MainWindowTest, ShrinkingKeepsConvertAndTheBarWithStopOnScreen) {
    FWindow.resize(200, 150);
    QApplication::processEvents();
    const int statusTop = Control<QWidget>("StatusBar1")->y();
    for (const char* name : {"export_button", "ProgressBar"}) {
        auto* control = Control<QWidget>(name);
        const QRect rect(control->mapTo(&FWindow, QPoint(0, 0)), control->size());
        EXPECT_TRUE(FWindow.rect().contains(rect)) << name;
        EXPECT_LT(rect.bottom(), statusTop) << name;
    }
}

TEST_F(MainWindowTest, FailedRunKeepsEarlierPagesAndRestoresTheWindow) {
    Select(Pdf("doc.pdf", 3));
    Control<QRadioButton>("r_convert_method2")->setChecked(true);
    Control<QLineEdit>("convert_method2_input1")->setText("1,7,2");
    Control<QComboBox>("dropdown_image_type")->setCurrentText("BMP");
    FDialogs.Calls.clear();
    Convert();

    ASSERT_EQ(FDialogs.Calls.size(), 1U);
    EXPECT_EQ(FDialogs.Calls[0], "error Cannot open page 7.");
    EXPECT_THAT(FOutput.Seen, ElementsAre("doc_1.bmp select off convert off bar shown 1/3 busy",
                                          "doc_7.bmp select off convert off bar shown 2/3 busy"));
    EXPECT_TRUE(std::filesystem::exists(FDir.Path() / "in/doc_1.bmp"));
    EXPECT_FALSE(std::filesystem::exists(FDir.Path() / "in/doc_2.bmp"));
    EXPECT_EQ(Status(), "1 of 3 files written to " + FDir.File("in/"));
    EXPECT_TRUE(Control<QPushButton>("select_input_button")->isEnabled());
    EXPECT_TRUE(Control<QPushButton>("export_button")->isEnabled());
    EXPECT_FALSE(Control<QProgressBar>("ProgressBar")->isVisible());
    EXPECT_NE(FWindow.cursor().shape(), Qt::BusyCursor);
    ExpectPdfClosed();

    // The window stays usable: the corrected selection converts.
    Control<QLineEdit>("convert_method2_input1")->setText("2");
    FDialogs.Calls.clear();
    Convert();
    EXPECT_THAT(FDialogs.Calls, ElementsAre("notice Conversion complete!"));
    EXPECT_TRUE(std::filesystem::exists(FDir.Path() / "in/doc_2.bmp"));
}

// On the fake engine (app_tests_fake_engine): a worker that crashes costs one page and one box.
TEST_F(MainWindowTest, FakeEngineCrashCostsOnePageAndTheWindowStaysUsable) {
    std::filesystem::create_directories(FDir.Path() / "in");
    WriteFile(FDir.File("in/doc.pdf"), FakePdf({"pages 3", "crash-on 2"}));
    Select(FDir.File("in/doc.pdf"));
    Control<QComboBox>("dropdown_image_type")->setCurrentText("PNG");
    Control<QComboBox>("dropdown_image_resolution")->setCurrentText("100");
    FDialogs.Calls.clear();
    Convert();

    ASSERT_EQ(FDialogs.Calls.size(), 1U);
    EXPECT_THAT(FDialogs.Calls[0],
                ::testing::StartsWith("error The PDF engine stopped while drawing page 2 ("));
    EXPECT_TRUE(IsFakePage(ReadFile(FDir.File("in/doc_1.png")), 1));
    EXPECT_FALSE(std::filesystem::exists(FDir.Path() / "in/doc_2.png"));
    EXPECT_FALSE(std::filesystem::exists(FDir.Path() / "in/doc_3.png"));
    EXPECT_TRUE(testing::Children().empty()) << "a page worker outlived the run";
    EXPECT_TRUE(Control<QPushButton>("export_button")->isEnabled());
    EXPECT_NE(FWindow.cursor().shape(), Qt::BusyCursor);
    ExpectPdfClosed(/*passwordEmptied=*/false);

    Control<QRadioButton>("r_convert_method2")->setChecked(true);
    Control<QLineEdit>("convert_method2_input1")->setText("3");
    FDialogs.Calls.clear();
    Convert();
    EXPECT_THAT(FDialogs.Calls, ElementsAre("notice Conversion complete!"));
    EXPECT_TRUE(IsFakePage(ReadFile(FDir.File("in/doc_3.png")), 3));
}

TEST_F(MainWindowTest, FailuresBeforeTheRunEndInTheErrorDisplay) {
    Select(Pdf("doc.pdf"));
    Control<QRadioButton>("r_convert_method2")->setChecked(true);
    Control<QLineEdit>("convert_method2_input1")->setText("2-x");
    FDialogs.Calls.clear();
    Convert();
    EXPECT_THAT(FDialogs.Calls, ElementsAre("error 'x' is not a valid integer value."));
    EXPECT_TRUE(FOutput.Seen.empty());
    ExpectPdfClosed();
}

TEST_F(MainWindowTest, LinkOpensTheInstalledDocumentation) {
    auto* link = Control<QLabel>("link_website");
    const QString target = DocumentationUrl();
    EXPECT_TRUE(link->text().contains("href=\"" + target + "\""));
    EXPECT_TRUE(link->text().endsWith(">README.md</a>")) << link->text().toStdString();
    EXPECT_LE(link->sizeHint().width(), link->width());
    EXPECT_TRUE(QFile::exists(QUrl(target).toLocalFile())) << target.toStdString();
    emit link->linkActivated(target);
    EXPECT_THAT(FDialogs.Calls, ElementsAre("shell " + target.toStdString() + "|"));
}

} // namespace
} // namespace folioxa

namespace folioxa {
namespace {

TEST_F(MainWindowTest, StatusBarCountsThePagesAndChecksTheTypedSelection) {
    EXPECT_EQ(Status(), "Folioxa");
    Control<QLineEdit>("convert_method2_input1")->setText("2,9");
    EXPECT_EQ(Status(), "selection: 2 pages") << "no document: nothing lies beyond";
    Select(Pdf("doc.pdf", 14));
    const struct {
        const char* Typed;
        const char* Status;
    } rows[] = {
        {"", "14 pages"},
        {"1", "14 pages \u00b7 selection: 1 page"},
        {"1-4,6", "14 pages \u00b7 selection: 5 pages"},
        {"1,15,2", "14 pages \u00b7 selection: 3 pages \u00b7 page 15 is beyond the 14 pages"},
        {"12-20,0",
         "14 pages \u00b7 selection: 10 pages \u00b7 pages 15-20, 0 are beyond the 14 pages"},
        {"5-3,9-7",
         "14 pages \u00b7 selection: 0 pages \u00b7 ranges 5-3, 9-7 are reversed and will "
         "be skipped"},
        {"x,2-", "14 pages \u00b7 selection: 0 pages \u00b7 'x', '2-' are not page numbers"},
    };
    for (const auto& row : rows) {
        Control<QLineEdit>("convert_method2_input1")->setText(row.Typed);
        EXPECT_EQ(Status(), row.Status) << row.Typed;
    }
    // A warning only: the run reads the selection as it always did.
    Control<QRadioButton>("r_convert_method2")->setChecked(true);
    Control<QLineEdit>("convert_method2_input1")->setText("2,15");
    FDialogs.Calls.clear();
    Convert();
    EXPECT_THAT(FDialogs.Calls, ElementsAre("error Cannot open page 15."));
    EXPECT_TRUE(std::filesystem::exists(FDir.Path() / "in/doc_02.jpg"));
}

TEST_F(MainWindowTest, StatusBarFollowsTheDrawingAndNamesWhereTheFilesWent) {
    Select(Pdf("doc.pdf", 3));
    std::vector<std::string> drawing; // the status as each page goes to a worker
    RunObserver observer = FOutput.Observer();
    observer.OnEntryDrawing = [&](const EntryEvent&) { drawing.push_back(Status()); };
    FWindow.SetRunObserver(observer);
    Convert();
    ASSERT_EQ(drawing.size(), 3U);
    // Before any page is drawn: the first, with nothing to estimate from.
    EXPECT_EQ(drawing[0], "Page 1 of 3 \u00b7 doc_1.jpg");
    for (const std::string& seen : drawing) {
        EXPECT_THAT(seen,
                    ::testing::MatchesRegex(
                        "Page [1-3] of 3 \u00b7 doc_[1-3][.]jpg( \u00b7 about 0:0[0-9] left)?"));
    }
    const std::string folder = FDir.File("in/");
    EXPECT_EQ(Status(), "3 files written to " + folder);
    auto* open = Control<QPushButton>("open_folder_button");
    EXPECT_TRUE(open->isVisible());
    FDialogs.Calls.clear();
    open->click();
    EXPECT_THAT(FDialogs.Calls, ElementsAre("shell file://" + folder + "|"));
    // A new selection: its page count, and no folder to open.
    Select(Pdf("other.pdf", 2));
    EXPECT_EQ(Status(), "2 pages");
    EXPECT_FALSE(open->isVisible());
}

// With "Select new folder" and none chosen the files go to the working folder: named in full.
TEST_F(MainWindowTest, StatusBarNamesTheWorkingFolderInFull) {
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(FDir.Path());
    Control<QRadioButton>("export_dest_other")->setChecked(true);
    Select(Pdf("doc.pdf", 1));
    Convert();
    std::filesystem::current_path(before);
    EXPECT_EQ(Status(), "1 file written to " + FDir.File(""));
    EXPECT_TRUE(std::filesystem::exists(FDir.Path() / "doc_1.jpg"));
}

TEST_F(MainWindowTest, ALongStatusIsCutInTheMiddleToFitTheBar) {
    const std::filesystem::path deep =
        FDir.Path() / std::string(200, 'a') / std::string(200, 'b') / "out";
    std::filesystem::create_directories(deep);
    FDialogs.Folders.emplace_back(deep.string());
    Click("cmd_split_dest");
    Select(Pdf("doc.pdf", 1));
    Convert();
    const std::string full = "1 file written to " + deep.string() + "/";
    auto* panel = Control<QLabel>("StatusBar1Panel");
    EXPECT_EQ(panel->toolTip().toStdString(), full);
    const std::string shown = Status();
    EXPECT_EQ(shown.rfind("1 file written to /", 0), 0U) << shown;
    EXPECT_EQ(shown.substr(shown.size() - 5), "/out/") << shown;
    EXPECT_NE(shown.find("\u2026"), std::string::npos) << shown;
    EXPECT_LE(panel->fontMetrics().horizontalAdvance(panel->text()),
              Control<QWidget>("StatusBar1")->width());
}

TEST_F(MainWindowTest, AFileArgumentIsSelectedAsSelectWould) {
    const std::string path = Pdf("given.pdf", 2, "pw");
    FDialogs.Passwords.push_back("pw");
    EXPECT_TRUE(FWindow.OpenFile(path));
    EXPECT_THAT(FDialogs.Calls, ElementsAre(kPasswordNotice, kPasswordPrompt));
    EXPECT_EQ(Text("input_filename"), path);
    EXPECT_EQ(FWindow.InputPassword(), "pw");
    EXPECT_EQ(Status(), "2 pages");
    ExpectPdfClosed();
    FDialogs.Calls.clear();
    EXPECT_FALSE(FWindow.OpenFile(FDir.File("missing.pdf")));
    EXPECT_THAT(FDialogs.Calls, ElementsAre("notice File not found or could not be opened"));
    EXPECT_EQ(Text("input_filename"), path);
}

} // namespace
} // namespace folioxa

namespace folioxa {
namespace {

class PagesTabTest : public MainWindowTest {
protected:
    // A document of `pages` pages, each filled with one colour, selected; the Pages tab in front.
    TPagesTab* Open(int pages) {
        return Open(MakePdf(
            std::vector<TestPage>(static_cast<std::size_t>(pages),
                                  TestPage{72, 144, 0, {{0, 0, 72, 144, 0x336699}}, "", false})));
    }
    // A document of these bytes.
    TPagesTab* Open(const std::string& bytes) {
        std::filesystem::create_directories(FDir.Path() / "in");
        const std::string path = FDir.File("in/doc.pdf");
        WriteFile(path, bytes);
        Select(path);
        auto* tab = Control<TPagesTab>("TabPages");
        Control<QTabWidget>("PageControl1")->setCurrentWidget(tab);
        WaitForPictures(tab);
        return tab;
    }
    static void WaitForPictures(const TPagesTab* tab) {
        QApplication::processEvents(); // the view settles, and the tab asks for what is in it
        for (int turn = 0; turn < 12000 && (tab->Drawing() || tab->DrawnPages().empty()); ++turn) {
            QEventLoop loop;
            QTimer::singleShot(5, &loop, &QEventLoop::quit);
            loop.exec();
        }
    }
    void ClickPage(TPagesTab* tab, int page) {
        QListWidget* list = tab->List();
        list->scrollToItem(list->item(page - 1));
        const QPointF at = list->visualItemRect(list->item(page - 1)).center();
        for (const QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
            QMouseEvent click(type, at, list->viewport()->mapToGlobal(at), Qt::LeftButton,
                              type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                              Qt::NoModifier);
            QApplication::sendEvent(list->viewport(), &click);
        }
    }
};

TEST_F(PagesTabTest, DrawsThePagesInViewInAWorkerAndTheRestAsTheyScrollIntoView) {
    TPagesTab* tab = Open(300);
    const std::vector<int> first = tab->DrawnPages();
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(first.front(), 1);
    EXPECT_LT(first.size(), 100U) << "pages far out of view were drawn";
    // The picture is the page, 128 pixels high, in its colour.
    const QImage picture =
        tab->List()->item(0)->icon().pixmap(TPagesTab::kFit, TPagesTab::kFit).toImage();
    EXPECT_EQ(picture.height(), TPagesTab::kFit);
    EXPECT_EQ(picture.width(), TPagesTab::kFit / 2);
    EXPECT_EQ(picture.pixel(picture.width() / 2, picture.height() / 2) & 0xFFFFFF, 0x336699U);
    EXPECT_EQ(HasEngineMapped(), false) << "the window drew with the engine itself";

    tab->List()->scrollToBottom();
    WaitForPictures(tab);
    const std::vector<int> last = tab->DrawnPages();
    EXPECT_EQ(last.back(), 300);
    EXPECT_LE(last.size(), static_cast<std::size_t>(TPagesTab::kCached));
}

TEST_F(PagesTabTest, AProtectedDocumentIsDrawnWithItsPassword) {
    Select(Pdf("locked.pdf", 2, "pw"), {"pw"});
    auto* tab = Control<TPagesTab>("TabPages");
    Control<QTabWidget>("PageControl1")->setCurrentWidget(tab);
    WaitForPictures(tab);
    EXPECT_EQ(tab->DrawnPages(), (std::vector<int>{1, 2}));
    EXPECT_FALSE(Control<QLabel>("PageThumbnailsNote")->isVisible());
}

// On the fake engine (app_tests_fake_engine): a page that crashes its worker costs its picture.
TEST_F(PagesTabTest, FakeEngineCrashCostsOnePicture) {
    TPagesTab* tab = Open(FakePdf({"pages 5", "crash-on 2"}));
    EXPECT_EQ(tab->DrawnPages(), (std::vector<int>{1, 3, 4, 5}));
    EXPECT_THAT(tab->List()->item(1)->toolTip().toStdString(),
                ::testing::StartsWith("Page 2: The PDF engine stopped while drawing page 2 ("));
    EXPECT_FALSE(Control<QLabel>("PageThumbnailsNote")->isVisible());
}

TEST_F(PagesTabTest, ClicksWriteTheSelectionAndTypingMarksThePages) {
    TPagesTab* tab = Open(12);
    for (const int page : {1, 2, 3, 4, 6, 9, 10}) {
        ClickPage(tab, page);
    }
    EXPECT_EQ(Text("convert_method2_input1"), "1-4,6,9-10");
    EXPECT_TRUE(Checked("r_convert_method2"));
    ClickPage(tab, 3); // a second click takes the page out
    EXPECT_EQ(Text("convert_method2_input1"), "1-2,4,6,9-10");

    const struct {
        const char* Typed;
        std::vector<int> Selected;
        std::vector<int> Reversed;
    } rows[] = {
        {"2-3,8-6,x,11-40", {2, 3, 11, 12}, {6, 7, 8}},
        {"5,5,0,1", {1, 5}, {}},
        {"", {}, {}},
    };
    for (const auto& row : rows) {
        Control<QLineEdit>("convert_method2_input1")->setText(row.Typed);
        EXPECT_EQ(tab->SelectedPages(), row.Selected) << row.Typed;
        EXPECT_EQ(tab->ReversedPages(), row.Reversed) << row.Typed;
        EXPECT_EQ(Text("convert_method2_input1"), row.Typed) << "nothing typed is refused";
    }
}

} // namespace
} // namespace folioxa
