// kelpwood-flows watch: follows the local journal, cuts the published points
// of device-wide flows into runs (see journal/flow_runs.h for the rule),
// checks each run with the library's own CheckFlow and writes the verdict
// as a structured journal entry. Its place in the journal and its open runs
// are saved in the state directory, so that a restarted watch continues
// where it stopped.

#include <errno.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <getopt.h>
#include <kelpwood/logger.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "base/posix_file.h"
#include "cli.h"
#include "commands.h"
#include "journal/journal_reader.h"
#include "journal/message_ids.h"
#include "journal/verdict_entry.h"
#include "library_log.h"
#include "runs/flow_runs.h"
#include "runs/watch_metrics.h"

namespace kelpwood {
namespace flows_tool {
namespace {

using journal::FlowEntry;
using journal::JournalReader;
using runs::FlowRunEngine;
using trace::FlowCheckCode;
using trace::FlowRun;

const char kWatchHelp[] =
    "Usage: kelpwood-flows watch [OPTION]... CONFIG...\n"
    "Follow the local journal and check every run of the flows of CONFIG\n"
    "whose points processes publish (flows with 'scope: device'). A run\n"
    "starts with the flow's first point after the previous run ended, and\n"
    "ends when its last configured point arrives (ordered flows) or all of\n"
    "them have (unordered flows), when deadline_ms has passed after its\n"
    "first point, at a published ResetFlow of the flow, or at once when a\n"
    "critical point fails or an ordered flow skips one. Runs are kept apart\n"
    "by machine and boot. Each verdict is written to the journal as a flow\n"
    "verdict entry with FLOW_RUN, RUN_PID and RUN_COMM.\n"
    "\n"
    "Options:\n"
    "  -s, --state-dir DIR  save the journal position and the open runs in\n"
    "                       DIR (default /var/lib/kelpwood-flows-watch); a\n"
    "                       restarted watch continues from there\n"
    "      --metrics FILE   write the runs' counts and times to FILE for\n"
    "                       node_exporter's textfile collector\n"
    "  -h, --help           display this help and exit\n"
    "\n"
    "Exit status:\n"
    "  0  stopped by SIGTERM or SIGINT\n"
    "  2  usage error, a CONFIG or state that cannot be read, or a journal\n"
    "     that cannot be followed\n";

const char kDefaultStateDir[] = "/var/lib/kelpwood-flows-watch";

volatile std::sig_atomic_t stop_requested = 0;

void RequestStop(int) { stop_requested = 1; }

int Trouble(const std::string& message) {
  cli::Error("watch: {}", message);
  return kExitTrouble;
}

// Writes the verdict entry of one checked run. Blocking here is right: the
// watch has nothing else to do, and a verdict must not be lost.
int WriteVerdict(const FlowRun& run) {
  std::vector<std::string> fields = journal::BuildVerdictFields(run);
  std::vector<iovec> vector(fields.size());
  for (std::size_t i = 0; i < fields.size(); ++i) {
    vector[i].iov_base = fields[i].data();
    vector[i].iov_len = fields[i].size();
  }
  return sd_journal_sendv(vector.data(), static_cast<int>(vector.size()));
}

// The saved state: the cursor of the last entry taken, then the engine's
// open runs.
class StateFile {
 public:
  explicit StateFile(std::string dir)
      : dir_(std::move(dir)),
        path_(dir_ + "/state"),
        temporary_path_(dir_ + "/state.tmp") {}

  // False only for a state that exists but cannot be read. A damaged one is
  // kept aside as state.damaged, said once on standard error, and the watch
  // starts as on first install: a bad file must not stop it for good.
  bool Load(std::string& cursor, FlowRunEngine& engine, std::string& error) {
    std::ifstream in(path_);
    if (!in) {
      if (errno == ENOENT) return true;
      error = path_ + ": " + std::strerror(errno);
      return false;
    }
    std::string line;
    if (std::getline(in, line) && line.compare(0, 7, "cursor\t") == 0 &&
        engine.LoadState(in)) {
      cursor = line.substr(7);
      return true;
    }
    const std::string aside = dir_ + "/state.damaged";
    if (::rename(path_.c_str(), aside.c_str()) != 0) {
      error = path_ + ": damaged state, and it cannot be kept aside: " +
              std::strerror(errno);
      return false;
    }
    cli::Error("watch: {}: damaged state, kept as {}; starting afresh",
               cli::EscapeControls(path_), cli::EscapeControls(aside));
    return true;
  }

