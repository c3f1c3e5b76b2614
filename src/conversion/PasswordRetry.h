#pragma once

#include <exception>
#include <functional>
#include <optional>
#include <string>

namespace folioxa {

// One attempt to open the document with `password`: its page count. Throws the opening's Error.
using OpenAttempt = std::function<int(const std::string& password)>;
// Asked once, when the document refused its password: the refusal; the password to try next, or
// nothing to give up.
using PasswordQuestion = std::function<std::optional<std::string>(const std::exception& refusal)>;

struct OpenedDocument {
    int PageCount = 0;
    std::string Password; // the one that opened it
    bool Asked = false;   // the question was answered with a password
};

// The window's and the command line's one way to open a document: with `password`, then, when
// the document refuses it (ErrorKind::Password) and there is a question, once more with its
// answer. Throws the last failure: the refusal itself when the question gave nothing.
OpenedDocument OpenAskingOnce(const OpenAttempt& open, const std::string& password,
                              const PasswordQuestion& ask);

} // namespace folioxa
