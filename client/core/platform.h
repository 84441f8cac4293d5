// What quillaret-attach needs from the operating system: TCP connections, a clock, the
// environment and the user's folders. platform_posix.cpp and platform_win32.cpp implement it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qc::attach {

// A connected socket; kNoConnection when there is none.
using Connection = std::intptr_t;
constexpr Connection kNoConnection = -1;

// Starts the socket library (Winsock); nothing on POSIX. False on failure.
bool StartNetwork();
// Whether host is a dotted quad or a name that resolves to an IPv4 address.
bool HostResolves(const std::string& host);
// Connects to host (a name or a dotted quad) at port over IPv4, waiting at most millis.
// The connection, or kNoConnection.
Connection ConnectTo(const std::string& host, std::uint16_t port, int millis);
// The local IPv4 address of the connection as a dotted quad, as the console sees it
// when nothing translates addresses; "" when it cannot be read.
std::string LocalAddress(Connection connection);
// Sends every byte, giving up after millis without progress. True when all were sent.
bool SendAllBytes(Connection connection, const char* bytes, std::size_t length, int millis);
// Waits at most millis (0: no wait) for the connection to be readable, then receives what is
// there: the count, 0 when nothing came in time, -1 when the console closed the connection
// or it failed.
int ReceiveBytes(Connection connection, char* buffer, std::size_t capacity, int millis);
void CloseConnection(Connection connection);

// A monotonic clock in milliseconds, and a pause.
std::int64_t NowMillis();
void PauseMillis(int millis);

// Whether standard input (0) or output (1) is a terminal.
bool IsTerminal(int stream);
// Whether the stream is a terminal that is not one to the system: on Windows the pipe a mintty
// window (Git Bash, Cygwin, MSYS2) gives a program instead of a console. False on POSIX.
bool IsForeignTerminal(int stream);
// Makes the terminal on standard output take colour sequences (the Windows console has to be
// told). False when it cannot.
bool EnableColourOutput();
// The environment variable's value; "" when it is not set.
std::string EnvironmentValue(const char* name);
// The folder for the user's state: $XDG_STATE_HOME, else ~/.local/state on POSIX;
// %LOCALAPPDATA% on Windows. "" when neither can be found.
std::string UserStateFolder();
// Creates the folder and the folders above it that are missing. True when it exists after.
bool MakeFolders(const std::string& path);
// Reads the whole file; false when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string& text);
// Appends the bytes with one write at the file's end (created when missing), so that lines
// appended by two processes never interleave. True when all were written.
bool AppendToFile(const std::string& path, const std::string& bytes);
// Writes the bytes to a file beside it and renames that over path. True when it is in place.
bool ReplaceWholeFile(const std::string& path, const std::string& bytes);
// Where the console library reads its profile on this platform besides the current folder:
// the Windows directory on Windows, "" on POSIX.
std::string SystemProfilePath();

// Ctrl-C (SIGINT, the console's Ctrl-C and Ctrl-Break): from now on it sets a flag instead of
// ending the program. With stopWaits, it also ends the wait of ReceiveBytes at once (and
// WaitInterrupted tells so), so that a slow attach or a script stops; the interactive loop
// looks at Interrupted after each of its own waits, which Ctrl-C also ends on POSIX.
void CatchInterrupt(bool stopWaits);
bool Interrupted();
bool WaitInterrupted();
void ClearInterrupt();

// The local date and time as "YYYY-MM-DD HH:MM:SS".
std::string LocalDateTime();

// Asks for a password on the terminal without showing what is typed. False at end of input,
// and after Ctrl-C, which Interrupted() then tells as it tells any other.
bool ReadSecret(const char* prompt, std::string& secret);

}  // namespace qc::attach
