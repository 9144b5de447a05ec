// keldorctl fleet: the fleet's servers, its bans in force and its latest
// admin actions, read straight from the fleet database (read-only, under a
// deadline) without logging in to any Keldor. Every text from the database
// is a stranger's: it is shown escaped, never as terminal control.
#include "fleet.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "fleetview.h"
#include "lists.h"

namespace keldorctl {

using keldorfleet::Printable;

namespace {

// A dead database fails this fast, or faster with a shorter --timeout.
constexpr int kFleetTimeout = 10;

struct FleetArgs {
  std::string view = "servers";  // servers, bans or actions
  std::string conninfo;
  std::string search;
  bool json = false;
};

bool ParseFleetArgs(const Options& options, FleetArgs* args) {
  args->json = options.json;
  bool haveView = false;
  for (std::size_t k = 0; k < options.args.size(); ++k) {
    const std::string& arg = options.args[k];
    if (arg == "--json") {
      args->json = true;
    } else if (arg == "--db" && k + 1 < options.args.size()) {
      args->conninfo = options.args[++k];
    } else if (arg.starts_with("--")) {
      std::fprintf(stderr, "keldorctl: fleet: unknown option or no value: %s.\n", arg.c_str());
      return false;
    } else if (!haveView) {
      if (arg != "servers" && arg != "bans" && arg != "actions") {
        std::fprintf(stderr, "keldorctl: fleet shows servers, bans or actions, not %s.\n",
                     arg.c_str());
        return false;
      }
      args->view = arg;
      haveView = true;
    } else if (args->view != "servers" && args->search.empty()) {
      args->search = arg;
    } else {
      std::fprintf(stderr, "keldorctl: fleet: unexpected argument %s.\n", arg.c_str());
      return false;
    }
  }
  if (args->conninfo.empty()) {
    if (const char* env = std::getenv("KELDOR_FLEET")) args->conninfo = env;
  }
  if (args->conninfo.empty()) {
    std::fprintf(stderr, "keldorctl: fleet needs --db CONNINFO or KELDOR_FLEET.\n");
    return false;
  }
  return true;
}

// Columns as wide as their widest cell; the last one runs to the line's end.
void PrintTable(const std::vector<std::vector<std::string>>& rows) {
  std::vector<std::size_t> widths;
  for (const auto& row : rows) {
    widths.resize(std::max(widths.size(), row.size()));
    for (std::size_t k = 0; k < row.size(); ++k) {
      widths[k] = std::max(widths[k], keldorfleet::Columns(row[k]));
    }
  }
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t k = 0; k < row.size(); ++k) {
      line += row[k];
      if (k + 1 < row.size()) line.append(widths[k] - keldorfleet::Columns(row[k]) + 2, ' ');
    }
    std::printf("%s\n", line.c_str());
  }
}

std::string OrDash(const std::string& text) {
  return text.empty() ? "-" : Printable(text);
}

std::string When(long long epoch) {
  return epoch == 0 ? "-" : keldorclient::LocalTimeText(static_cast<std::time_t>(epoch));
}

void PrintServers(const keldorfleet::Snapshot& fleet) {
  std::vector<std::vector<std::string>> rows = {
      {"Server", "Address", "State", "Map", "Players", "Last crash", "Last seen"}};
  for (const keldorfleet::Server& s : fleet.servers) {
    rows.push_back({OrDash(s.name), Printable(s.host) + ":" + std::to_string(s.port),
                    s.gone ? "gone" : OrDash(s.state), OrDash(s.map),
                    std::to_string(s.players) + "/" + std::to_string(s.slots), When(s.lastCrash),
                    std::to_string(s.seenAgo) + " s ago"});
  }
  PrintTable(rows);
}

void PrintBans(const keldorfleet::Snapshot& fleet) {
  std::vector<std::vector<std::string>> rows = {
      {"Name", "Address", "Keyhash", "GUID", "Server", "By", "Until", "Reason"}};
  for (const keldorfleet::Ban& b : fleet.bans) {
    rows.push_back({OrDash(b.name), OrDash(b.address), OrDash(b.keyhash), OrDash(b.guid),
                    OrDash(b.server), OrDash(b.admin), b.end == 0 ? "permanent" : When(b.end),
                    Printable(b.reason)});
  }
  PrintTable(rows);
}

void PrintActions(const keldorfleet::Snapshot& fleet) {
  std::vector<std::vector<std::string>> rows = {
      {"Time", "Server", "Admin", "Action", "Player", "Seconds", "Reason"}};
  for (const keldorfleet::Action& a : fleet.actions) {
    rows.push_back({When(a.time), OrDash(a.server), OrDash(a.admin), OrDash(a.action),
                    OrDash(a.player), std::to_string(a.duration), Printable(a.reason)});
  }
  PrintTable(rows);
}

template <typename Row>
nlohmann::ordered_json JsonList(const std::vector<Row>& rows,
                                nlohmann::ordered_json (*convert)(const Row&)) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const Row& row : rows) list.push_back(convert(row));
  return list;
}

}  // namespace

bool CheckFleet(const Options& options) {
  FleetArgs args;
  return ParseFleetArgs(options, &args);
}

int RunFleet(const Options& options) {
  FleetArgs args;
  if (!ParseFleetArgs(options, &args)) return kExitUsage;
  keldorfleet::ReadOptions read;
  read.timeoutSeconds = std::min(options.timeout, kFleetTimeout);
  read.search = args.search;
  read.application = "keldorctl";
  // The text of the servers shows nothing else; the JSON document holds it all.
  const bool all = args.view == "servers" && args.json;
  read.maxBans = all || args.view == "bans" ? keldorfleet::kMaxBans : 0;
  read.maxActions = all || args.view == "actions" ? keldorfleet::kMaxActions : 0;
  keldorfleet::Snapshot fleet;
  std::string error;
  if (!keldorfleet::ReadFleet(args.conninfo, read, &fleet, &error)) {
    std::fprintf(stderr, "keldorctl: couldn't read the fleet database: %s\n",
                 Printable(error).c_str());
    return kExitBroken;
  }
  if (args.json) {
    if (args.view == "bans") {
      PrintJson(JsonList(fleet.bans, keldorfleet::BanJson));
    } else if (args.view == "actions") {
      PrintJson(JsonList(fleet.actions, keldorfleet::ActionJson));
    } else {
      PrintJson(keldorfleet::FleetJson(fleet));
    }
  } else if (args.view == "bans") {
    PrintBans(fleet);
  } else if (args.view == "actions") {
    PrintActions(fleet);
  } else {
    PrintServers(fleet);
  }
  return kExitOk;
}

}  // namespace keldorctl
