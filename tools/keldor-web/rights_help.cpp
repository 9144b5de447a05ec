// The rights table as HTML.
#include "rights_help.h"

#include <cstdint>

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

std::string Row(const Right& right) {
  return "<tr data-bit=\"" + std::to_string(right.bit) + "\"><th>" + RightKey(right) + "</th><td>" +
         Escaped(right.name) + "</td><td>" + Escaped(right.allows) + "</td><td>" +
         Escaped(RequestsCovered(right.bit)) + "</td></tr>\n";
}

}  // namespace

std::string RightsHelpHtml() {
  std::string html =
      "<table class=\"rights\">\n<thead><tr><th>Right</th><th>Name</th><th>Allows</th>"
      "<th>Requests</th></tr></thead>\n<tbody>\n";
  for (const Right& right : AllRights()) html += Row(right);
  html += "</tbody>\n</table>\n<p>Any account may send: " + Escaped(RequestsForAnyAccount()) +
          " (its own settings pages only). Only the administrator (the mask 0xFFFFFFFF, shown as "
          "&ldquo;-- admin --&rdquo;) may send: " +
          Escaped(RequestsForTheAdministrator()) + ".</p>\n";
  return html;
}

}  // namespace keldorweb
