// Binds the console library at run time, as a game host does: loads the module and looks up the
// seven QCServer entry points by their exported names (Itanium names on Linux; on Windows the
// MSVC-decorated names of a 32-bit or an x64 build, the width of the program that includes this).
// Also what every host needs around them: the port of each console, and the pending texts of a
// console in the order they arrived.
//
// A single header in C++11 (or any later version), for MSVC, MinGW, g++ and clang hosts. Include
// it wherever the loader is used. In exactly one source file of the program, define
// QUILLARET_CONSOLE_LOADER_IMPLEMENTATION before including it; the definitions are compiled
// there:
//
//     #define QUILLARET_CONSOLE_LOADER_IMPLEMENTATION
//     #include <quillaret_console/host_loader.h>
//
// The declarations include standard headers only. The definitions include the system's headers
// for dynamic loading: on Windows <windows.h> as WIN32_LEAN_AND_MEAN (without winsock.h, so the
// file may include <winsock2.h> after it) and NOMINMAX (without the min and max macros, which
// would break std::min and std::max); on Linux <dlfcn.h> and <unistd.h>. They call no C runtime
// function that MSVC deprecates. Nothing needs to be linked but the system's dynamic loading:
// kernel32 on Windows, libdl (${CMAKE_DL_LIBS}) on Linux. CMake hosts link the target
// quillaret_console::loader, which brings the include path and that library.
#ifndef QUILLARET_CONSOLE_HOST_LOADER_H
#define QUILLARET_CONSOLE_HOST_LOADER_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// The entry points are __cdecl static members; say so, so that a 32-bit host compiled with
// another default convention (MSVC's /Gz or /Gr) still calls them correctly. x64 and Linux have
// one convention.
#if defined(_WIN32) && !defined(_WIN64)
#define QC_LOADER_CDECL __cdecl
#else
#define QC_LOADER_CDECL
#endif

