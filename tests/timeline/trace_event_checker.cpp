#include "trace_event_checker.h"

#include <fmt/format.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <tuple>
#include <utility>

namespace kelpwood {
namespace testing {

std::int64_t MicrosecondsToNanoseconds(const std::string& text) {
  const std::size_t dot = text.find('.');
  const std::string whole = text.substr(0, dot);
  const std::string fraction =
      dot == std::string::npos ? "" : text.substr(dot + 1);
  auto digits = [](const std::string& part) {
    return std::all_of(part.begin(), part.end(),
                       [](unsigned char c) { return std::isdigit(c) != 0; });
  };
  if (whole.empty() || whole.size() > 15 || !digits(whole) ||
      fraction.size() > 3 || !digits(fraction) ||
      (dot != std::string::npos && fraction.empty())) {
    return -1;
  }
  std::int64_t value = std::stoll(whole) * 1000;
  std::int64_t scale = 100;
  for (char c : fraction) {
    value += (c - '0') * scale;
    scale /= 10;
  }
  return value;
}

std::vector<std::string> TraceEventProblems(const std::string& json) {
  std::vector<std::string> problems;
  YAML::Node root;
  try {
    // JSON is read as YAML 1.2 flow style, which covers it.
    root = YAML::Load(json);
  } catch (const YAML::Exception& error) {
    return {std::string("not JSON: ") + error.what()};
  }
  const YAML::Node events = root["traceEvents"];
  if (!events || !events.IsSequence()) return {"no traceEvents array"};

  struct Slice {
    std::int64_t start;
    std::int64_t end;
    std::string name;
  };
  std::map<std::pair<std::int64_t, std::int64_t>, std::vector<Slice>> slices;
  std::set<std::int64_t> named_pids;
  std::set<std::pair<std::int64_t, std::int64_t>> named_threads;
  std::set<std::int64_t> used_pids;
  std::set<std::pair<std::int64_t, std::int64_t>> used_threads;
  std::vector<std::pair<std::string, std::int64_t>> flow_outs;
  std::vector<std::pair<std::string, std::int64_t>> flow_ins;

  auto time_of = [&](const YAML::Node& event, const char* key,
                     const std::string& name) -> std::int64_t {
    const YAML::Node value = event[key];
    if (!value || !value.IsScalar()) {
      problems.push_back(fmt::format("event '{}' has no {}", name, key));
      return -1;
    }
    const std::int64_t ns = MicrosecondsToNanoseconds(value.Scalar());
    if (ns < 0) {
      problems.push_back(fmt::format("event '{}' has {} '{}', not decimal µs",
                                     name, key, value.Scalar()));
    }
    return ns;
  };

  for (const YAML::Node& event : events) {
    const std::string ph = event["ph"] ? event["ph"].Scalar() : "";
    const std::string name = event["name"] ? event["name"].Scalar() : "";
    if (!event["pid"] || !event["tid"]) {
      problems.push_back(fmt::format("event '{}' has no pid or tid", name));
      continue;
    }
    const auto pid = event["pid"].as<std::int64_t>();
    const auto tid = event["tid"].as<std::int64_t>();
    if (ph == "M") {
      const bool known = name == "process_name" || name == "thread_name";
      if (!known) {
        problems.push_back(fmt::format("metadata '{}' is not read", name));
      } else if (!event["args"] || !event["args"]["name"] ||
                 event["args"]["name"].Scalar().empty()) {
        problems.push_back(fmt::format("{} of pid {} has no name", name, pid));
      } else if (name == "process_name") {
        named_pids.insert(pid);
      } else {
        named_threads.insert({pid, tid});
      }
      continue;
    }
    if (ph != "X" && ph != "B" && ph != "E" && ph != "i" && ph != "I") {
      problems.push_back(fmt::format("unknown phase '{}'", ph));
      continue;
    }
    used_pids.insert(pid);
    used_threads.insert({pid, tid});
    const std::int64_t ts = time_of(event, "ts", name);
    if (ph == "i" || ph == "I") {
      const std::string scope = event["s"] ? event["s"].Scalar() : "t";
      if (scope != "t" && scope != "p" && scope != "g") {
        problems.push_back(
            fmt::format("instant '{}' has scope '{}'", name, scope));
      }
      continue;
    }
    if (ph == "X") {
      if (!event["dur"]) {
        problems.push_back(fmt::format("X event '{}' has no dur", name));
        continue;
      }
      const std::int64_t dur = time_of(event, "dur", name);
      if (ts >= 0 && dur >= 0) {
        slices[{pid, tid}].push_back(Slice{ts, ts + dur, name});
      }
    }
    if (event["bind_id"]) {
      const std::string id = event["bind_id"].Scalar();
      if (event["flow_out"] && event["flow_out"].as<bool>()) {
        flow_outs.emplace_back(id, ts);
      }
      if (event["flow_in"] && event["flow_in"].as<bool>()) {
        flow_ins.emplace_back(id, ts);
      }
    }
  }

  for (const auto& [id, ts] : flow_ins) {
    const bool linked = std::any_of(
        flow_outs.begin(), flow_outs.end(),
        [&](const auto& out) { return out.first == id && out.second <= ts; });
    if (!linked) {
      problems.push_back(
          fmt::format("flow_in of bind_id {} has no earlier flow_out", id));
    }
  }
  for (std::int64_t pid : used_pids) {
    if (named_pids.count(pid) == 0) {
      problems.push_back(fmt::format("pid {} has no process_name", pid));
    }
  }
  for (const auto& [pid, tid] : used_threads) {
    if (named_threads.count({pid, tid}) == 0) {
      problems.push_back(
          fmt::format("pid {} tid {} has no thread_name", pid, tid));
    }
  }
  // Nesting: in start order (longer first on a tie), each slice must end
  // within every slice still open when it starts.
  for (auto& [track, list] : slices) {
    std::stable_sort(
        list.begin(), list.end(), [](const Slice& a, const Slice& b) {
          return std::tie(a.start, b.end) < std::tie(b.start, a.end);
        });
    std::vector<const Slice*> open;
    for (const Slice& slice : list) {
      while (!open.empty() && open.back()->end <= slice.start) {
        open.pop_back();
      }
      if (!open.empty() && slice.end > open.back()->end) {
        problems.push_back(fmt::format(
            "slices '{}' and '{}' overlap on pid {} tid {}", open.back()->name,
            slice.name, track.first, track.second));
      }
      open.push_back(&slice);
    }
  }
  return problems;
}

}  // namespace testing
}  // namespace kelpwood
