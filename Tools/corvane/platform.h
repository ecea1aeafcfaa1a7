// What the tool needs of the operating system, beside the library: loading a module by name or
// path, the file a loaded module came from, whether an output is a terminal, setting an
// environment variable, and catching the text the library prints on standard output.
#pragma once

#include <string>

namespace corvane::tool {

// A loaded module (shared library or DLL); null when loading failed.
using Module = void*;
Module loadModule(const std::string& nameOrPath, std::string* error = nullptr);
void* findSymbol(Module module, const char* name);
// The file the module was loaded from, as the system's loader found it.
std::string modulePath(Module module);
// The folder of the running program, ending in a separator.
std::string programFolder();

bool isTerminal(int fd); // 1 standard output, 2 standard error
void setEnvironment(const char* name, const char* value);
// Sleeps the calling thread (the tool's own polling loops).
void sleepMs(unsigned ms);
// Milliseconds since some fixed point, for rates and time-outs.
double nowSeconds();

// While it lives, what anybody in the process writes to standard output (the library's console
// lines included) goes into a temporary file instead; text() flushes and returns it so far.
class StdoutCapture {
  public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;
    std::string text();

  private:
    int saved_ = -1;
    void* file_ = nullptr;
};

// Stops the tool's waiting loops on an interrupt (Ctrl-C).
void catchInterrupt();
bool interrupted();

} // namespace corvane::tool