namespace qc {
namespace loader {

// The seven entry points, with the calling convention and signatures the library exports.
struct ConsoleApi {
  bool(QC_LOADER_CDECL* SpawnServer)(unsigned int goid, char* templateName);
  void(QC_LOADER_CDECL* BroadcastMsg)(unsigned int goid, char* text);
  bool(QC_LOADER_CDECL* CheckSysMsg)(const char* text);
  const char*(QC_LOADER_CDECL* GetNextMessage)(unsigned int goid);
  const char*(QC_LOADER_CDECL* CheckReportMsg)(char* text);
  const char*(QC_LOADER_CDECL* TestDLL)(unsigned int goid);
  bool(QC_LOADER_CDECL* GetFlagConfirm)(unsigned int goid);
};

constexpr int kEntryPointCount = 7;

// DrainConsole takes at most this many texts in one call: ten times the 100 that a console keeps
// pending, so that developers who never stop typing cannot hold the host in it for ever.
constexpr std::size_t kMaxDrainTexts = 1000;

// The library's file name on this platform ("libquillaret_console.so" or
// "quillaret_console.dll").
const char* DefaultLibraryName();

// The exported name of each entry point on this platform, in ConsoleApi's order.
const char* const* ExportedNames();

// The folder of the running program, ending in its separator ('/' or '\\'); "" when the system
// cannot tell.
std::string ProgramDirectory();

// The path of "quillaret_console.ini" as the library finds it when a console is spawned: in the
// current working directory on Linux, in the Windows directory on Windows (where the
// private-profile functions look a bare file name up). The file need not exist.
std::string ConsoleProfilePath();

// The port of the console spawned at spawnIndex (0 for the first console this process spawned,
// 1 for the next, and so on): BasePort of section [QCServer] of the profile file plus the index,
// in 16 bits, read now as the library reads it at each spawn (default BasePort 30000). Ask just
// after SpawnServer: an edit of the file between a spawn and this call is not seen by the
// console.
std::uint16_t ConsolePort(std::size_t spawnIndex);

// Loads the library at path and binds all seven entry points. A path with a folder is loaded
// from there; a bare name is searched the platform's way. The empty path "" loads
// DefaultLibraryName() from the folder of the running program, and when it is not there (or
// cannot be loaded from there) by the system's search.
// On success sets every pointer of api and returns true; the library then stays loaded for the
// life of the process. On failure returns false, leaves api as it was, and sets error to a
// message naming what is missing: the library (with the platform's reason, for each place
// tried) or the first entry point that is not exported (with the library's path); the library
// is then unloaded again.
bool LoadConsoleLibrary(const std::string& path, ConsoleApi& api, std::string& error);

// Takes every text pending on the console of goid and hands each to take, oldest first.
//
// GetNextMessage hands over the newest pending text first (the console keeps a last-in,
// first-out stack), and the text it returns is valid only until the next GetNextMessage or
// TestDLL for that GoID. This pops until the console has nothing pending (at most
// kMaxDrainTexts), copying each text at once, then calls take with the copies in the order they
// arrived, so lines typed or pasted in quick succession run in the order they were sent. Inside
// take any entry point may be called, TestDLL for the same GoID included. A text that arrives
// while this runs is taken too, but may come out before texts that arrived earlier and were
// still pending. take should not throw: the texts not yet handed to it would be lost.
// Returns the number of texts taken. Not to be called for one GoID from two threads at once,
// nor beside a GetNextMessage or TestDLL for that GoID on another thread.
std::size_t DrainConsole(const ConsoleApi& api, unsigned int goid,
                         const std::function<void(const std::string&)>& take);

namespace detail {

// Reads an integer key from the text of a profile file (length bytes) as the library reads it
// on Linux, with the rules of the Windows profile functions: section and key names matched
// case-insensitively and trimmed; ';' lines are comments; the first occurrence of a key wins;
// the value trimmed, one pair of quotes removed and cut to 63 characters; then blanks, an
// optional sign and "0x" hex or decimal digits, as far as they go, wrapping at 32 bits. A
// missing section or key, or a value with nothing but blanks, gives fallback. (ConsolePort
// reads the profile with it on Linux; on Windows with the system's own profile functions, as
// the library does there.)
int FindProfileInt(const char* text, std::size_t length, const char* section, const char* key,
                   int fallback);

}  // namespace detail

}  // namespace loader
}  // namespace qc

#endif  // QUILLARET_CONSOLE_HOST_LOADER_H

// The definitions, once per program: where QUILLARET_CONSOLE_LOADER_IMPLEMENTATION is defined.
#if defined(QUILLARET_CONSOLE_LOADER_IMPLEMENTATION) && \
    !defined(QUILLARET_CONSOLE_LOADER_IMPLEMENTED)
#define QUILLARET_CONSOLE_LOADER_IMPLEMENTED

#include <cstring>
#include <vector>

#if defined(_WIN32)
// Lean and without min and max, for the sake of the rest of the host's file; the macros are
// taken back afterwards, unless the host had defined them itself.
#if !defined(WIN32_LEAN_AND_MEAN)
#define WIN32_LEAN_AND_MEAN
#define QC_LOADER_DEFINED_LEAN_AND_MEAN
#endif
#if !defined(NOMINMAX)
#define NOMINMAX
#define QC_LOADER_DEFINED_NOMINMAX
#endif
#include <windows.h>
#if defined(QC_LOADER_DEFINED_LEAN_AND_MEAN)
#undef WIN32_LEAN_AND_MEAN
#undef QC_LOADER_DEFINED_LEAN_AND_MEAN
#endif
#if defined(QC_LOADER_DEFINED_NOMINMAX)
#undef NOMINMAX
#undef QC_LOADER_DEFINED_NOMINMAX
#endif
#else
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#endif

