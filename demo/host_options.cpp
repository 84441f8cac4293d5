// Command-line parsing for the demo host.
#include "demo/host_options.h"

namespace qc::demo {
namespace {

bool ParseGoid(const std::string& text, std::uint32_t& goid) {
  if (text.empty() || text.size() > 10) return false;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (value > 0xffffffffu) return false;
  goid = static_cast<std::uint32_t>(value);
  return true;
}

bool CheckTemplateName(const std::string& name, std::string& error) {
  if (name.empty()) {
    error = "a template name must not be empty";
    return false;
  }
  if (name.size() > kMaxTemplateChars) {
    error = "the template name beginning \"" + name.substr(0, 20) + "\" is longer than " +
            std::to_string(kMaxTemplateChars) + " characters";
    return false;
  }
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      error = "the template name \"" + name.substr(0, 20) + "\" holds a control character";
      return false;
    }
  }
  return true;
}

}  // namespace

std::vector<RequestedObject> DefaultObjects() {
  return {{42, "goblin"}, {7, "chest"}, {1001, "lantern"}};
}

bool ParseHostOptions(const std::vector<std::string>& args, HostOptions& options,
                      std::string& error) {
  options = HostOptions{};
  std::vector<std::string> positional;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      options.showHelp = true;
    } else if (arg == "--library" || arg.rfind("--library=", 0) == 0) {
      if (arg == "--library") {
        options.libraryPath = i + 1 < args.size() ? args[++i] : "";
      } else {
        options.libraryPath = arg.substr(10);
      }
      if (options.libraryPath.empty()) {
        error = "--library needs a path";
        return false;
      }
    } else if (arg.size() > 1 && arg[0] == '-') {
      error = "unknown option " + arg;
      return false;
    } else {
      positional.push_back(arg);
    }
  }
  for (std::size_t i = 0; i < positional.size(); i += 2) {
    RequestedObject requested;
    if (!ParseGoid(positional[i], requested.goid)) {
      error = "\"" + positional[i] + "\" is no GoID: give a number from 0 to 4294967295";
      return false;
    }
    if (i + 1 >= positional.size()) {
      error = "GoID " + positional[i] + " has no template name";
      return false;
    }
    requested.templateName = positional[i + 1];
    if (!CheckTemplateName(requested.templateName, error)) return false;
    for (const RequestedObject& earlier : options.objects) {
      if (earlier.goid == requested.goid) {
        error = "GoID " + positional[i] +
                " is given twice; the console reaches only one object "
                "per GoID";
        return false;
      }
    }
    if (options.objects.size() == kMaxObjects) {
      error = "at most " + std::to_string(kMaxObjects) + " objects can have a console";
      return false;
    }
    options.objects.push_back(requested);
  }
  if (options.objects.empty()) options.objects = DefaultObjects();
  return true;
}

std::string UsageText(const std::string& programName) {
  return "Usage: " + programName +
         " [--library PATH] [GOID TEMPLATE]...\n"
         "\n"
         "Loads the Team Quillaret development console library, opens a console for each game\n"
         "object (GoID and template name; default: 42 goblin 7 chest 1001 lantern) and runs\n"
         "what developers type there against a small in-memory world, about 30 times a second.\n"
         "Attach with any line-oriented terminal client, e.g. nc 127.0.0.1 30000.\n"
         "Ports are BasePort + 0, 1, 2, ... from quillaret_console.ini ([QCServer] BasePort,\n"
         "default 30000).\n"
         "\n"
         "  --library PATH  the console library to load (default: the one next to this program,\n"
         "                  else the platform's search for its file name)\n"
         "  -h, --help      this text\n"
         "\n"
         "Stop with Ctrl-C or SIGTERM.\n";
}

}  // namespace qc::demo
