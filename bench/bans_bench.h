// The ban store's scans of long lists, run in process: the timed-ban expiry and
// the verification of the lists, each beside a plain pass over the same files.
#pragma once

namespace keldor::bench {

struct BanFigures {
  double expire = 0;        // ExpireTimedBans, one ban in ten ended, server stopped
  double expireAnchor = 0;  // reading and writing serverbanlist.con and banlist.con
  double verify = 0;        // VerifyBanSync of lists in step
  double verifyAnchor = 0;  // reading serverbanlist.con and banlist.con
};

// Seconds for lists of `entries` bans (each in both lists); false when a step failed.
bool MeasureBans(int entries, BanFigures* out);

}  // namespace keldor::bench
