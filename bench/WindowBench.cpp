// The window converting documents as a user's Convert does, offscreen: every document selected,
// the type and resolution chosen, Convert pressed, the run waited for. Reports the wall time of
// the runs and the longest the window's event loop went without turning (a 5 ms timer that notes
// the largest gap between its firings while a run is going; a zero-interval one would keep a
// core busy by itself and slow the workers it measures).
// With --serial, each document is converted instead as the window did before its pages went to
// worker processes: the serial run in this process, on the user-interface thread.
//   window_bench [--serial] [-r DPI] [-t JPG|PNG|BMP] -o FOLDER FILE.pdf...
//   prints "seconds gap-ms failed"
#include "app/Dialogs.h"
#include "app/Main.h"
#include "conversion/ConversionJob.h"
#include "conversion/OutputFileNaming.h"
#include "pdf/PDFium.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

namespace {

using namespace folioxa;

// Answers the window's dialogs as the benchmark's user would.
class BenchDialogs : public Dialogs {
public:
    std::deque<std::string> Files;
    std::string Folder;
    int Failures = 0;
    bool Completed = false;

    std::optional<std::string> OpenPdfFile() override {
        if (Files.empty()) {
            return std::nullopt;
        }
        std::string file = Files.front();
        Files.pop_front();
        return file;
    }
    std::string InputPassword(const std::string&, const std::string&,
                              const std::string& defaultText) override {
        return defaultText;
    }
    std::optional<std::string> BrowseFolder(const std::string&) override { return Folder; }
    void ShowNotice(const std::string& text) override {
        Completed = Completed || text == "Conversion complete!";
    }
    void ShowError(const std::string& text) override {
        std::fprintf(stderr, "window_bench: %s\n", text.c_str());
        ++Failures;
    }
    void ShellOpen(const std::string&, const std::string&) override {}
};

} // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", /*overwrite=*/0);
    std::string dpi = "300", type = "JPG";
    BenchDialogs dialogs;
    std::vector<std::string> documents;
    bool serial = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--serial") {
            serial = true;
        } else if ((arg == "-r" || arg == "-t" || arg == "-o") && i + 1 < argc) {
            (arg == "-r" ? dpi : arg == "-t" ? type : dialogs.Folder) = argv[++i];
        } else {
            documents.push_back(arg);
        }
    }
    for (char& c : type) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    QApplication application(argc, argv);
    TFormTest window(&dialogs);
    window.show();
    window.findChild<QPushButton*>("cmd_split_dest")->click();

    // The probe: a timer due every 5 ms fires late by as long as the event loop stood still.
    bool running = false;
    qint64 longestGap = 0;
    QElapsedTimer sinceLast;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    probe.setInterval(5);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        if (running) {
            longestGap = std::max(longestGap, sinceLast.elapsed());
        }
        sinceLast.restart();
    });
    probe.start();

    double seconds = 0;
    int failed = 0;
    for (const std::string& document : documents) {
        dialogs.Files = {document};
        window.findChild<QPushButton*>("select_input_button")->click();
        if (window.findChild<QLineEdit*>("input_filename")->text().toStdString() != document) {
            std::fprintf(stderr, "window_bench: %s could not be selected\n", document.c_str());
            ++failed;
            continue;
        }
        window.findChild<QComboBox*>("dropdown_image_type")->setCurrentText(type.c_str());
        window.findChild<QComboBox*>("dropdown_image_resolution")->setCurrentText(dpi.c_str());
        dialogs.Completed = false;
        const int failures = dialogs.Failures;
        const auto start = std::chrono::steady_clock::now();
        running = true;
        sinceLast.restart();
        // Pressed from the event loop, as a click is; the run may return to the loop at once.
        QTimer::singleShot(0, &window, [&] {
            if (!serial) {
                window.findChild<QPushButton*>("export_button")->click();
                return;
            }
            ConversionSettings settings;
            settings.InputFileName = document;
            settings.ImageType = type;
            settings.Resolution = std::stoi(dpi);
            settings.BaseFileName = DefaultBaseFileName(document);
            settings.DestinationFolder = dialogs.Folder + "/";
            TPdf pdf("Pdf");
            try {
                RunConversion(settings, pdf, window);
            } catch (const std::exception& e) {
                dialogs.ShowError(e.what());
            }
        });
        while (!dialogs.Completed && dialogs.Failures == failures) {
            QApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        // The stretch since the probe last fired counts too: a run that held the loop to its end
        // leaves the probe no turn to note it.
        longestGap = std::max(longestGap, sinceLast.elapsed());
        running = false;
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        failed += dialogs.Failures > failures ? 1 : 0;
    }
    std::printf("%.3f %lld %d\n", seconds, static_cast<long long>(longestGap), failed);
    return failed == 0 ? 0 : 1;
}
