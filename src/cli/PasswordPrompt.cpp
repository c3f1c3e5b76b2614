#include "cli/PasswordPrompt.h"

#include "base/Printable.h"
#include "cli/TextView.h"

namespace folioxa {

std::string ReadStdinPassword(ToolEnvironment& env) {
    std::string password;
    if (env.InIsTerminal && env.AskPassword) {
        // Typed, not piped: never show it on the screen.
        password = env.AskPassword("Password: ").value_or("");
    } else if (!std::getline(env.In, password)) {
        password.clear();
    }
    if (!password.empty() && password.back() == '\r') {
        password.pop_back();
    }
    return password;
}

PasswordQuestion DocumentPasswordQuestion(ToolEnvironment& env, bool passwordFromStdin,
                                          const std::string& name, bool& prompted) {
    if (passwordFromStdin || !env.AskPassword) {
        return {};
    }
    // As when the window selects a protected file.
    return [&env, name, &prompted](const std::exception&) {
        std::optional<std::string> answer =
            env.AskPassword("Password for " + Printable(TConsole::Label(name)) + ": ");
        prompted = answer.has_value();
        return answer;
    };
}

} // namespace folioxa
