// The control socket of calvixd_sim: a Unix stream socket at the path given
// as the program's first argument or in RAVELSIM_SOCKET, through which a
// test plugs and unplugs simulated devices and pushes driver messages. The
// simulated sysfs tree lives under RAVELSIM_ROOT (default
// "/run/ravelsim/devices/"), the daemon reads it from there.
//
// One request per line, one reply line each: "ok" with the values asked
// for, or "error " and a reason. Words are separated by single blanks;
// values hold no blanks.
//
//   plug BUSID [vid=HEX] [pid=HEX] [bcd=HEX] [class=HEX] [serial=TEXT]
//        [manufacturer=TEXT] [product=TEXT] [interfaces=CC.SS.PP,...]
//       plugs a device (sysfs tree, usb uevents, claim if the rules say so)
//   unplug BUSID              hands the device back if claimed, then removes it
//   push BUSID HEXBYTES       queues a driver message (at least 24 bytes) on
//                             the device's stub
//   stub BUSID                "ok N": the device's stub number, -1 when none
//   stats BUSID               "ok flushes=N resets=N mode=N flags=N written=N"
//   rules                     "ok N": the number of claim rules the driver holds
//   knob NAME 0|1             rebind-busy, rules-refused, quirks-refused,
//                             suppress, needs-reset, echo (messages the
//                             daemon writes come back to it)
//
// The control socket is served from the first call the daemon makes into
// the driver on: after the daemon has daemonised and before it reports any
// device.
#pragma once

#include <string>

namespace ravelsim {

class RavelSim;

// Serves the socket at path on a thread of its own; false when it cannot be
// bound.
bool StartControlServer(RavelSim* sim, const std::string& path);
// One request line (without its newline) for the server at path; the reply
// line without its newline, or "error connect" when none answers.
std::string ControlRequest(const std::string& path, const std::string& line);

} // namespace ravelsim