namespace qc {
namespace loader {
namespace detail {
namespace {

#if defined(_WIN32)
const char* const kLibraryName = "quillaret_console.dll";
// MSVC decorates the names by the width of the build: on x64 pointers carry the E qualifier.
#if defined(_WIN64)
const char* const kExportedNames[kEntryPointCount] = {
    "?SpawnServer@QCServer@@CA_NIPEAD@Z",     "?BroadcastMsg@QCServer@@CAXIPEAD@Z",
    "?CheckSysMsg@QCServer@@CA_NPEBD@Z",      "?GetNextMessage@QCServer@@CAPEBDI@Z",
    "?CheckReportMsg@QCServer@@CAPEBDPEAD@Z", "?TestDLL@QCServer@@CAPEBDI@Z",
    "?GetFlagConfirm@QCServer@@CA_NI@Z",
};
#else
const char* const kExportedNames[kEntryPointCount] = {
    "?SpawnServer@QCServer@@CA_NIPAD@Z",    "?BroadcastMsg@QCServer@@CAXIPAD@Z",
    "?CheckSysMsg@QCServer@@CA_NPBD@Z",     "?GetNextMessage@QCServer@@CAPBDI@Z",
    "?CheckReportMsg@QCServer@@CAPBDPAD@Z", "?TestDLL@QCServer@@CAPBDI@Z",
    "?GetFlagConfirm@QCServer@@CA_NI@Z",
};
#endif

typedef HMODULE Module;

// The system's text for an error code, without its trailing line end.
std::string SystemMessage(DWORD code) {
  char text[512];
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                code, 0, text, static_cast<DWORD>(sizeof text), nullptr);
  while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' ||
                        text[length - 1] == ' ' || text[length - 1] == '.')) {
    --length;
  }
  std::string message = "error " + std::to_string(code);
  if (length > 0) message += " (" + std::string(text, length) + ")";
  return message;
}

Module OpenModule(const std::string& path, std::string& reason) {
  const Module module = LoadLibraryA(path.c_str());
  if (module == nullptr) reason = SystemMessage(GetLastError());
  return module;
}

void* FindSymbol(Module module, const char* name) {
  // FARPROC is the generic function pointer type; the caller casts to the entry point's type.
  return reinterpret_cast<void*>(GetProcAddress(module, name));
}

void CloseModule(Module module) { (void)FreeLibrary(module); }

std::string ExecutablePath() {
  std::vector<char> path(MAX_PATH);
  // The result is cut to the buffer when it does not fit; grow up to the longest Windows path.
  while (path.size() <= 32768) {
    const DWORD length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return "";
    if (length < path.size()) return std::string(path.data(), length);
    path.resize(path.size() * 2);
  }
  return "";
}

#else
const char* const kLibraryName = "libquillaret_console.so";
const char* const kExportedNames[kEntryPointCount] = {
    "_ZN8QCServer11SpawnServerEjPc",   "_ZN8QCServer12BroadcastMsgEjPc",
    "_ZN8QCServer11CheckSysMsgEPKc",   "_ZN8QCServer14GetNextMessageEj",
    "_ZN8QCServer14CheckReportMsgEPc", "_ZN8QCServer7TestDLLEj",
    "_ZN8QCServer14GetFlagConfirmEj",
};

typedef void* Module;

Module OpenModule(const std::string& path, std::string& reason) {
  const Module module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* text = dlerror();
    reason = text != nullptr ? text : "unknown reason";
  }
  return module;
}

void* FindSymbol(Module module, const char* name) { return dlsym(module, name); }

void CloseModule(Module module) { (void)dlclose(module); }

std::string ExecutablePath() {
  std::vector<char> path(256);
  // readlink does not say whether the name was cut; a result that fills the buffer may have been.
  while (path.size() <= 65536) {
    const ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
    if (length < 0) return "";
    if (static_cast<std::size_t>(length) < path.size()) {
      return std::string(path.data(), static_cast<std::size_t>(length));
    }
    path.resize(path.size() * 2);
  }
  return "";
}

#endif

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

// The first c in [begin, end), or nullptr.
const char* FindChar(const char* begin, const char* end, char c) {
  return static_cast<const char*>(std::memchr(begin, c, static_cast<std::size_t>(end - begin)));
}

