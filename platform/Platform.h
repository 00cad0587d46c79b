// The few operating-system services the compiler needs, behind one small
// interface: console colours and title, a steady clock, the executable's own
// folder, the file version, process exit, files, page blocks and dynamic
// libraries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace vorak::platform {

// Console text attributes as the compiler names them (7 normal, 12 red, ...).
// Colour escapes are written only when standard output is a terminal.
bool stdoutIsTerminal();
void setConsoleColour(uint16_t attribute);
void resetConsoleColour();
void setConsoleTitle(const std::string& title);

// Steady clock: counts and counts per second.
int64_t performanceCounter();
int64_t performanceFrequency();
uint32_t tickCountMs();

// Full path of the running executable, and its folder with a trailing '/'.
std::string executablePath();
std::string executableFolder();

// The file version of the compiler, "a.b.c.d", fixed at build time.
std::string fileVersion();

// Sets the process up for the run, before anything else: a write past a
// file-size limit fails with EFBIG, to be reported like any failed write,
// instead of the signal ending the process silently; SIGHUP, SIGINT, SIGQUIT
// and SIGTERM (unless ignored from the start) first remove the temporary
// files of replaceFile that exist at that moment, then end the process by
// the signal's default action.
void startUp();

// Flushes standard output and ends the process at once with the given code.
[[noreturn]] void exitProcess(int code);

// Writes data as the whole new content of the file path: into a temporary
// file in the same folder, renamed over path once complete, so a failure
// leaves whatever path held before whole and no partial file behind. False
// with the reason in *error when the file cannot be created or written;
// *writeFailed tells the second case from the first.
bool replaceFile(const std::string& path, std::string_view data, std::string* error, bool* writeFailed);

// Opens path for appending, creating it when missing, without waiting for
// a reader when it is a pipe: a pipe that nobody reads fails at once (ENXIO).
// Null, with errno set, when it cannot be opened.
std::FILE* openForAppending(const std::string& path);

// True when both paths name one existing file (through links as well).
bool sameFile(const std::string& a, const std::string& b);
// True when both paths name one file, whether it exists or not: the same
// path once made absolute and resolved through the links that exist, or one
// existing file under two names (a hard link).
bool namesOneFile(const std::string& a, const std::string& b);

// Blocks of whole pages for a buffer that may grow very large: fresh pages
// read as zero and take no memory until written, and growing a block moves
// its pages instead of copying them (so the content is never held twice).
// growPages makes a block (from nullptr) or grows one of oldBytes to at
// least newBytes, keeping its content; nullptr when the system refuses, the
// old block then unchanged.
void* growPages(void* block, size_t oldBytes, size_t newBytes);
void freePages(void* block, size_t bytes);

// Dynamic libraries. Errors are reported as text; nothing throws. A path
// that does not lead to a regular file (a folder, a pipe, a device, a broken
// link) is refused without being opened.
void* loadLibrary(const std::string& path, std::string* error);
void* findSymbol(void* library, const char* name);

}  // namespace vorak::platform
