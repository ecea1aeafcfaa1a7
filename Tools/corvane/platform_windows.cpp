#include "platform.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <io.h>

namespace corvane::tool {

Module loadModule(const std::string& nameOrPath, std::string* error) {
    HMODULE module = LoadLibraryA(nameOrPath.c_str());
    if (module == nullptr && error != nullptr) {
        *error = "LoadLibrary failed with error " + std::to_string(GetLastError());
    }
    return reinterpret_cast<Module>(module);
}

void* findSymbol(Module module, const char* name) {
    return module == nullptr ? nullptr : reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

std::string modulePath(Module module) {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(static_cast<HMODULE>(module), path, sizeof path);
    return length == 0 ? std::string() : std::string(path, length);
}

std::string programFolder() {
    std::string path = modulePath(nullptr);
    return path.substr(0, path.find_last_of("\\/") + 1);
}

bool isTerminal(int fd) { return _isatty(fd) != 0; }

void setEnvironment(const char* name, const char* value) {
    SetEnvironmentVariableA(name, value);
    _putenv_s(name, value);
}

StdoutCapture::StdoutCapture() {
    std::fflush(stdout);
    FILE* file = std::tmpfile();
    if (file == nullptr) {
        return;
    }
    saved_ = _dup(1);
    _dup2(_fileno(file), 1);
    file_ = file;
}

StdoutCapture::~StdoutCapture() {
    if (file_ == nullptr) {
        return;
    }
    std::fflush(stdout);
    _dup2(saved_, 1);
    _close(saved_);
    std::fclose(static_cast<FILE*>(file_));
}

} // namespace corvane::tool
