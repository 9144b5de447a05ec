// The rights table as HTML.
#include "rights_help.h"

#include <cstdint>

#include "wire/protocol.h"
#include "wire/rights.h"

namespace keldorweb {

using namespace keldor;

namespace {

std::string Escaped(const std::string& text) {
  std::string escaped;
  for (const char c : text) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

// The page's commands that reach Keldor, and the request each sends.
struct Action {
  const char* key;
  std::uint32_t request;
};
constexpr Action kActions[] = {
    {"status", REQ_GET_STATUS},
    {"players", REQ_GET_PLAYERS},
    {"bans", REQ_GET_BANS},
    {"start", REQ_START_SERVER},
    {"stop", REQ_STOP_SERVER},
    {"pause", REQ_TOGGLE_PAUSE},
    {"change-map", REQ_CHANGE_MAP},
    {"set-next-map", REQ_SET_NEXT_MAP},
    {"idle-map", REQ_SET_IDLE_MAP},
    {"next-map", REQ_RUN_NEXT_MAP},
    {"restart-map", REQ_RESTART_MAP},
    {"kick", REQ_KICK_PLAYER},
    {"ban", REQ_BAN_PLAYER},
    {"unban", REQ_REMOVE_BAN},
    {"say", REQ_SAY_ALL},
    {"message", REQ_SERVER_MESSAGE},
    {"get:rotation", REQ_GET_ROTATION},
    {"put:rotation", REQ_PUT_ROTATION},
    {"get:schedule", REQ_GET_SCHEDULE},
    {"put:schedule", REQ_PUT_SCHEDULE},
    {"get:announcements", REQ_GET_ANNOUNCEMENTS},
    {"put:announcements", REQ_PUT_ANNOUNCEMENTS},
    {"get:bannedwords", REQ_GET_BANNED_WORDS},
    {"put:bannedwords", REQ_PUT_BANNED_WORDS},
    {"get:mods", REQ_GET_MODS},
    {"get:maps", REQ_GET_MAPS},
    {"get:clients", REQ_GET_CLIENTS},
};

std::string Row(const Right& right) {
  return "<tr data-bit=\"" + std::to_string(right.bit) + "\"><th>" + RightKey(right) + "</th><td>" +
         Escaped(right.name) + "</td><td>" + Escaped(right.allows) +
         "</td><td class=\"requests\">" + Escaped(RequestsCovered(right.bit)) + "</td></tr>\n";
}

}  // namespace

std::string RightsHelpHtml() {
  std::string html =
      "<table class=\"rights\">\n<thead><tr><th>Right</th><th>Name</th><th>Allows</th>"
      "<th class=\"requests\">Requests</th></tr></thead>\n<tbody>\n";
  for (const Right& right : AllRights()) html += Row(right);
  html += "</tbody>\n</table>\n<p class=\"requests\">Any account may send: " +
          Escaped(RequestsForAnyAccount()) +
          " (its own settings pages only). Only the administrator (the mask 0xFFFFFFFF, shown as "
          "&ldquo;-- admin --&rdquo;) may send: " +
          Escaped(RequestsForTheAdministrator()) + ".</p>\n";
  return html;
}

std::uint32_t RequestOfCommand(const std::string& op, const std::string& file) {
  const std::string key = op == "get" || op == "put" ? op + ":" + file : op;
  for (const Action& action : kActions) {
    if (key == action.key) return action.request;
  }
  return 0;
}

nlohmann::json RefusedActions(std::uint32_t rights) {
  nlohmann::json refused = nlohmann::json::object();
  for (const Action& action : kActions) {
    if (!RightsAllow(rights, action.request)) {
      refused[action.key] = rights == 0 ? "This account holds no rights."
                                        : "Needs " + NeededText(action.request) + ".";
    }
  }
  return refused;
}

}  // namespace keldorweb
