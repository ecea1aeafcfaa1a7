// Helpers shared by the test suites: bounded waits on conditions (never fixed sleeps) and a
// private working directory for tests that read Corvane.log.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#if defined(_WIN32)
#include <direct.h>
#include <io.h>
#else
#include <unistd.h>
#endif

namespace testing_support {

// Polls `condition` until it holds or `limit` has passed; returns whether it held. The limit is
// generous: the machine is shared and every open library runs two busy threads.
template <typename Condition>
bool waitUntil(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// For waits on an amount of work (a board drained, so many callbacks delivered): polls
// `condition` for as long as `progress()` keeps changing, and gives up only when it has not
// changed for `stall`. A loaded machine makes the work slow, never stuck; a fault that stops it
// still fails the wait. Returns whether the condition held.
template <typename Condition, typename Progress>
bool waitWhileMoving(Condition condition, Progress progress,
                     std::chrono::milliseconds stall = std::chrono::seconds(30)) {
    auto seen = progress();
    auto lastChange = std::chrono::steady_clock::now();
    while (!condition()) {
        const auto now = std::chrono::steady_clock::now();
        if (const auto current = progress(); current != seen) {
            seen = current;
            lastChange = now;
        } else if (now - lastChange > stall) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Moves the process into a fresh directory of its own, so Corvane.log of parallel tests never
// collide. Each test runs in its own process, so the change of directory is local to it.
inline std::string enterFreshDirectory() {
#if defined(_WIN32)
    char base[] = "corvane_test_XXXXXX";
    _mktemp_s(base, sizeof base);
    _mkdir(base);
    _chdir(base);
    return base;
#else
    char base[] = "/tmp/corvane_test_XXXXXX";
    char* made = mkdtemp(base);
    if (made != nullptr && chdir(made) != 0) {
        std::abort();
    }
    return made != nullptr ? made : "";
#endif
}

inline bool fileExists(const std::string& path) {
    std::ifstream file(path);
    return file.good();
}

// Reads a text file such as Corvane.log in text mode: on Windows the library writes its lines
// with "\r\n", as every text file there, and text mode reads them back as "\n".
inline std::string readFile(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

} // namespace testing_support
