// qc_session_host: a small game host for the benchmarks with many sessions. It loads the console
// library through the loader, as a game host does, spawns its consoles, and then runs frames:
// each frame takes every console's messages until none is left and may broadcast. The load
// program drives it over standard input and output, one command and one answer per line, and
// attaches the developers from its own process; so the host's figures (threads, memory,
// descriptors) are its own, and the same host runs natively and, cross-built as a 32-bit
// Windows program, under wine.
//
//   qc_session_host --consoles N --base-port PORT [--library PATH] [--first-goid N]
//                   [--frame-millis N] [--profile KEY=VALUE]... [--oldest-first] [--answer]
//
// Each frame takes a console's messages newest first, as GetNextMessage hands them out, and
// runs them so; with --oldest-first it runs each console's batch oldest first, as the loader's
// DrainConsole does. With --answer it answers every message of typed lines with a broadcast
// line, as the demo host answers what it runs.
//
// Answers, each on a line of its own:
//   at start          "base <figures>" before the spawns, then "spawned <ok> <ms>"
//   count             "count <connected> <disconnected> <lines> <other> <overflows>
//                     <inversions>" (tallied lines run right after a later line of their
//                     developer: a paste run in two pieces swapped counts one)
//   broadcast-all T   BroadcastMsg of "B T\n" to every console once: "broadcast-all <ms>"
//   frames K          from now on K consoles (in turn) get a broadcast each frame: "frames K"
//   measure           "measure <figures> frame_max_ms=<longest frame since the last measure>"
//   tally             "dev <id> <distinct> <repeated> <highest sequence + 1> [<missing>...]"
//                     per developer whose lines came (with the first 10 sequence numbers below
//                     the highest that did not), then "tally-end <developers>"
//   mark              forgets the notices taken so far and restarts their clock: "mark"
//   notices           "notice <ms since the mark> <text>" per notice taken since the mark (the
//                     first 2000), then "notices-end <taken> <left out>"
//   hold / release    stops taking messages (frames go on) / takes them again: "hold", "release"
//   stream N K L      from the next frame on, for K frames, broadcasts N lines of L bytes (line
//                     feed included, "S<sequence> " and filler) to the first console each frame:
//                     "stream", and once the last frame has broadcast "stream-done <ms>"
//   quit              "bye", then the process ends
// <figures> is "threads=N rss_kib=N vm_kib=N descriptors=N". A typed line that the host tallies
// begins "L<developer>.<sequence> " and ends in its line feed; a message that holds several
// lines (a paste the console took in one piece) counts each of them. Everything the host does is
// bounded: it ends by itself after --max-seconds (default 3600) or when standard input closes.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "load/process_stats.h"
// The loader's definitions, compiled once for the program.
#define QUILLARET_CONSOLE_LOADER_IMPLEMENTATION
#include "loader/host_loader.h"

namespace {

using Clock = std::chrono::steady_clock;
using qc::load::AddressSpaceKiB;
using qc::load::OpenDescriptors;
using qc::load::ResidentKiB;
using qc::load::ThreadCount;

double MillisSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void Answer(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

std::string Figures() {
  char text[160];
  std::snprintf(text, sizeof text, "threads=%d rss_kib=%ld vm_kib=%ld descriptors=%d",
                ThreadCount(), ResidentKiB(), AddressSpaceKiB(), OpenDescriptors());
  return text;
}

// Commands from standard input, read on a thread of their own so that frames never wait.
class Commands {
 public:
  Commands() {
    std::thread([this] {
      char line[512];
      while (std::fgets(line, sizeof line, stdin) != nullptr) {
        std::string command(line);
        while (!command.empty() && (command.back() == '\n' || command.back() == '\r')) {
          command.pop_back();
        }
        Push(command);
      }
      Push("quit");  // standard input closed: the driver is gone
    }).detach();
  }
  bool Next(std::string& command) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (queue_.empty()) return false;
    command = queue_.front();
    queue_.pop_front();
    return true;
  }

 private:
  void Push(const std::string& command) {
    std::lock_guard<std::mutex> hold(mutex_);
    queue_.push_back(command);
  }
  std::mutex mutex_;
  std::deque<std::string> queue_;
};

// What the host has taken from its consoles.
struct Taken {
  static constexpr std::size_t kNoticesKept = 2000;

