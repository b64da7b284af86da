#ifndef ZVSIM_FAULT_PLAN_H_
#define ZVSIM_FAULT_PLAN_H_

// A fault plan as text, for zv-sim's --fault-plan file. One command a line;
// blank lines and lines starting with '#' are ignored; words are separated
// by blanks. <method> is a ZvaInference method name or "*" for all;
// <accelerator> an accelerator id or "*" for all.
//
//   fail <method> <count> <code> <accelerator> <message...>
//       fail the next <count> calls; <code> is a gRPC code name
//       (UNAVAILABLE, NOT_FOUND, ...) or number; the message is the rest of
//       the line and should start with the service status code
//       ("fail Infer 2 UNAVAILABLE * 14 accelerator busy")
//   delay <method> <milliseconds> <accelerator>
//       delay every matching call; 0 removes the delay
//   unhealthy <accelerator>   /   healthy <accelerator>
//   drop-sessions
//   forget-models
//   restart <downtime milliseconds>   (runs in the background)
//   metadata <path> <after> <status> [<body...>]
//       answer the metadata request <path> (e.g.
//       /latest/meta-data/zorvel/associations/) with HTTP <status> and, when
//       given, the rest of the line as body, from the request after the
//       first <after> ones on
//   clear                             (pending failures and delays)

#include <string>

namespace zvsim {

class Simulator;

// Checks the whole plan first and applies it only when every line is valid;
// otherwise returns false with `error` naming the first bad line.
bool ApplyFaultPlan(Simulator* simulator, const std::string& text,
                    std::string* error);

}  // namespace zvsim

#endif  // ZVSIM_FAULT_PLAN_H_
