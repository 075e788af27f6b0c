// `orukiv shell`: commands from standard input or a file, one per line, over
// the run's one bus and library instance (one simulated network with --bus
// sim), so that a step sees what the steps before it did.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>

#include "command.h"
#include "interrupt.h"
#include "report.h"

namespace orukiv::tool {

namespace {

// The line without its comment: '#' at the start of a word, outside quotes.
std::string WithoutComment(const std::string& line) {
    char quote = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '#' && (i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t')) {
            return line.substr(0, i);
        }
    }
    return line;
}

bool Blank(const std::string& line) {
    return line.find_first_not_of(" \t\r") == std::string::npos;
}

}  // namespace

int RunShell(Session& s, std::istream& in, bool stopOnError) {
    int status = kExitOk;
    std::string line;
    for (int number = 1; !Interrupted() && std::getline(in, line); ++number) {
        const std::string command = WithoutComment(line);
        if (Blank(command)) continue;
        // Under --json each result names the line it answers.
        s.SetContext(Json().Uint("line", static_cast<uint64_t>(number)).Str("input", command));
        const int r = RunShellLine(s, command);
        s.SetContext({});
        if (r == kExitOk) continue;
        if (status == kExitOk) status = r;  // the first failure's status
        if (r == kExitUsage && !s.options().json)
            std::fprintf(stderr, "orukiv: line %d: %s\n", number, line.c_str());
        if (stopOnError || !s.bus().Lost().empty()) break;
    }
    if (Interrupted() && status == kExitOk) status = kExitFailed;
    return status;
}

Command ShellCommand() {
    Command c{"shell",
              "run commands from standard input or -f FILE, one per line (# comments), on one "
              "bus; exit 0 only when all succeeded",
              [](CLI::App& app) -> Handler {
                  struct Args {
                      std::string file;
                      bool stopOnError = false;
                  };
                  auto a = std::make_shared<Args>();
                  app.add_option("-f,--file", a->file, "read the commands from FILE");
                  app.add_flag("--stop-on-error", a->stopOnError,
                               "stop at the first command that fails");
                  return [a](Session& s) {
                      if (a->file.empty()) return RunShell(s, std::cin, a->stopOnError);
                      std::ifstream in(a->file);
                      if (!in) {
                          std::fprintf(stderr, "orukiv: cannot read %s: %s\n", a->file.c_str(),
                                       std::strerror(errno));
                          return static_cast<int>(kExitUsage);
                      }
                      return RunShell(s, in, a->stopOnError);
                  };
              }};
    c.runs = Command::Runs::kOnShell;
    return c;
}

}  // namespace orukiv::tool