  long long connected = 0;
  long long disconnected = 0;
  long long lines = 0;
  long long other = 0;
  long long overflows = 0;
  long long inversions = 0;
  // Per developer: how often each sequence number came, and the last that came.
  std::unordered_map<unsigned long, std::vector<unsigned char>> byDeveloper;
  std::unordered_map<unsigned long, unsigned long> last;
  // The notices (every text without a tallied line) since the mark, with their times.
  Clock::time_point mark = Clock::now();
  std::vector<std::pair<double, std::string>> notices;
  long long noticesLeftOut = 0;

  // Tallies one line that begins "L<developer>.<sequence> "; false for any other line.
  bool RecordLine(const char* text) {
    if (text[0] != 'L') return false;
    char* end = nullptr;
    const unsigned long developer = std::strtoul(text + 1, &end, 10);
    if (end == text + 1 || *end != '.') return false;
    const char* digits = end + 1;
    const unsigned long sequence = std::strtoul(digits, &end, 10);
    if (end == digits || *end != ' ' || sequence >= 1000000) return false;
    ++lines;
    std::vector<unsigned char>& seen = byDeveloper[developer];
    if (seen.size() <= sequence) seen.resize(sequence + 1, 0);
    if (seen[sequence] < 255) ++seen[sequence];
    const auto [previous, first] = last.emplace(developer, sequence);
    if (!first && sequence < previous->second) ++inversions;
    previous->second = sequence;
    return true;
  }

  // Records one message; true when it held a tallied line.
  bool Record(const char* text) {
    bool tallied = false;
    // A line counts only whole, with its line feed: a line the console cut in two is lost.
    for (const char* line = text; *line != '\0';) {
      const char* feed = std::strchr(line, '\n');
      if (feed == nullptr) break;
      if (RecordLine(line)) tallied = true;
      line = feed + 1;
    }
    if (tallied) return true;
    if (notices.size() < kNoticesKept) {
      notices.emplace_back(MillisSince(mark), std::string(text).substr(0, 200));
    } else {
      ++noticesLeftOut;
    }
    if (std::strncmp(text, "QC_OK: ", 7) == 0 && std::strstr(text, " disconnected (") != nullptr) {
      ++disconnected;
    } else if (std::strncmp(text, "QC_OK: ", 7) == 0 &&
               std::strstr(text, " connected (") != nullptr) {
      ++connected;
    } else if (std::strncmp(text, "QC_ERROR: Buffer overflow", 25) == 0) {
      ++overflows;
    } else {
      ++other;
    }
    return false;
  }

  void Tally() const {
    for (const auto& [developer, seen] : byDeveloper) {
      int distinct = 0, repeated = 0;
      std::string missing;  // the first few sequence numbers below the highest that never came
      int missingShown = 0;
      for (std::size_t sequence = 0; sequence < seen.size(); ++sequence) {
        const unsigned char times = seen[sequence];
        if (times > 0) ++distinct;
        if (times > 1) repeated += times - 1;
        if (times == 0 && missingShown < 10) {
          missing += " " + std::to_string(sequence);
          ++missingShown;
        }
      }
      Answer("dev " + std::to_string(developer) + " " + std::to_string(distinct) + " " +
             std::to_string(repeated) + " " + std::to_string(seen.size()) + missing);
    }
    Answer("tally-end " + std::to_string(byDeveloper.size()));
  }

