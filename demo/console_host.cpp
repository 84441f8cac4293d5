// Spawning consoles and answering what arrives on them.
#include "demo/console_host.h"

#include <chrono>
#include <cstdio>
#include <thread>
#include <utility>

#include "demo/base_port.h"
#include "demo/evaluator.h"

namespace qc::demo {
namespace {

// Room that CheckReportMsg may need beyond the text: a report text can be up to 4 characters
// longer than the call it replaces.
constexpr std::size_t kReportRoom = 16;

// The text with control characters escaped, so that nothing a developer types can steer the
// terminal that shows the host's log.
std::string Printable(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02x", byte);
      out += escape;
    } else {
      out += c;
    }
  }
  return out;
}

bool IsBlank(const std::string& line) { return line.find_first_not_of(" \t") == std::string::npos; }

constexpr const char* kHint =
    "QC_OK: quillaret-host runs your script lines here; Help() lists what it understands";

bool IsConnectNotice(const std::string& text) {
  return text.rfind("QC_OK: ", 0) == 0 && text.find(" connected (Port ") != std::string::npos;
}

}  // namespace

std::string ReportNotice(const std::string& reportText) {
  std::string notice;
  std::size_t i = reportText.empty() || reportText[0] != '"' ? 0 : 1;
  for (; i < reportText.size() && reportText[i] != '"'; ++i) {
    // A backslash keeps the quote after it inside the literal; both stay as written.
    if (reportText[i] == '\\' && i + 1 < reportText.size()) notice += reportText[i++];
    notice += reportText[i];
  }
  return notice;
}

ConsoleHost::ConsoleHost(const loader::ConsoleApi& api, std::ostream& log, PortProbes probes)
    : api_(api), log_(log), probes_(probes) {}

bool ConsoleHost::Spawn(std::uint32_t goid, const std::string& templateName, int basePort,
                        std::string& error) {
  if (world_.FindObject(goid) != nullptr) {
    error = "GoID " + std::to_string(goid) + " already has a console";
    return false;
  }
  SpawnedObject object;
  object.goid = goid;
  object.templateName = templateName;
  object.port = ConsolePort(basePort, objects_.size());
  if (!probes_.canListen(object.port)) {
    error = "port " + std::to_string(object.port) + " for GoID " + std::to_string(goid) + " (" +
            templateName +
            ") is taken, by another program perhaps; set another BasePort in "
            "the [QCServer] section of quillaret_console.ini";
    return false;
  }
  // SpawnServer takes a writable buffer; it only copies the name.
  std::vector<char> name(templateName.begin(), templateName.end());
  name.push_back('\0');
  if (!api_.SpawnServer(goid, name.data())) {
    error = "SpawnServer(" + std::to_string(goid) + ", \"" + templateName +
            "\") failed: the library could not start the console";
    return false;
  }
  world_.AddObject(goid, templateName);
  objects_.push_back(object);

  // The console opens its port on a thread of its own; a developer who attaches before that is
  // refused. A port that nobody listens on in time means the console could not open it.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kListenWaitMillis);
  while (!probes_.listening(object.port)) {
    if (std::chrono::steady_clock::now() >= deadline) {
      error = "the console for GoID " + std::to_string(goid) + " (" + templateName +
              ") did not open port " + std::to_string(object.port) +
              "; the library's message on standard error says why";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

int ConsoleHost::RunFrame() {
  int taken = 0;
  for (const SpawnedObject& object : objects_) {
    taken += static_cast<int>(loader::DrainConsole(
        api_, object.goid, [&](const std::string& text) { Handle(object, text); }));
  }
  return taken;
}

void ConsoleHost::Handle(const SpawnedObject& object, const std::string& text) {
  if (api_.CheckSysMsg(text.c_str())) {
    Log(object, "notice", text);
    if (IsConnectNotice(text)) Greet(object.goid);
    return;
  }
  // A developer's text keeps its line end (LF or CR LF); a piece pasted at once may hold
  // several lines. Each line is run on its own, without its line end.
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(begin, end - begin);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!IsBlank(line)) HandleLine(object, line);
    begin = end + 1;
  }
}

void ConsoleHost::HandleLine(const SpawnedObject& object, const std::string& line) {
  std::vector<char> buffer(line.begin(), line.end());
  buffer.resize(line.size() + kReportRoom, '\0');
  const char* report = api_.CheckReportMsg(buffer.data());
  if (report != nullptr && report[0] != '\0') {
    const std::string notice = ReportNotice(report);
    Log(object, "report", notice);
    Send(object.goid, notice);
    return;
  }
  Log(object, "run", line);
  for (const std::string& answer : EvaluateLine(world_, line)) {
    Log(object, "answer", answer);
    Send(object.goid, answer);
  }
}

void ConsoleHost::Send(std::uint32_t goid, const std::string& line) {
  std::vector<char> text(line.begin(), line.end());
  if (!api_.CheckSysMsg(line.c_str())) {
    text.push_back('\r');
    text.push_back('\n');
  }
  text.push_back('\0');
  api_.BroadcastMsg(goid, text.data());
}

void ConsoleHost::Greet(std::uint32_t goid) {
  if (api_.GetFlagConfirm(goid)) {
    const char* attachment = api_.TestDLL(goid);
    const std::string text = attachment != nullptr ? attachment : "";
    std::size_t begin = 0;
    while (begin < text.size()) {
      std::size_t end = text.find('\n', begin);
      if (end == std::string::npos) end = text.size();
      if (end > begin) Send(goid, "QC_OK: " + text.substr(begin, end - begin));
      begin = end + 1;
    }
  }
  Send(goid, kHint);
}

void ConsoleHost::Log(const SpawnedObject& object, const std::string& what,
                      const std::string& text) {
  log_ << "[GoID " << FormatGoid(object.goid) << "] " << what << ": " << Printable(text)
       << std::endl;
}

}  // namespace qc::demo
