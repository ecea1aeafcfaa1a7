#include "platform.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

namespace corvane::tool {

Module loadModule(const std::string& nameOrPath, std::string* error) {
    // Global: the library's own dlopen of the driver's plain name then finds this very module.
    Module module = dlopen(nameOrPath.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (module == nullptr && error != nullptr) {
        const char* reason = dlerror();
        *error = reason != nullptr ? reason : "cannot be loaded";
    }
    return module;
}

void* findSymbol(Module module, const char* name) { return module == nullptr ? nullptr : dlsym(module, name); }

std::string modulePath(Module module) {
    link_map* map = nullptr;
    if (module == nullptr || dlinfo(module, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) {
        return {};
    }
    char resolved[PATH_MAX];
    return realpath(map->l_name, resolved) != nullptr ? resolved : map->l_name;
}

std::string programFolder() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) {
        return "./";
    }
    std::string folder(path, static_cast<std::size_t>(length));
    return folder.substr(0, folder.rfind('/') + 1);
}

bool isTerminal(int fd) { return isatty(fd) != 0; }

void setEnvironment(const char* name, const char* value) { setenv(name, value, 1); }

StdoutCapture::StdoutCapture() {
    std::fflush(stdout);
    FILE* file = std::tmpfile();
    if (file == nullptr) {
        return;
    }
    saved_ = dup(1);
    dup2(fileno(file), 1);
    file_ = file;
}

StdoutCapture::~StdoutCapture() {
    if (file_ == nullptr) {
        return;
    }
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    std::fclose(static_cast<FILE*>(file_));
}

} // namespace corvane::tool
