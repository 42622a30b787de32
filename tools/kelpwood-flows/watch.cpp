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
#include <systemd/sd-daemon.h>
#include <systemd/sd-id128.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <deque>
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
#include "journal/journal_writer.h"
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
    "  -u, --trust-uid UID  also count points, resets and drop notices\n"
    "                       written by processes of user UID (repeatable;\n"
    "                       by default only those of root, _UID=0, count)\n"
    "  -U, --trust-unit UNIT  also count those of the systemd unit UNIT\n"
    "                       (_SYSTEMD_UNIT; repeatable)\n"
    "      --metrics FILE   write the runs' counts and times to FILE for\n"
    "                       node_exporter's textfile collector\n"
    "  -h, --help           display this help and exit\n"
    "\n"
    "Examples:\n"
    "  kelpwood-flows watch --state-dir /tmp/watch /etc/kelpwood/flows.yaml\n"
    "      watch in the foreground, keeping the state in /tmp/watch\n"
    "  systemctl enable --now kelpwood-flows-watch.service\n"
    "      watch as the installed service does\n"
    "  journalctl -f -u kelpwood-flows-watch.service\n"
    "      follow the verdicts that the service writes\n"
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

// The verdicts not yet written, oldest first, sent through the tool's own
// writer, which never blocks. A verdict journald does not take stays queued
// and is sent again; while the queue is full the watch reads no further, so
// nothing is dropped.
class VerdictQueue {
 public:
  static constexpr std::size_t kMaxQueued = 256;

  explicit VerdictQueue(journal::JournalWriter& writer) : writer_(writer) {}

  void Push(FlowRun&& run) {
    queued_.push_back(std::move(run));
    Retry();
  }
  // Sends what journald takes now, oldest first.
  void Retry() {
    while (!queued_.empty() && journal::SendVerdict(writer_, queued_.front()) ==
                                   journal::SendStatus::kSent) {
      queued_.pop_front();
    }
  }
  bool full() const { return queued_.size() >= kMaxQueued; }
  bool empty() const { return queued_.empty(); }
  std::size_t size() const { return queued_.size(); }

 private:
  journal::JournalWriter& writer_;
  std::deque<FlowRun> queued_;
};

// The saved state: the cursor of the last entry taken, then the engine's
// open runs.
class StateFile {
 public:
  explicit StateFile(std::string dir)
      : dir_(std::move(dir)), path_(dir_ + "/state") {}

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

  // Replaces the state whole: a crash leaves the old or the new one.
  bool Save(const std::string& cursor, const FlowRunEngine& engine,
            std::string& error) {
    std::ostringstream text;
    text << "cursor\t" << cursor << "\n";
    engine.SaveState(text);
    return base::WriteFileAtomically(path_, text.str(), 0600, error);
  }