  void Notices() const {
    for (const auto& [millis, text] : notices) {
      std::string line = text;
      for (char& c : line) {
        if (c == '\r' || c == '\n') c = ' ';
      }
      char when[32];
      std::snprintf(when, sizeof when, "notice %.1f ", millis);
      Answer(when + line);
    }
    Answer("notices-end " + std::to_string(notices.size() + noticesLeftOut) + " " +
           std::to_string(noticesLeftOut));
  }
};

int Usage() {
  std::fprintf(stderr,
               "usage: qc_session_host --consoles N --base-port PORT [--library PATH]\n"
               "                       [--first-goid N] [--frame-millis N] [--max-seconds N]\n"
               "                       [--profile KEY=VALUE]... [--oldest-first] [--answer]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string library = qc::loader::DefaultLibraryName();
  int consoles = 0, basePort = 0, frameMillis = 5, maxSeconds = 3600;
  unsigned firstGoid = 70001;
  std::string profile;
  bool oldestFirst = false, answerEach = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--oldest-first" || arg == "--answer") {
      (arg == "--answer" ? answerEach : oldestFirst) = true;
    } else if (arg == "--library" && hasValue) {
      library = argv[++i];
    } else if (arg == "--consoles" && hasValue) {
      consoles = std::atoi(argv[++i]);
    } else if (arg == "--base-port" && hasValue) {
      basePort = std::atoi(argv[++i]);
    } else if (arg == "--first-goid" && hasValue) {
      firstGoid = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
    } else if (arg == "--frame-millis" && hasValue) {
      frameMillis = std::atoi(argv[++i]);
    } else if (arg == "--max-seconds" && hasValue) {
      maxSeconds = std::atoi(argv[++i]);
    } else if (arg == "--profile" && hasValue) {
      profile += std::string(argv[++i]) + "\n";
    } else {
      return Usage();
    }
  }
  if (consoles < 1 || consoles > 100 || basePort < 1024 || basePort > 65535 - consoles ||
      frameMillis < 1 || maxSeconds < 1) {
    return Usage();
  }
  qc::load::RaiseDescriptorLimit(4 * 100 * 100);

  qc::loader::ConsoleApi api{};
  std::string error;
  if (!qc::loader::LoadConsoleLibrary(library, api, error)) {
    std::fprintf(stderr, "qc_session_host: %s\n", error.c_str());
    return 1;
  }
  Commands commands;  // its thread is counted in the base figures
  Answer("base " + Figures());

  // The library reads its profile at each spawn, where the loader says it looks.
  const std::string profilePath = qc::loader::ConsoleProfilePath();
  {
    std::ofstream file(profilePath, std::ios::binary);
    file << "[QCServer]\nBasePort=" << basePort << "\n" << profile;
    if (!file) {
      std::fprintf(stderr, "qc_session_host: cannot write %s\n", profilePath.c_str());
      return 1;
    }
  }
  const Clock::time_point spawnStart = Clock::now();
  std::vector<unsigned> goids;
  for (int i = 0; i < consoles; ++i) {
    char name[] = "session-host";
    const unsigned goid = firstGoid + static_cast<unsigned>(i);
    if (api.SpawnServer(goid, name)) goids.push_back(goid);
  }
  const double spawnMillis = MillisSince(spawnStart);
  std::remove(profilePath.c_str());
  char spawned[64];
  std::snprintf(spawned, sizeof spawned, "spawned %d %.1f", static_cast<int>(goids.size()),
                spawnMillis);
  Answer(spawned);

