#include "app/Dialogs.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QUrl>
#include <QVBoxLayout>

namespace folioxa {

namespace {

QString Text(const std::string& text) {
    return QString::fromStdString(text);
}

// What a box shows of `text`, always as plain text (a folder named "<img src=/dev/zero>" is a
// name, and read as markup it would make the window load what it names): at most
// kMaxShownCharacters, cut in the middle so that both the start (what failed) and the end (the
// system's reason) stay, never inside a character's surrogate pair.
QString ShownText(const std::string& text) {
    QString shown = Text(text);
    if (shown.size() <= kMaxShownCharacters) {
        return shown;
    }
    const qsizetype tail = kMaxShownCharacters / 3;
    QString head = shown.left(kMaxShownCharacters - 1 - tail);
    QString end = shown.right(tail);
    if (head.back().isHighSurrogate()) {
        head.chop(1);
    }
    if (end.front().isLowSurrogate()) {
        end.remove(0, 1);
    }
    return head + QChar(0x2026) + end;
}

std::string Path(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

void ShowMessage(QWidget* owner, QMessageBox::Icon icon, const std::string& text) {
    QMessageBox box(icon, QGuiApplication::applicationDisplayName(), QString(), QMessageBox::Ok,
                    owner);
    box.setObjectName(icon == QMessageBox::Critical ? "ErrorDisplay" : "Notice");
    box.setTextFormat(Qt::PlainText);
    box.setText(ShownText(text));
    box.exec();
}

} // namespace

QtDialogs::QtDialogs(QWidget* owner) : FOwner(owner), FOpenDialogPDF(new QFileDialog(owner)) {
    FOpenDialogPDF->setObjectName("OpenDialogPDF");
    FOpenDialogPDF->setNameFilter("PDF file (*.pdf)");
    FOpenDialogPDF->setAcceptMode(QFileDialog::AcceptOpen);
    // The file need not exist: opening it is what tells the user whether it can be used.
    FOpenDialogPDF->setFileMode(QFileDialog::AnyFile);
    FOpenDialogPDF->setWindowTitle(QString());
}

// The file dialog is a child of the owner, which deletes it.
QtDialogs::~QtDialogs() = default;

std::optional<std::string> QtDialogs::OpenPdfFile() {
    if (FOpenDialogPDF->exec() != QDialog::Accepted) {
        return std::nullopt;
    }
    const QStringList files = FOpenDialogPDF->selectedFiles();
    if (files.isEmpty()) {
        return std::nullopt;
    }
    return Path(files.front());
}

std::string QtDialogs::InputPassword(const std::string& title, const std::string& prompt,
                                     const std::string& defaultText) {
    QDialog box(FOwner);
    box.setObjectName("PasswordBox");
    box.setWindowTitle(ShownText(title));
    auto* label = new QLabel(&box);
    label->setTextFormat(Qt::PlainText);
    label->setText(ShownText(prompt));
    auto* edit = new QLineEdit(Text(defaultText), &box);
    edit->setObjectName("PasswordEdit");
    edit->setEchoMode(QLineEdit::Password);
    edit->setMaxLength(kPasswordMaxLength);
    edit->setMinimumWidth(240);
    label->setBuddy(edit);
    // Masked unless asked: with one retry, a user must be able to check a typo.
    auto* show = new QCheckBox("Show", &box);
    show->setObjectName("PasswordShow");
    QObject::connect(show, &QCheckBox::toggled, edit, [edit](bool on) {
        edit->setEchoMode(on ? QLineEdit::Normal : QLineEdit::Password);
    });
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &box);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &box, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &box, &QDialog::reject);
    auto* row = new QHBoxLayout;
    row->addWidget(label);
    row->addWidget(edit);
    row->addWidget(show);
    // The title says what is asked, but a window manager may cut it: it is said inside too.
    auto* instruction = new QLabel(&box);
    instruction->setObjectName("PasswordInstruction");
    instruction->setTextFormat(Qt::PlainText);
    instruction->setWordWrap(true);
    instruction->setText(ShownText(title));
    auto* layout = new QVBoxLayout(&box);
    layout->addWidget(instruction);
    layout->addLayout(row);
    layout->addWidget(buttons);
    if (box.exec() != QDialog::Accepted) {
        return defaultText;
    }
    return edit->text().toStdString();
}

std::optional<std::string> QtDialogs::BrowseFolder(const std::string& startFolder) {
    const QString folder = QFileDialog::getExistingDirectory(
        FOwner, QString(), QFile::decodeName(startFolder.c_str()), QFileDialog::ShowDirsOnly);
    if (folder.isEmpty()) {
        return std::nullopt;
    }
    return Path(folder);
}

void QtDialogs::ShowNotice(const std::string& text) {
    ShowMessage(FOwner, QMessageBox::NoIcon, text);
}

void QtDialogs::ShowError(const std::string& text) {
    ShowMessage(FOwner, QMessageBox::Critical, text);
}

void QtDialogs::ShellOpen(const std::string& target, const std::string& /*parameters*/) {
    // The desktop takes no parameters with a URL; an empty text is all the window passes.
    QDesktopServices::openUrl(QUrl(Text(target)));
}

} // namespace folioxa
