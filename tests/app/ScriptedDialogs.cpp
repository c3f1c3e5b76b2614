#include "app/ScriptedDialogs.h"

#include "app/Main.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

namespace folioxa::testing {

void WaitForRun(const TFormTest& window) {
    QElapsedTimer waited;
    waited.start();
    while (window.Running() && waited.elapsed() < 60000) {
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
}

namespace {

template <typename T>
T Next(std::deque<T>& answers, const std::string& call, T cancel) {
    if (answers.empty()) {
        ADD_FAILURE() << "no answer scripted for: " << call;
        return cancel;
    }
    T answer = std::move(answers.front());
    answers.pop_front();
    return answer;
}

} // namespace

std::optional<std::string> ScriptedDialogs::OpenPdfFile() {
    Calls.emplace_back("open");
    return Next(Files, Calls.back(), std::optional<std::string>());
}

std::string ScriptedDialogs::InputPassword(const std::string& title, const std::string& prompt,
                                           const std::string& defaultText) {
    Calls.push_back("password " + title + "|" + prompt + "|" + defaultText);
    return Next(Passwords, Calls.back(), defaultText);
}

std::optional<std::string> ScriptedDialogs::BrowseFolder(const std::string& startFolder) {
    Calls.push_back("browse " + startFolder);
    return Next(Folders, Calls.back(), std::optional<std::string>());
}

void ScriptedDialogs::ShowNotice(const std::string& text) {
    Calls.push_back("notice " + text);
    if (OnMessage) {
        OnMessage(text);
    }
}

void ScriptedDialogs::ShowError(const std::string& text) {
    Calls.push_back("error " + text);
    if (OnMessage) {
        OnMessage(text);
    }
}

void ScriptedDialogs::ShellOpen(const std::string& target, const std::string& parameters) {
    Calls.push_back("shell " + target + "|" + parameters);
}

} // namespace folioxa::testing
