// Errors of carovel-mix. Each carries the one-line message shown to the user.
#ifndef CAROVEL_MIX_TOOL_ERROR_H
#define CAROVEL_MIX_TOOL_ERROR_H

#include <stdexcept>
#include <string>

namespace carovel_mix {

// A failure while mixing: missing or unreadable input, a format the mixer
// cannot take, a write failure. Exit status 1.
class ToolError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A malformed command line. Exit status 2.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The user interrupted the run with a signal (SIGINT, SIGTERM, SIGHUP).
// Exit status 128 + the signal's number: 130 for SIGINT, 143 for SIGTERM.
class Interrupted : public std::runtime_error {
  public:
    explicit Interrupted(int signal) : std::runtime_error("interrupted"), m_signal(signal) {}
    int Signal() const { return m_signal; }
    int ExitStatus() const { return 128 + m_signal; }

  private:
    int m_signal;
};

// "FILE: cause", the form of every message about a file.
inline std::string FileMessage(const std::string& path, const std::string& cause) {
    return "'" + path + "': " + cause;
}

}  // namespace carovel_mix

#endif  // CAROVEL_MIX_TOOL_ERROR_H