 private:
  std::string dir_;
  std::string path_;
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
  // Only the watch's own verdicts: any process may write one that looks
  // alike to keep a real one from being written.
  const std::string uid = "_UID=" + std::to_string(::geteuid());
  sd_journal_add_match(journal, uid.c_str(), 0);
  for (const char* id :
       {journal::kVerdictPassed, journal::kVerdictPassedUnexpected,
        journal::kVerdictPointFailed, journal::kVerdictPointInvalid,
        journal::kVerdictPointDuplicated, journal::kVerdictPointMissing,
        journal::kVerdictOrderError, journal::kVerdictFlowNotFound,
        journal::kVerdictPointLate}) {
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

// CLOCK_MONOTONIC, the clock of the journal's __MONOTONIC_TIMESTAMP.
std::int64_t MonotonicNowNs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

struct WatchOptions {
  std::string state_dir = kDefaultStateDir;
  journal::TrustedWriters trusted;
  std::string metrics_path;  // "": no metrics
};

// Parses argv into `options`, leaving optind at the first CONFIG. Returns
// -1 to go on, or the exit status: help printed, or a usage error reported.
int ParseWatchOptions(int argc, char** argv, WatchOptions& options) {
  static const option kOptions[] = {
      {"state-dir", required_argument, nullptr, 's'},
      {"trust-uid", required_argument, nullptr, 'u'},
      {"trust-unit", required_argument, nullptr, 'U'},
      {"metrics", required_argument, nullptr, 'M'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0}};
  optind = 1;
  opterr = 0;
  for (;;) {
    const int option =
        cli::GetoptLong(argc, argv, ":s:u:U:M:h", kOptions, nullptr);
    if (option == -1) break;
    switch (option) {
      case 's':
        options.state_dir = optarg;
        break;
      case 'M':
        options.metrics_path = optarg;
        break;
      case 'u':
      case 'U':
        if (!AddTrustedWriter(option == 'u', optarg, options.trusted)) {
          return cli::UsageError(
              std::string("watch: '") + optarg +
              (option == 'u' ? "' is not a user id" : "' is not a unit name"));
        }
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
// once a second to notice a stop request that raced with the wait, save a
// changed state or send queued verdicts again.
std::uint64_t WaitTimeoutUs(const FlowRunEngine& engine,
                            const VerdictQueue& verdicts) {
  std::int64_t timeout_ns = verdicts.empty() ? 1000000000 : 100000000;
  const std::int64_t next_deadline = engine.NextDeadlineNs();
  if (next_deadline != INT64_MAX) {
    timeout_ns = std::clamp<std::int64_t>(next_deadline - MonotonicNowNs(), 0,
                                          timeout_ns);
  }
  return static_cast<std::uint64_t>(timeout_ns / 1000) + 1;
}

// At most this many entries are read before deadlines are looked at again.
constexpr int kMaxEntriesPerBatch = 1000;
// The state is written at most this often (and once more at a stop).
constexpr std::int64_t kSaveIntervalNs = 1000000000;

// Where the watch stands in the journal and what it must still save.
struct Progress {
  std::string boot_id;  // this boot's
  std::string cursor;
  bool dirty = false;
  std::int64_t last_save_ns = 0;
};

// Says why the metrics file could not be written; the watch goes on.
void ReportMetrics(const std::string& problem) {
  if (!problem.empty()) cli::Error("watch: {}", problem);
}

// Wall-clock nanoseconds, against which the metrics measure the lag.
std::int64_t RealtimeNowNs() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Reads at most one batch into the engine, then ends the runs that are due:
// by the journal's own time while entries are waiting, by this boot's
// monotonic clock once all are read. Returns 1 caught up, 0 more to read,
// negative errno on a journal that cannot be read.
int TakeBatch(JournalReader& reader, FlowRunEngine& engine,
              const VerdictQueue& verdicts, Progress& progress,
              runs::WatchMetrics& metrics) {
  FlowEntry entry;
  std::int64_t journal_now_ns = -1;
  int step = 1;
  int taken = 0;
  while (taken < kMaxEntriesPerBatch && !verdicts.full() &&
         stop_requested == 0 && (step = reader.Next(entry)) > 0) {
    engine.Add(entry);
    metrics.NoteEntry(entry);
    ++taken;
    if (entry.boot_id == progress.boot_id) {
      journal_now_ns = static_cast<std::int64_t>(entry.monotonic_us) * 1000;
    }
  }
  if (step < 0) return step;
  if (taken > 0) {
    progress.cursor = reader.Cursor();
    progress.dirty = true;
  }
  const std::size_t open_before = engine.OpenRunCount();
  const bool caught_up = step == 0;
  if (caught_up) {
    engine.EndRunsOfOtherBoots(progress.boot_id);
    engine.EndRunsDueBy(progress.boot_id, MonotonicNowNs());
  } else if (journal_now_ns >= 0) {
    engine.EndRunsDueBy(progress.boot_id, journal_now_ns);
  }
  if (engine.OpenRunCount() != open_before) progress.dirty = true;
  return caught_up ? 1 : 0;
}

// Saves a changed state at most once per kSaveIntervalNs, and only with no
// verdict queued: a restart from it then re-reads the runs of queued ones.
bool SaveIfDue(StateFile& state, const FlowRunEngine& engine,
               const VerdictQueue& verdicts, Progress& progress, bool now,
               std::string& error) {
  if (!progress.dirty || !verdicts.empty()) return true;
  const std::int64_t clock_ns = MonotonicNowNs();
  if (!now && clock_ns - progress.last_save_ns < kSaveIntervalNs) return true;
  if (!state.Save(progress.cursor, engine, error)) return false;
  progress.dirty = false;
  progress.last_save_ns = clock_ns;
  return true;
}

// Feeds the journal to the engine until a stop is requested. Returns -1
// when stopped, or the exit status of a failure (reported).
int Follow(JournalReader& reader, FlowRunEngine& engine, StateFile& state,
           VerdictQueue& verdicts, Progress& progress,
           runs::WatchMetrics& metrics) {
  std::string error;
  while (stop_requested == 0) {
    verdicts.Retry();
    const int batch = TakeBatch(reader, engine, verdicts, progress, metrics);
    if (batch < 0) {
      return Trouble(std::string("cannot read the journal: ") +
                     std::strerror(-batch));
    }
    if (!SaveIfDue(state, engine, verdicts, progress, false, error)) {
      return Trouble(error);
    }
    ReportMetrics(metrics.Update(engine.OpenRunCount(), RealtimeNowNs()));
    if (stop_requested != 0) break;
    if (batch == 0 && !verdicts.full()) continue;  // more waiting
    const int waited = reader.Wait(WaitTimeoutUs(engine, verdicts));
    if (waited < 0 && waited != -EINTR) {
      return Trouble(std::string("cannot follow the journal: ") +
                     std::strerror(-waited));
    }
  }
  return -1;
}

// Positions `reader` after the saved cursor, or at the journal's end on a
// first start or when the cursor is refused. A cursor whose entry is gone
// (vacuumed while the watch was down) goes on from the first entry kept
// after it. Either case is said once on standard error.
bool Position(JournalReader& reader, const std::string& cursor,
              const std::string& state_dir, std::string& error) {
  if (!cursor.empty()) {
    bool entry_gone = false;
    if (reader.SeekAfterCursor(cursor, error, &entry_gone)) {
      if (entry_gone) {
        cli::Error(
            "watch: {}/state: the saved journal cursor names no entry of the "
            "journal; going on from the first entry after its place",
            cli::EscapeControls(state_dir));
      }
      return true;
    }
    cli::Error("watch: {}/state: {}; starting at the end of the journal",
               cli::EscapeControls(state_dir), error);
  }
  return reader.SeekTail(error);
}

std::string CurrentBootId() {
  sd_id128_t boot;
  char text[SD_ID128_STRING_MAX];
  if (sd_id128_get_boot(&boot) < 0) return "";
  return sd_id128_to_string(boot, text);
}

}  // namespace

int WatchCommand(int argc, char** argv) {
  WatchOptions options;
  if (const int status = ParseWatchOptions(argc, argv, options); status >= 0) {
    return status;
  }
  const std::string& state_dir = options.state_dir;
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
  journal::JournalWriter writer(journal::JournalWriter::kDefaultSocketPath);
  VerdictQueue verdicts(writer);
  runs::WatchMetrics metrics(options.metrics_path, state_dir);
  std::set<std::string> already_written;
  FlowRunEngine engine(flows, [&](FlowRun&& run) {
    metrics.AddRun(run);
    if (!already_written.empty() &&
        already_written.erase(run.flow_id + '\n' + run.run_id) > 0) {
      return;
    }
    verdicts.Push(std::move(run));
    metrics.SetUnwrittenVerdicts(verdicts.size());
  });
  StateFile state(state_dir);
  Progress progress;
  progress.boot_id = CurrentBootId();
  if (!state.Load(progress.cursor, engine, error)) return Trouble(error);
  ReportMetrics(metrics.Load());
  if (!progress.cursor.empty()) {
    already_written = VerdictsWrittenAfter(progress.cursor);
  }

  std::unique_ptr<JournalReader> reader = JournalReader::OpenLocal(error);
  if (!reader) return Trouble(error);
  reader->SetTrustedWriters(options.trusted);
  if (!Position(*reader, progress.cursor, state_dir, error)) {
    return Trouble(error);
  }

  InstallStopHandlers();
  sd_notify(0, "READY=1");
  if (const int status =
          Follow(*reader, engine, state, verdicts, progress, metrics);
      status >= 0) {
    return status;
  }
  sd_notify(0, "STOPPING=1");
  verdicts.Retry();
  metrics.SetUnwrittenVerdicts(verdicts.size());
  ReportMetrics(metrics.Update(engine.OpenRunCount(), RealtimeNowNs(), true));
  if (!verdicts.empty()) {
    // The state stays as it was before their runs, so that a restart reads
    // those runs again and writes their verdicts.
    cli::Error(
        "watch: {} verdict entries could not be written to the journal; a "
        "restart writes them",
        verdicts.size());
    return kExitClean;
  }
  if (!SaveIfDue(state, engine, verdicts, progress, true, error)) {
    return Trouble(error);
  }
  return kExitClean;
}

}  // namespace flows_tool
}  // namespace kelpwood