// [begin, end) without blanks at either end.
void Trim(const char*& begin, const char*& end) {
  while (begin < end && IsBlank(*begin)) ++begin;
  while (end > begin && IsBlank(end[-1])) --end;
}

bool EqualsIgnoringCase(const char* begin, const char* end, const char* name) {
  const std::size_t length = std::strlen(name);
  if (static_cast<std::size_t>(end - begin) != length) return false;
  for (std::size_t i = 0; i < length; ++i) {
    if (LowerAscii(begin[i]) != LowerAscii(name[i])) return false;
  }
  return true;
}

// Binds the entry point at index into slot; names it in error when it is missing.
template <typename Function>
bool Bind(Module module, const std::string& path, int index, Function& slot, std::string& error) {
  void* symbol = FindSymbol(module, kExportedNames[index]);
  if (symbol == nullptr) {
    error =
        std::string("entry point not exported: ") + kExportedNames[index] + " (by " + path + ")";
    return false;
  }
  slot = reinterpret_cast<Function>(symbol);
  return true;
}

// Binds all seven into api, or none: on failure api is left as it was and the module unloaded.
bool BindAll(Module module, const std::string& path, ConsoleApi& api, std::string& error) {
  ConsoleApi bound = ConsoleApi();
  if (Bind(module, path, 0, bound.SpawnServer, error) &&
      Bind(module, path, 1, bound.BroadcastMsg, error) &&
      Bind(module, path, 2, bound.CheckSysMsg, error) &&
      Bind(module, path, 3, bound.GetNextMessage, error) &&
      Bind(module, path, 4, bound.CheckReportMsg, error) &&
      Bind(module, path, 5, bound.TestDLL, error) &&
      Bind(module, path, 6, bound.GetFlagConfirm, error)) {
    api = bound;
    return true;
  }
  CloseModule(module);
  return false;
}

}  // namespace

int FindProfileInt(const char* text, std::size_t length, const char* section, const char* key,
                   int fallback) {
  const char* const end = text + length;
  bool inSection = false;
  for (const char* lineBegin = text; lineBegin < end;) {
    const char* lineEnd = FindChar(lineBegin, end, '\n');
    if (lineEnd == nullptr) lineEnd = end;
    const char* begin = lineBegin;
    const char* stop = lineEnd;
    lineBegin = lineEnd + 1;
    Trim(begin, stop);
    if (begin == stop || *begin == ';') continue;
    if (*begin == '[') {
      const char* close = FindChar(begin, stop, ']');
      const char* nameBegin = begin + 1;
      const char* nameEnd = close;
      if (close != nullptr) Trim(nameBegin, nameEnd);
      inSection = close != nullptr && EqualsIgnoringCase(nameBegin, nameEnd, section);
      continue;
    }
    if (!inSection) continue;
    const char* equals = FindChar(begin, stop, '=');
    if (equals == nullptr) continue;
    const char* keyEnd = equals;
    Trim(begin, keyEnd);
    if (!EqualsIgnoringCase(begin, keyEnd, key)) continue;

    const char* value = equals + 1;
    Trim(value, stop);
    if (stop - value >= 2 && (*value == '"' || *value == '\'') && stop[-1] == *value) {
      ++value;
      --stop;
    }
    // The library reads an integer key into a buffer of 64 bytes, and parses it as a C string:
    // a zero byte in the value ends it.
    if (stop - value > 63) stop = value + 63;
    if (const char* zero = FindChar(value, stop, '\0')) stop = zero;
    while (value < stop && IsBlank(*value)) ++value;
    if (value == stop) return fallback;
    bool negative = false;
    if (*value == '+' || *value == '-') negative = *value++ == '-';
    std::uint32_t result = 0;
    if (stop - value >= 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X')) {
      for (value += 2; value < stop; ++value) {
        const char c = LowerAscii(*value);
        if (c >= '0' && c <= '9') {
          result = result * 16u + static_cast<std::uint32_t>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
          result = result * 16u + static_cast<std::uint32_t>(c - 'a' + 10);
        } else {
          break;
        }
      }
    } else {
      for (; value < stop && *value >= '0' && *value <= '9'; ++value) {
        result = result * 10u + static_cast<std::uint32_t>(*value - '0');
      }
    }
    if (negative) result = 0u - result;
    return static_cast<int>(result);
  }
  return fallback;
}