  // Written beside and renamed over the old state, so that a crash leaves
  // either the old or the new one whole.
  bool Save(const std::string& cursor, const FlowRunEngine& engine,
            std::string& error) {
    std::ostringstream text;
    text << "cursor\t" << cursor << "\n";
    engine.SaveState(text);
    const std::string content = text.str();
    const int fd = ::open(temporary_path_.c_str(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
      error = temporary_path_ + ": " + std::strerror(errno);
      return false;
    }
    std::size_t written = 0;
    while (written < content.size()) {
      const ssize_t step =
          ::write(fd, content.data() + written, content.size() - written);
      if (step < 0 && errno == EINTR) continue;
      if (step < 0) {
        error = temporary_path_ + ": " + std::strerror(errno);
        ::close(fd);
        return false;
      }
      written += static_cast<std::size_t>(step);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
      error = temporary_path_ + ": " + std::strerror(errno);
      return false;
    }
    if (::rename(temporary_path_.c_str(), path_.c_str()) != 0) {
      error = path_ + ": " + std::strerror(errno);
      return false;
    }
    // The rename itself must survive a power cut as well.
    const base::UniqueFd directory(
        ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory.valid() || ::fsync(directory.get()) != 0) {
      error = dir_ + ": " + std::strerror(errno);
      return false;
    }
    return true;
  }

 private:
  std::string dir_;
  std::string path_;
  std::string temporary_path_;
};

// The verdicts a watch wrote after `cursor`, as FLOW_ID + '\n' + FLOW_RUN. A
// watch that stopped between writing a verdict and saving its state reads
// that run's entries again; this is how it knows the verdict is out already.
std::set<std::string> VerdictsWrittenAfter(const std::string& cursor) {
  std::set<std::string> written;
  sd_journal* journal = nullptr;
  if (sd_journal_open(&journal, SD_JOURNAL_LOCAL_ONLY) < 0) return written;
  const std::string identifier =
      std::string("SYSLOG_IDENTIFIER=") + program_invocation_short_name;
  sd_journal_add_match(journal, identifier.c_str(), 0);
  for (const char* id :
       {journal::kVerdictPassed, journal::kVerdictPassedUnexpected,
        journal::kVerdictPointFailed, journal::kVerdictPointInvalid,
        journal::kVerdictPointDuplicated, journal::kVerdictPointMissing,
        journal::kVerdictOrderError, journal::kVerdictFlowNotFound}) {
    const std::string match = std::string("MESSAGE_ID=") + id;
    sd_journal_add_match(journal, match.c_str(), 0);
  }
  if (sd_journal_seek_cursor(journal, cursor.c_str()) >= 0) {
    while (sd_journal_next(journal) > 0) {
      const void* flow = nullptr;
      const void* run = nullptr;
      std::size_t flow_length = 0;
      std::size_t run_length = 0;
      if (sd_journal_get_data(journal, "FLOW_ID", &flow, &flow_length) < 0 ||
          sd_journal_get_data(journal, "FLOW_RUN", &run, &run_length) < 0) {
        continue;
      }
      // Both come as "NAME=value".
      written.insert(
          std::string(static_cast<const char*>(flow) + 8, flow_length - 8) +
          '\n' +
          std::string(static_cast<const char*>(run) + 9, run_length - 9));
    }
  }
  sd_journal_close(journal);
  return written;
}

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Parses argv into `state_dir`, leaving optind at the first CONFIG. Returns
// -1 to go on, or the exit status: help printed, or a usage error reported.
int ParseWatchOptions(int argc, char** argv, std::string& state_dir,
                      std::string& metrics_path) {
  static const option kOptions[] = {
      {"state-dir", required_argument, nullptr, 's'},
      {"metrics", required_argument, nullptr, 'M'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0}};
  optind = 1;
  opterr = 0;
  for (;;) {
    const int option = getopt_long(argc, argv, ":s:h", kOptions, nullptr);
    if (option == -1) break;
    switch (option) {
      case 's':
        state_dir = optarg;
        break;
      case 'M':  // --metrics FILE
        metrics_path = optarg;
        break;
      case 'h':
        fmt::print("{}", kWatchHelp);
        return kExitClean;
      default:
        return cli::UsageError(cli::RefusedOption(option, argv));
    }
  }
  if (optind >= argc) {
    return cli::UsageError("watch: missing CONFIG");
  }
  return -1;
}

void InstallStopHandlers() {
  struct sigaction action {};
  action.sa_handler = RequestStop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

// How long to wait for new entries: until the next deadline, and at least
// once a second to notice a stop request that raced with the wait.
std::uint64_t WaitTimeoutUs(const FlowRunEngine& engine) {
  std::int64_t timeout_ns = 1000000000;
  const std::int64_t next_deadline = engine.NextDeadlineNs();
  if (next_deadline != INT64_MAX) {
    timeout_ns =
        std::clamp<std::int64_t>(next_deadline - NowNs(), 0, timeout_ns);
  }
  return static_cast<std::uint64_t>(timeout_ns / 1000) + 1;
}

// Says once why the metrics file could not be written; the watch goes on.
void ReportMetrics(const std::string& problem) {
  if (!problem.empty()) cli::Error("watch: {}", problem);
}

// Feeds the journal to the engine until a stop is requested, saving the
// state after every change. Returns -1 when stopped, or the exit status of
// a failure (reported).
int Follow(JournalReader& reader, FlowRunEngine& engine, StateFile& state,
           std::string& cursor, runs::WatchMetrics& metrics) {
  std::string error;
  FlowEntry entry;
  while (stop_requested == 0) {
    bool taken = false;
    int step = 0;
    while ((step = reader.Next(entry)) > 0) {
      engine.Add(entry);
      metrics.NoteEntry(entry);
      taken = true;
      if (stop_requested != 0) break;
    }
    if (step < 0) {
      return Trouble(std::string("cannot read the journal: ") +
                     std::strerror(-step));
    }
    const std::size_t open_before = engine.OpenRunCount();
    engine.EndRunsDueBy(NowNs());
    if (taken || engine.OpenRunCount() != open_before) {
      if (taken) cursor = reader.Cursor();
      if (!state.Save(cursor, engine, error)) return Trouble(error);
    }
    ReportMetrics(metrics.Update(engine.OpenRunCount(), NowNs()));
    if (stop_requested != 0) break;
    const int waited = reader.Wait(WaitTimeoutUs(engine));
    if (waited < 0 && waited != -EINTR) {
      return Trouble(std::string("cannot follow the journal: ") +
                     std::strerror(-waited));
    }
  }
  return -1;
}

}  // namespace

int WatchCommand(int argc, char** argv) {
  std::string state_dir = kDefaultStateDir;
  std::string metrics_path;
  if (const int status = ParseWatchOptions(argc, argv, state_dir, metrics_path);
      status >= 0) {
    return status;
  }
  std::vector<std::string> configs(argv + optind, argv + argc);

  SetUpLibraryLog(false);
  std::map<std::string, runs::WatchedFlow> flows;
  std::vector<std::string> dropped;
  std::string error;
  if (!runs::LoadWatchedFlows(configs, flows, error, &dropped)) {
    return Trouble(error);
  }
  ReportDroppedFlowEntries(dropped);

  if (::mkdir(state_dir.c_str(), 0700) != 0 && errno != EEXIST) {
    return Trouble(state_dir + ": " + std::strerror(errno));
  }
  std::uint64_t verdicts_failed = 0;
  std::set<std::string> already_written;
  runs::WatchMetrics metrics(metrics_path, state_dir);
  FlowRunEngine engine(flows, [&](FlowRun&& run) {
    metrics.AddRun(run);
    if (!already_written.empty() &&
        already_written.erase(run.flow_id + '\n' + run.run_id) > 0) {
      return;
    }
    if (WriteVerdict(run) < 0) ++verdicts_failed;
    metrics.SetUnwrittenVerdicts(verdicts_failed);
  });
  StateFile state(state_dir);
  std::string cursor;
  if (!state.Load(cursor, engine, error)) return Trouble(error);
  ReportMetrics(metrics.Load());
  if (!cursor.empty()) already_written = VerdictsWrittenAfter(cursor);

  std::unique_ptr<JournalReader> reader = JournalReader::OpenLocal(error);
  if (!reader) return Trouble(error);
  // First start: only runs from now on; a restart: right after the last
  // entry taken.
  const bool positioned = cursor.empty()
                              ? reader->SeekTail(error)
                              : reader->SeekAfterCursor(cursor, error);
  if (!positioned) return Trouble(error);

  InstallStopHandlers();
  sd_notify(0, "READY=1");
  if (const int status = Follow(*reader, engine, state, cursor, metrics);
      status >= 0) {
    return status;
  }
  sd_notify(0, "STOPPING=1");
  if (!state.Save(cursor, engine, error)) return Trouble(error);
  ReportMetrics(metrics.Update(engine.OpenRunCount(), NowNs(), true));
  if (verdicts_failed > 0) {
    cli::Error("watch: {} verdict entries could not be written to the journal",
               verdicts_failed);
  }
  return kExitClean;
}

}  // namespace flows_tool
}  // namespace kelpwood
