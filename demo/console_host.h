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

class ConsoleHost {
 public:
  // At most this many texts are taken from one console per frame; the library's queue holds
  // no more.
  static constexpr int kMaxTextsPerFrame = 100;

  // Tells whether a console could open a port (loader::CanListenOn, or a stand-in in tests).
  using PortProbe = bool (*)(std::uint16_t port);

  // api must stay bound for the host's life; the log receives one line per event.
  ConsoleHost(const loader::ConsoleApi& api, std::ostream& log,
              PortProbe portProbe = loader::CanListenOn);

  // Spawns a console for the object and adds the object to the world. basePort is the BasePort
  // setting read just before (the library reads it at every spawn); the console's port is
  // BasePort + the number of consoles spawned before it. False with a message in error, and no
  // spawn, when the GoID already has a console or the port is taken (the library would only
  // note that on standard error, later); false with a message when the library refuses.
  bool Spawn(std::uint32_t goid, const std::string& templateName, int basePort, std::string& error);

  // One frame: takes every text waiting on each console and handles it. The library hands the
  // newest text over first; the texts of one frame are handled oldest first, so lines typed or
  // pasted in quick succession run in the order they were typed. Returns the number of texts.
  int RunFrame();

  const std::vector<SpawnedObject>& Objects() const { return objects_; }
  World& world() { return world_; }

 private:
  void Handle(const SpawnedObject& object, const std::string& text);
  void HandleLine(const SpawnedObject& object, const std::string& line);
  // Sends one line to everybody attached to the object: a system notice as it is (the console
  // ends it with CR LF), any other line with CR LF added.
  void Send(std::uint32_t goid, const std::string& line);
  // "Dev console attached to object", GoID and template name, line by line.
  void SendAttachment(std::uint32_t goid);
  void Log(const SpawnedObject& object, const std::string& what, const std::string& text);

  const loader::ConsoleApi& api_;
  std::ostream& log_;
  PortProbe portProbe_;
  World world_;
  std::vector<SpawnedObject> objects_;
};

}  // namespace qc::demo
