// The demo host's work with the console library: spawning a console per game object, and each
// frame taking what the consoles hold and answering it. Only the bound entry points are used,
// so the same code drives the library on every platform.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "demo/world.h"
#include "loader/host_loader.h"
#include "loader/port_probe.h"

namespace qc::demo {

struct SpawnedObject {
  std::uint32_t goid = 0;
  std::string templateName;
  std::uint16_t port = 0;  // BasePort + spawn index, as the library computes it
};

// The notice a report text stands for. CheckReportMsg turns report.info("hello") into the text
// "QC_REPORT: hello") with a leading double quote, i.e. a string literal followed by what came
// after the developer's closing quote. The host runs it as a script would: its value is the
// literal's contents, "QC_REPORT: hello", which the console shows as a system notice. A report
// text without a closing quote gives everything after the opening one.
std::string ReportNotice(const std::string& reportText);

// What the host asks the system about ports: whether a console could open one, and whether one
// listens there (the loader's CanListenOn and ListeningOn; stand-ins in tests).
struct PortProbes {
  bool (*canListen)(std::uint16_t port) = loader::CanListenOn;
  bool (*listening)(std::uint16_t port) = loader::ListeningOn;
};

class ConsoleHost {
 public:
  // How long Spawn waits for a new console to open its port.
  static constexpr int kListenWaitMillis = 5000;

  // api must stay bound for the host's life; the log receives one line per event.
  ConsoleHost(const loader::ConsoleApi& api, std::ostream& log, PortProbes probes = PortProbes());

  // Spawns a console for the object, adds the object to the world and waits (at most
  // kListenWaitMillis) until the console listens, so that the port can be announced. basePort is
  // the BasePort setting read just before (the library reads it at every spawn); the console's
  // port is BasePort + the number of consoles spawned before it. False with a message in error:
  // when the GoID already has a console or the port is taken (then nothing is spawned; the
  // library would only note the failure on standard error, later), when the library refuses the
  // spawn, or when the console does not open its port in time.
  bool Spawn(std::uint32_t goid, const std::string& templateName, int basePort, std::string& error);

  // One frame: takes every text waiting on each console and handles it, oldest first (the
  // loader's DrainConsole), so lines typed or pasted in quick succession run in the order they
  // were typed. Returns the number of texts.
  int RunFrame();

  const std::vector<SpawnedObject>& Objects() const { return objects_; }
  World& world() { return world_; }

 private:
  void Handle(const SpawnedObject& object, const std::string& text);
  void HandleLine(const SpawnedObject& object, const std::string& line);
  // Sends one line to everybody attached to the object: a system notice as it is (the console
  // ends it with CR LF), any other line with CR LF added.
  void Send(std::uint32_t goid, const std::string& line);
  // Tells the developers of a console that someone has attached: when the console's
  // spawn-confirm flag is set, the attachment text ("Dev console attached to object", GoID,
  // template name) line by line as notices; then a hint on what the host understands.
  void Greet(std::uint32_t goid);
  void Log(const SpawnedObject& object, const std::string& what, const std::string& text);

  const loader::ConsoleApi& api_;
  std::ostream& log_;
  PortProbes probes_;
  World world_;
  std::vector<SpawnedObject> objects_;
};

}  // namespace qc::demo
