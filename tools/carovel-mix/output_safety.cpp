#include "output_safety.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "tool_error.h"

namespace carovel_mix {
namespace {

struct FileId {
    dev_t device;
    ino_t inode;
    bool operator==(const FileId& o) const { return device == o.device && inode == o.inode; }
};

// The identity of what path names (through symbolic links), or of standard
// input or output for "-"; nothing when it does not exist.
std::optional<FileId> IdOf(const std::string& path, int stdioFd, struct stat* out = nullptr) {
    struct stat st {};
    const int result = path == kStdioPath ? fstat(stdioFd, &st) : stat(path.c_str(), &st);
    if (result != 0) {
        return std::nullopt;
    }
    if (out != nullptr) {
        *out = st;
    }
    return FileId{st.st_dev, st.st_ino};
}

// What a path that does not exist yet would name: its directory's identity
// and its last component, so that "new.wav" and "./new.wav" are the same.
struct NewFileId {
    FileId directory;
    std::string name;
    bool operator==(const NewFileId& o) const { return directory == o.directory && name == o.name; }
};

std::optional<NewFileId> NewIdOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::optional<FileId> id = IdOf(dir, -1);
    if (!id || name.empty() || name == "." || name == "..") {
        return std::nullopt;
    }
    return NewFileId{*id, name};
}

std::string InputName(const std::vector<std::string>& inputs, std::size_t i) {
    const std::string what = i == 0 ? "the master" : "source " + std::to_string(i);
    return what + " (" + (inputs[i] == kStdioPath ? "standard input" : "'" + inputs[i] + "'") + ")";
}

}  // namespace

void CheckOutputsAreSafe(const Options& options) {
    std::vector<std::optional<FileId>> inputs;
    for (const auto& input : options.inputs) {
        inputs.push_back(IdOf(input, STDIN_FILENO));
    }
    std::vector<std::pair<std::string, FileId>> seen;
    std::vector<std::pair<std::string, NewFileId>> seenNew;
    for (const auto& output : options.Outputs()) {
        struct stat st {};
        const std::optional<FileId> id = IdOf(output, STDOUT_FILENO, &st);
        if (!id) {
            // A new file: two names for it are two outputs in one file.
            const std::optional<NewFileId> newId = NewIdOf(output);
            if (!newId) {
                continue;
            }
            for (const auto& other : seenNew) {
                if (other.second == *newId) {
                    throw ToolError(
                        FileMessage(output, "is the same file as the output '" + other.first +
                                                "'; each output needs a file of its own"));
                }
            }
            seenNew.emplace_back(output, *newId);
            continue;
        }
        const bool isStdout = output == kStdioPath;
        const std::string name = isStdout ? "standard output" : output;
        if (isStdout && isatty(STDOUT_FILENO) == 1) {
            throw ToolError(FileMessage(name, "is a terminal; redirect it to a file or a pipe"));
        }
        // Standard output on a pipe or a terminal cannot be an input file.
        if (isStdout && !S_ISREG(st.st_mode)) {
            continue;
        }
        for (std::size_t i = 0; i < inputs.size(); ++i) {
            if (inputs[i] && *inputs[i] == *id && S_ISREG(st.st_mode)) {
                throw ToolError(FileMessage(name, "is the same file as " +
                                                      InputName(options.inputs, i) +
                                                      "; refusing to write over an input"));
            }
        }
        for (const auto& other : seen) {
            if (other.second == *id && S_ISREG(st.st_mode)) {
                throw ToolError(
                    FileMessage(name, "is the same file as the output '" + other.first + "'"));
            }
        }
        seen.emplace_back(name, *id);
        if (isStdout) {
            continue;  // already opened for us by the shell
        }
        if (S_ISDIR(st.st_mode)) {
            throw ToolError(FileMessage(name, "is a directory"));
        }
        if (S_ISREG(st.st_mode)) {
            if (access(output.c_str(), W_OK) != 0) {
                throw ToolError(
                    FileMessage(name, std::string("cannot be replaced: ") + std::strerror(errno)));
            }
            // Even where access() lets the superuser through.
            if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
                throw ToolError(FileMessage(name, "is read-only; refusing to replace it"));
            }
        }
    }
}

}  // namespace carovel_mix
