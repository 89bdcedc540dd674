// The program run as a real process, with its exit code and both console streams captured.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace elq::test {

struct Outcome {
    bool exited = false;
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs elq with `args` in the directory `cwd`, standard input from `stdinPath` (default
// /dev/null). Standard output goes to a file, or to `stdoutFd` when one is given (its output
// is then not captured); both console files live outside `cwd`. `childSetup`, when given, runs in
// the child right before the program starts (limits, signal dispositions, credentials); the
// console streams are already in place. `whileRunning`, when given, gets the running program's
// process id before it is waited for.
inline Outcome runElq(const std::vector<std::string>& args, const TempDir& cwd, int stdoutFd = -1,
                      const std::string& stdinPath = "/dev/null",
                      const std::function<void()>& childSetup = {},
                      const std::function<void(pid_t)>& whileRunning = {}) {
    const TempDir console;
    std::string outName = console.path("stdout"), errName = console.path("stderr");
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(ELQ_BINARY));
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        int in = open(stdinPath.c_str(), O_RDONLY);
        int out = stdoutFd >= 0 ? stdoutFd : open(outName.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(errName.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0 || chdir(cwd.path("").c_str()) != 0) _exit(127);
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        signal(SIGPIPE, SIG_DFL);  // as a shell starts it; an ignored signal would be inherited
        if (childSetup) childSetup();
        execv(ELQ_BINARY, argv.data());
        _exit(127);
    }
    Outcome run;
    int status = 0;
    if (pid > 0 && whileRunning) whileRunning(pid);
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return run;
    run.exited = WIFEXITED(status);
    run.exitCode = run.exited ? WEXITSTATUS(status) : -WTERMSIG(status);
    run.out = readWholeFile(outName);
    run.err = readWholeFile(errName);
    return run;
}

// `text` split at spaces, for arguments written as one line.
inline std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> result;
    for (size_t at = 0; at < text.size();) {
        size_t end = std::min(text.find(' ', at), text.size());
        if (end > at) result.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return result;
}

// Equality of file contents without printing megabytes when they differ.
inline testing::AssertionResult sameBytes(const std::string& actual, const std::string& expected) {
    if (actual == expected) return testing::AssertionSuccess();
    size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at])
        ++at;
    return testing::AssertionFailure()
           << actual.size() << " bytes instead of " << expected.size() << ", first difference at byte " << at;
}

}  // namespace elq::test