#if !defined(_WIN32)
namespace {

// FindProfileInt from the first 64 KiB of the file, as much as the library reads; a missing
// file gives fallback.
int ReadProfileInt(const char* fileName, const char* section, const char* key, int fallback) {
  std::FILE* file = std::fopen(fileName, "rb");
  if (file == nullptr) return fallback;
  std::vector<char> text(64 * 1024);
  const std::size_t length = std::fread(text.data(), 1, text.size(), file);
  std::fclose(file);
  return FindProfileInt(text.data(), length, section, key, fallback);
}

}  // namespace
#endif

}  // namespace detail

const char* DefaultLibraryName() { return detail::kLibraryName; }

const char* const* ExportedNames() { return detail::kExportedNames; }

std::string ProgramDirectory() {
  const std::string program = detail::ExecutablePath();
  const std::string::size_type separator = program.find_last_of("/\\");
  return separator == std::string::npos ? std::string() : program.substr(0, separator + 1);
}

std::string ConsoleProfilePath() {
#if defined(_WIN32)
  char directory[MAX_PATH + 1];
  const UINT length = GetWindowsDirectoryA(directory, static_cast<UINT>(sizeof directory));
  if (length == 0 || length >= sizeof directory) return "quillaret_console.ini";
  std::string path(directory, length);
  if (path[path.size() - 1] != '\\') path += '\\';
  return path + "quillaret_console.ini";
#else
  return "quillaret_console.ini";
#endif
}

std::uint16_t ConsolePort(std::size_t spawnIndex) {
  const int kDefaultBasePort = 30000;
#if defined(_WIN32)
  const int basePort = static_cast<int>(
      GetPrivateProfileIntA("QCServer", "BasePort", kDefaultBasePort, "quillaret_console.ini"));
#else
  const int basePort =
      detail::ReadProfileInt("quillaret_console.ini", "QCServer", "BasePort", kDefaultBasePort);
#endif
  return static_cast<std::uint16_t>(static_cast<unsigned>(basePort) +
                                    static_cast<unsigned>(spawnIndex));
}

bool LoadConsoleLibrary(const std::string& path, ConsoleApi& api, std::string& error) {
  std::string reason;
  if (!path.empty()) {
    const detail::Module module = detail::OpenModule(path, reason);
    if (module == nullptr) {
      error = "cannot load " + path + ": " + reason;
      return false;
    }
    return detail::BindAll(module, path, api, error);
  }
  const std::string name = DefaultLibraryName();
  const std::string directory = ProgramDirectory();
  std::string besideReason = "the running program's folder is unknown";
  if (!directory.empty()) {
    const detail::Module module = detail::OpenModule(directory + name, besideReason);
    if (module != nullptr) return detail::BindAll(module, directory + name, api, error);
  }
  const detail::Module module = detail::OpenModule(name, reason);
  if (module == nullptr) {
    error = "cannot load " + (directory.empty() ? name : directory + name) + ": " + besideReason +
            "; nor " + name + " by the system's search: " + reason;
    return false;
  }
  return detail::BindAll(module, name, api, error);
}

std::size_t DrainConsole(const ConsoleApi& api, unsigned int goid,
                         const std::function<void(const std::string&)>& take) {
  std::vector<std::string> texts;
  while (texts.size() < kMaxDrainTexts) {
    const char* text = api.GetNextMessage(goid);
    if (text == nullptr || text[0] == '\0') break;
    texts.push_back(text);
  }
  for (std::vector<std::string>::reverse_iterator it = texts.rbegin(); it != texts.rend(); ++it) {
    take(*it);
  }
  return texts.size();
}

}  // namespace loader
}  // namespace qc

#endif  // QUILLARET_CONSOLE_LOADER_IMPLEMENTATION
