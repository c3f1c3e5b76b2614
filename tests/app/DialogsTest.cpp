#include "app/Dialogs.h"

#include "app/ErrorDisplay.h"
#include "app/ScriptedDialogs.h"
#include "base/Error.h"
#include "support/TestFiles.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>

#include <functional>

namespace folioxa {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Hands the next modal dialog to `answer` from inside that dialog's own event loop.
void WhenModal(std::function<void(QWidget*)> answer) {
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [timer, answer = std::move(answer)] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            timer->stop();
            timer->deleteLater();
            answer(modal);
        }
    });
    timer->start(5);
}

TEST(QtDialogsTest, PasswordBoxMasksAndReturnsTheTextOnOkOnly) {
    const struct {
        const char* Name;
        QString Typed;
        bool Ok;
        std::string Expected;
    } rows[] = {
        {"blanks kept", "  a b  ", true, "  a b  "},
        {"cut at 255", QString(300, 'x'), true, std::string(255, 'x')},
        {"empty ok", "", true, ""},
        {"cancel gives the default", "typed", false, "default"},
    };
    QWidget owner;
    QtDialogs dialogs(&owner);
    for (const auto& row : rows) {
        WhenModal([&row](QWidget* modal) {
            auto* edit = modal->findChild<QLineEdit*>("PasswordEdit");
            ASSERT_NE(edit, nullptr);
            EXPECT_EQ(modal->windowTitle(), "Enter the password for this PDF file:");
            EXPECT_EQ(edit->echoMode(), QLineEdit::Password);
            // "Show" unmasks what was typed and masks it again.
            auto* show = modal->findChild<QCheckBox*>("PasswordShow");
            ASSERT_NE(show, nullptr);
            show->setChecked(true);
            EXPECT_EQ(edit->echoMode(), QLineEdit::Normal);
            show->setChecked(false);
            EXPECT_EQ(edit->echoMode(), QLineEdit::Password);
            EXPECT_EQ(edit->maxLength(), 255);
            EXPECT_EQ(edit->text(), "default");
            // The instruction shows inside the box too, whole, as plain text.
            for (const auto& [name, text] :
                 {std::pair{"PasswordInstruction", "Enter the password for this PDF file:"},
                  std::pair{"", "Password"}}) {
                auto* label = modal->findChild<QLabel*>(name);
                ASSERT_NE(label, nullptr) << name;
                EXPECT_EQ(label->text(), text);
                EXPECT_EQ(label->textFormat(), Qt::PlainText);
                if (label->wordWrap()) {
                    EXPECT_GE(label->height(), label->heightForWidth(label->width())) << text;
                } else {
                    EXPECT_LE(label->sizeHint().width(), label->width()) << text;
                }
            }
            edit->setText(row.Typed);
            auto* box = qobject_cast<QDialog*>(modal);
            row.Ok ? box->accept() : box->reject();
        });
        EXPECT_EQ(
            dialogs.InputPassword("Enter the password for this PDF file:", "Password", "default"),
            row.Expected)
            << row.Name;
    }
}

TEST(QtDialogsTest, MessagesCarryTheApplicationTitleAndTheirIcon) {
    QGuiApplication::setApplicationDisplayName("Folioxa");
    QWidget owner;
    QtDialogs dialogs(&owner);
    const struct {
        std::function<void()> Show;
        QMessageBox::Icon Icon;
        const char* Text;
    } rows[] = {
        {[&] { dialogs.ShowNotice("Conversion complete!"); }, QMessageBox::NoIcon,
         "Conversion complete!"},
        {[&] { dialogs.ShowError("Cannot open page 7."); }, QMessageBox::Critical,
         "Cannot open page 7."},
    };
    for (const auto& row : rows) {
        QMessageBox::Icon icon = QMessageBox::Question;
        QString title;
        QString text;
        WhenModal([&](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            ASSERT_NE(box, nullptr);
            icon = box->icon();
            title = box->windowTitle();
            text = box->text();
            EXPECT_EQ(box->buttons().size(), 1);
            box->accept();
        });
        row.Show();
        EXPECT_EQ(icon, row.Icon) << row.Text;
        EXPECT_EQ(title, "Folioxa") << row.Text;
        EXPECT_EQ(text, row.Text);
    }
}

// Texts from outside (a folder's name, a failure's text) are shown as they are: their markup is
// never read, so nothing it names is loaded, and a very long one is cut in its middle.
TEST(QtDialogsTest, OutsideTextsAreShownAsPlainText) {
    testing::TempDir dir;
    const std::string picture = dir.File("picture.png");
    testing::WriteFile(picture, "an image file");
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(inotify_add_watch(watch, picture.c_str(), IN_OPEN), 0);
    const std::string reason = "\". No such file or directory";
    const std::string tooLong = "Cannot create file \"/" + std::string(3000, 'x') + reason;
    const struct {
        std::string Text, Shown;
    } rows[] = {
        {"Cannot create file \"/home/u/<b>drafts</b>/x_1.jpg" + reason, ""},
        {"<h2 style=\"color:red\">Licence expired</h2><a href=\"https://example.org\">renew</a>",
         ""},
        {"<img src=\"" + picture + "\">", ""},
        {tooLong, tooLong.substr(0, 666) + "\u2026" + tooLong.substr(tooLong.size() - 333)},
    };
    QWidget owner;
    QtDialogs dialogs(&owner);
    for (const auto& row : rows) {
        for (const bool error : {false, true}) {
            WhenModal([&](QWidget* modal) {
                auto* box = qobject_cast<QMessageBox*>(modal);
                ASSERT_NE(box, nullptr);
                EXPECT_EQ(box->textFormat(), Qt::PlainText);
                EXPECT_EQ(box->text().toStdString(), row.Shown.empty() ? row.Text : row.Shown);
                (void)box->grab(); // laid out and drawn, as a user sees it
                box->accept();
            });
            error ? dialogs.ShowError(row.Text) : dialogs.ShowNotice(row.Text);
        }
    }
    char events[4096];
    EXPECT_LT(::read(watch, events, sizeof events), 0) << "a file named in a text was opened";
    ::close(watch);
}

TEST(ErrorDisplayTest, EveryFailureEndsInOneErrorBoxWithThePeriodRule) {
    const struct {
        const char* Name;
        std::function<void()> Handler;
        std::vector<std::string> Calls;
    } rows[] = {
        {"value",
         [] { throw Error("'x' is not a valid integer value"); },
         {"error 'x' is not a valid integer value."}},
        {"exclamation",
         [] { throw Error("Choose a PDF file to convert to images!"); },
         {"error Choose a PDF file to convert to images!"}},
        {"parenthesis",
         [] { throw Error("List index out of bounds (0)"); },
         {"error List index out of bounds (0)"}},
        {"full stop", [] { throw Error("Done."); }, {"error Done."}},
        {"other exception", [] { throw std::out_of_range("index"); }, {"error index."}},
        {"not an exception", [] { throw 42; }, {"error Unexpected failure."}},
        {"no failure", [] {}, {}},
    };
    for (const auto& row : rows) {
        testing::ScriptedDialogs dialogs;
        RunHandler(dialogs, row.Handler);
        EXPECT_EQ(dialogs.Calls, row.Calls) << row.Name;
    }
}

} // namespace
} // namespace folioxa
