#include "conversion/PasswordRetry.h"

#include "base/Error.h"

namespace folioxa {

OpenedDocument OpenAskingOnce(const OpenAttempt& open, const std::string& password,
                              const PasswordQuestion& ask) {
    OpenedDocument opened;
    std::optional<std::string> answer;
    try {
        opened.PageCount = open(password);
        opened.Password = password;
        return opened;
    } catch (const std::exception& e) {
        // One question and one more try: a second refusal is final.
        if (KindOf(e) != ErrorKind::Password || !ask || !(answer = ask(e))) {
            throw;
        }
    }
    opened.Asked = true;
    opened.PageCount = open(*answer);
    opened.Password = *answer;
    return opened;
}

} // namespace folioxa