  Taken taken;
  std::vector<std::string> frameTexts;
  bool holding = false;
  // The stream of broadcast lines: lines per frame, frames left, bytes per line, next sequence.
  int streamLines = 0, streamFrames = 0, streamLength = 0;
  long long streamSequence = 0;
  Clock::time_point streamStart;
  std::string streamText;
  int broadcastsPerFrame = 0;
  std::size_t nextBroadcast = 0;
  long long frame = 0;
  double longestFrame = 0;
  const Clock::time_point end = Clock::now() + std::chrono::seconds(maxSeconds);
  Clock::time_point frameStart = Clock::now();
  for (;;) {
    // Each console's messages, newest first, until none is left (bounded per frame), then runs
    // them. A game takes a console's messages and then runs them, so the takes follow each
    // other closely (as the echoes they queue do).
    for (unsigned goid : goids) {
      for (int n = 0; n < 1000 && !holding; ++n) {
        const char* text = api.GetNextMessage(goid);
        if (text[0] == '\0') break;
        frameTexts.emplace_back(text);
      }
      if (oldestFirst) std::reverse(frameTexts.begin(), frameTexts.end());
      for (const std::string& text : frameTexts) {
        if (taken.Record(text.c_str()) && answerEach) {
          char line[] = "ok, ran it\r\n";
          api.BroadcastMsg(goid, line);
        }
      }
      frameTexts.clear();
    }
    if (streamFrames > 0 && !goids.empty()) {
      for (int n = 0; n < streamLines; ++n) {
        const int head =
            std::snprintf(streamText.data(), streamText.size(), "S%lld ", streamSequence++);
        streamText[static_cast<std::size_t>(head)] = 's';  // the filler after the number
        api.BroadcastMsg(goids[0], streamText.data());
      }
      if (--streamFrames == 0) {
        char done[48];
        std::snprintf(done, sizeof done, "stream-done %.1f", MillisSince(streamStart));
        Answer(done);
      }
    }
    for (int b = 0; b < broadcastsPerFrame && !goids.empty(); ++b) {
      char text[64];
      std::snprintf(text, sizeof text, "B frame %lld\n", frame);
      api.BroadcastMsg(goids[nextBroadcast++ % goids.size()], text);
    }
    const double frameTook = MillisSince(frameStart);
    if (frameTook > longestFrame) longestFrame = frameTook;

    std::string command;
    while (commands.Next(command)) {
      if (command == "quit") {
        Answer("bye");
        // The consoles' threads never end; leave without running destructors beside them.
        std::fflush(stdout);
        std::_Exit(0);
      } else if (command == "count") {
        Answer("count " + std::to_string(taken.connected) + " " +
               std::to_string(taken.disconnected) + " " + std::to_string(taken.lines) + " " +
               std::to_string(taken.other) + " " + std::to_string(taken.overflows) + " " +
               std::to_string(taken.inversions));
      } else if (command.rfind("broadcast-all ", 0) == 0) {
        const std::string text = "B " + command.substr(14) + "\n";
        const Clock::time_point start = Clock::now();
        for (unsigned goid : goids) api.BroadcastMsg(goid, const_cast<char*>(text.c_str()));
        char answer[64];
        std::snprintf(answer, sizeof answer, "broadcast-all %.3f", MillisSince(start));
        Answer(answer);
      } else if (command.rfind("frames ", 0) == 0) {
        broadcastsPerFrame = std::atoi(command.c_str() + 7);
        Answer("frames " + std::to_string(broadcastsPerFrame));
      } else if (command == "measure") {
        char longest[48];
        std::snprintf(longest, sizeof longest, " frame_max_ms=%.3f", longestFrame);
        longestFrame = 0;
        Answer("measure " + Figures() + longest);
      } else if (command == "tally") {
        taken.Tally();
      } else if (command == "mark") {
        taken.mark = Clock::now();
        taken.notices.clear();
        taken.noticesLeftOut = 0;
        Answer("mark");
      } else if (command == "notices") {
        taken.Notices();
      } else if (command == "hold" || command == "release") {
        holding = command == "hold";
        Answer(command);
      } else if (command.rfind("stream ", 0) == 0) {
        int lines = 0, frames = 0, length = 0;
        if (std::sscanf(command.c_str() + 7, "%d %d %d", &lines, &frames, &length) != 3 ||
            lines < 1 || lines > 10000 || frames < 1 || length < 24 || length > 60000) {
          Answer("unknown " + command);
          continue;
        }
        streamLines = lines;
        streamFrames = frames;
        streamLength = length;
        // Filler up to the line feed, then the NUL; each line writes its number over the front.
        streamText.assign(static_cast<std::size_t>(streamLength) + 1, 's');
        streamText[static_cast<std::size_t>(streamLength) - 1] = '\n';
        streamText[static_cast<std::size_t>(streamLength)] = '\0';
        streamStart = Clock::now();
        Answer("stream");
      } else {
        Answer("unknown " + command);
      }
    }
    if (Clock::now() >= end) {
      std::fprintf(stderr, "qc_session_host: ran for %d s without a quit\n", maxSeconds);
      std::fflush(stdout);
      std::_Exit(1);
    }
    ++frame;
    std::this_thread::sleep_until(frameStart + std::chrono::milliseconds(frameMillis));
    frameStart = Clock::now();
  }
}
